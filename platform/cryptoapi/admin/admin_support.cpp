#include "admin_support.h"

#include <openssl/evp.h>
#include <strings.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "key_import.h"
#include "utf.h"

namespace admin {

std::string error_text(DWORD code) {
    static const struct {
        DWORD code;
        const char *name;
    } names[] = {
        {NTE_BAD_KEYSET, "NTE_BAD_KEYSET"}, {NTE_EXISTS, "NTE_EXISTS"},
        {NTE_KEYSET_NOT_DEF, "NTE_KEYSET_NOT_DEF"}, {NTE_NO_KEY, "NTE_NO_KEY"},
        {NTE_BAD_ALGID, "NTE_BAD_ALGID"}, {NTE_BAD_FLAGS, "NTE_BAD_FLAGS"},
        {NTE_FAIL, "NTE_FAIL"}, {CRYPT_E_EXISTS, "CRYPT_E_EXISTS"},
        {CRYPT_E_NOT_FOUND, "CRYPT_E_NOT_FOUND"}, {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"}, {CRYPT_E_ASN1_BADTAG, "CRYPT_E_ASN1_BADTAG"},
    };
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    for (const auto &n : names)
        if (n.code == code) return std::string(buf) + " (" + n.name + ")";
    return buf;
}

cryptoapi::Location location_of(const Arguments &args) {
    return args.flag("machine") ? cryptoapi::Location::LocalMachine : cryptoapi::Location::CurrentUser;
}

DWORD location_store_flag(const Arguments &args) {
    return args.flag("machine") ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER;
}

cryptoapi::ProviderInfo choose_provider(const Arguments &args, bool dsa) {
    auto providers = cryptoapi::installed_providers();
    auto suits = [dsa](DWORD type) {
        return dsa ? cryptoapi::provider_type_is_dss(type) : cryptoapi::provider_type_is_rsa(type);
    };
    if (args.has("provider")) {
        std::string name = args.get("provider");
        for (const auto &p : providers) {
            if (strcasecmp(p.name.c_str(), name.c_str()) != 0) continue;
            if (!suits(p.type))
                throw Failure("provider \"" + p.name + "\" does not hold " + (dsa ? "DSA" : "RSA") + " keys");
            return p;
        }
        throw Failure("unknown provider \"" + name + "\" (see: cryptoapi-admin list providers)");
    }
    DWORD type = dsa ? PROV_DSS : PROV_RSA_FULL;
    for (const auto &p : providers)
        if (p.type == type) return p;
    throw Failure(std::string("no provider for ") + (dsa ? "DSA" : "RSA") + " keys is installed");
}

DWORD choose_key_spec(const Arguments &args, bool dsa) {
    std::string spec = args.get("key-spec", dsa ? "signature" : "exchange");
    if (spec == "exchange") {
        if (dsa) throw Failure("DSA keys can only be signature keys");
        return AT_KEYEXCHANGE;
    }
    if (spec == "signature") return AT_SIGNATURE;
    throw UsageError("--key-spec must be exchange or signature, not \"" + spec + "\"");
}

const char *key_spec_name(DWORD spec) { return spec == AT_SIGNATURE ? "signature" : "exchange"; }

std::string with_article(DWORD spec) {
    return spec == AT_SIGNATURE ? "a signature key" : "an exchange key";
}

void prepare_state(const Arguments &args) {
    std::string home = cryptoapi::state_home();
    std::string location = cryptoapi::location_dir_name(location_of(args));
    for (const std::string &path : {home + "/providers", home + "/pending", home + "/keys/" + location + "/@rsa/-",
                                    home + "/keys/" + location + "/@dss/-", home + "/stores/" + location + "/-"}) {
        std::string reason = cryptoapi::unsafe_state_folder(path);
        if (!reason.empty()) throw Failure(reason);
    }
    cryptoapi::finish_pending_imports();
}

std::string read_whole_file(const std::string &path) {
    // Read in bounded steps: the size of a device or a pipe is not known in advance.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure("cannot read " + path);
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            throw Failure("cannot read " + path);
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > kMaxInputFile) {
            close(fd);
            throw Failure(path + " is larger than " + std::to_string(kMaxInputFile >> 20) + " MiB");
        }
    }
    close(fd);
    return data;
}

std::string sha1_hex(const BYTE *data, size_t length) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data, length, md, &n, EVP_sha1(), nullptr);
    std::string out;
    char hex[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", md[i]);
        out += hex;
    }
    return out;
}

HCERTSTORE open_system_store(const std::string &name, const Arguments &args, bool create) {
    DWORD flags = location_store_flag(args) | (create ? 0 : CERT_STORE_OPEN_EXISTING_FLAG);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, flags, name.c_str());
    if (store == nullptr) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) throw Failure("store \"" + name + "\" does not exist");
        throw Failure("cannot open store \"" + name + "\": " + error_text(code));
    }
    return store;
}

std::u16string wide(const std::string &utf8) {
    std::u16string out;
    if (!cryptoapi::utf8_to_utf16(utf8.data(), utf8.size(), out)) throw Failure("\"" + utf8 + "\" is not UTF-8");
    return out;
}

}  // namespace admin
