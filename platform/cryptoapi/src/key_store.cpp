#include "key_store.h"

#include <openssl/crypto.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "providers.h"

namespace cryptoapi {

namespace {

std::string location_keys_dir(Location location) {
    return state_home() + "/keys/" + location_dir_name(location);
}

// The provider's type: given in the reference, or found by its name.
DWORD provider_type_of(const ContainerRef &ref) {
    if (ref.provider_type != 0) return ref.provider_type;
    for (const auto &p : installed_providers())
        if (strcasecmp(p.name.c_str(), ref.provider.c_str()) == 0) return p.type;
    return 0;
}

// The folder of a provider family's containers. "@" never appears in an encoded name,
// so these folders cannot be mistaken for the per-provider folders of earlier states.
std::string family_dir_name(const char *family) { return std::string("@") + family; }

// Earlier states kept each provider's containers apart, in a folder named after the
// provider. Their containers move into their family's folder the first time this
// process uses the location; a container name taken in the family already gets only
// the key files it lacks, and what is left stays where it was.
void migrate_provider_folders(Location location) {
    std::string base = location_keys_dir(location);
    static std::mutex mutex;
    static std::set<std::string> *done = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!done->insert(base).second) return;
    }
    for (const auto &entry : list_dir(base)) {
        std::string provider;
        if (entry[0] == '@' || !decode_name(entry, provider) || !is_dir(base + "/" + entry)) continue;
        const char *family = provider_family(provider_type_of({location, provider, "", 0}));
        if (family == nullptr) continue;  // not an installed provider: left as it is
        std::string from = base + "/" + entry;
        std::string to = base + "/" + family_dir_name(family);
        if (!ensure_dir(to)) continue;
        for (const auto &container : list_dir(from)) {
            std::string source = from + "/" + container, target = to + "/" + container;
            if (rename(source.c_str(), target.c_str()) == 0) continue;
            for (const char *file : {"/exchange.pem", "/signature.pem"})
                if (!path_exists(target + file)) rename((source + file).c_str(), (target + file).c_str());
            rmdir(source.c_str());
        }
        rmdir(from.c_str());
    }
}

std::string provider_dir(const ContainerRef &ref) {
    migrate_provider_folders(ref.location);
    const char *family = provider_family(provider_type_of(ref));
    // A provider of no known family keeps its containers to itself.
    return location_keys_dir(ref.location) + "/" + (family != nullptr ? family_dir_name(family) : encode_name(ref.provider));
}

std::string container_dir(const ContainerRef &ref) { return provider_dir(ref) + "/" + encode_name(ref.container); }

}  // namespace

const char *provider_family(DWORD type) {
    if (provider_type_is_rsa(type)) return "rsa";
    if (provider_type_is_dss(type)) return "dss";
    return nullptr;
}

std::string container_path(const ContainerRef &ref) { return container_dir(ref); }

std::string key_file(const ContainerRef &ref, DWORD key_spec) {
    return container_dir(ref) + (key_spec == AT_SIGNATURE ? "/signature.pem" : "/exchange.pem");
}

bool container_exists(const ContainerRef &ref) { return is_dir(container_dir(ref)); }

DWORD create_container(const ContainerRef &ref) {
    if (!ensure_dir(provider_dir(ref))) return NTE_FAIL;
    std::string dir = container_dir(ref);
    if (mkdir(dir.c_str(), 0700) != 0) return errno == EEXIST ? NTE_EXISTS : NTE_FAIL;
    crash_point();
    return 0;
}

DWORD delete_container(const ContainerRef &ref) {
    std::string dir = container_dir(ref);
    if (!is_dir(dir)) return NTE_BAD_KEYSET;
    return remove_tree(dir) ? 0 : NTE_FAIL;
}

std::vector<std::string> list_containers(Location location, const std::string &provider, DWORD provider_type) {
    std::vector<std::string> names;
    std::string base = provider_dir({location, provider, "", provider_type});
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
