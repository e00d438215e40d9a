#include "key_store.h"

#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace cryptoapi {

namespace {

std::string provider_dir(Location location, const std::string &provider) {
    return state_home() + "/keys/" + location_dir_name(location) + "/" + encode_name(provider);
}

std::string container_dir(const ContainerRef &ref) {
    return provider_dir(ref.location, ref.provider) + "/" + encode_name(ref.container);
}

std::string key_file(const ContainerRef &ref, DWORD key_spec) {
    return container_dir(ref) + (key_spec == AT_SIGNATURE ? "/signature.pem" : "/exchange.pem");
}

}  // namespace

bool container_exists(const ContainerRef &ref) { return is_dir(container_dir(ref)); }

DWORD create_container(const ContainerRef &ref) {
    if (!ensure_dir(provider_dir(ref.location, ref.provider))) return NTE_FAIL;
    std::string dir = container_dir(ref);
    if (mkdir(dir.c_str(), 0700) != 0) return errno == EEXIST ? NTE_EXISTS : NTE_FAIL;
    return 0;
}

DWORD delete_container(const ContainerRef &ref) {
    std::string dir = container_dir(ref);
    if (!is_dir(dir)) return NTE_BAD_KEYSET;
    return remove_tree(dir) ? 0 : NTE_FAIL;
}

std::vector<std::string> list_containers(Location location, const std::string &provider) {
    std::vector<std::string> names;
    std::string base = provider_dir(location, provider);
    for (const auto &entry : list_dir(base)) {
        std::string name;
        if (decode_name(entry, name) && is_dir(base + "/" + entry)) names.push_back(name);
    }
    return names;
}

bool key_exists(const ContainerRef &ref, DWORD key_spec) { return path_exists(key_file(ref, key_spec)); }

DWORD load_key(const ContainerRef &ref, DWORD key_spec, std::shared_ptr<SoftKey> &out) {
    if (!container_exists(ref)) return NTE_BAD_KEYSET;
    std::string pem;
    if (!read_file(key_file(ref, key_spec), pem)) return NTE_NO_KEY;
    DWORD rc = SoftKey::from_pem(pem, out);
    OPENSSL_cleanse(&pem[0], pem.size());
    return rc;
}

DWORD save_key(const ContainerRef &ref, DWORD key_spec, EVP_PKEY *pkey) {
    if (!container_exists(ref)) return NTE_BAD_KEYSET;
    std::string pem = private_pem(pkey);
    if (pem.empty()) return NTE_FAIL;
    bool ok = write_file_atomic(key_file(ref, key_spec), pem, 0600);
    OPENSSL_cleanse(&pem[0], pem.size());
    return ok ? 0 : NTE_FAIL;
}

DWORD delete_key(const ContainerRef &ref, DWORD key_spec) {
    return unlink(key_file(ref, key_spec).c_str()) == 0 ? 0 : NTE_NO_KEY;
}

}  // namespace cryptoapi
