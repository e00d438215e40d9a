// list providers | containers | store NAME.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "admin_support.h"
#include "cert_store.h"
#include "commands.h"
#include "key_store.h"
#include "soft_key.h"
#include "store_index.h"
#include "utf.h"

namespace admin {

namespace {

int list_providers() {
    std::set<DWORD> seen;
    int index = 0;
    for (const auto &p : cryptoapi::installed_providers()) {
        bool is_default = seen.insert(p.type).second;
        std::printf("%d. %s, type %u%s\n", index++, p.name.c_str(), static_cast<unsigned>(p.type),
                    is_default ? " (default)" : "");
    }
    return 0;
}

std::string describe_key(const cryptoapi::ContainerRef &ref, DWORD spec) {
    if (!cryptoapi::key_exists(ref, spec)) return "";
    std::shared_ptr<cryptoapi::SoftKey> key;
    if (cryptoapi::load_key(ref, spec, key) != 0) return std::string(key_spec_name(spec)) + " (unreadable)";
    return std::string(key_spec_name(spec)) + " " + (key->is_dsa() ? "DSA " : "RSA ") + std::to_string(key->bits());
}

// Containers are shared by a provider family: each family's are listed once, under the
// names of the providers that open them.
int list_containers(const Arguments &args) {
    auto providers = cryptoapi::installed_providers();
    if (args.has("provider")) {
        std::vector<cryptoapi::ProviderInfo> named;
        for (const auto &p : providers)
            if (strcasecmp(p.name.c_str(), args.get("provider").c_str()) == 0) named.push_back(p);
        if (named.empty())
            throw Failure("unknown provider \"" + args.get("provider") + "\" (see: cryptoapi-admin list providers)");
        providers = named;
    }
    bool any = false;
    std::set<std::string> families_done;
    for (const auto &p : providers) {
        const char *family = cryptoapi::provider_family(p.type);
        std::string key = family != nullptr ? family : "provider " + p.name;
        if (!families_done.insert(key).second) continue;
        auto names = cryptoapi::list_containers(location_of(args), p.name, p.type);
        if (names.empty()) continue;
        std::string heading;
        for (const auto &q : providers) {
            const char *f = cryptoapi::provider_family(q.type);
            if (&q == &p || (family != nullptr && f != nullptr && std::strcmp(f, family) == 0)) {
                if (!heading.empty()) heading += ", ";
                heading += q.name + " (type " + std::to_string(q.type) + ")";
            }
        }
        std::printf("%s:\n", heading.c_str());
        for (const auto &name : names) {
            cryptoapi::ContainerRef ref{location_of(args), p.name, name, p.type};
            std::string keys;
            for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
                std::string d = describe_key(ref, spec);
                if (!d.empty()) keys += (keys.empty() ? "" : ", ") + d;
            }
            std::printf("  %s: %s\n", name.c_str(), keys.empty() ? "no keys" : keys.c_str());
            any = true;
        }
    }
    if (!any) std::printf("No key containers.\n");
    return 0;
}

// Reads a property of a context through the two-call pattern.
std::vector<BYTE> property(PCCERT_CONTEXT ctx, DWORD id) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(ctx, id, nullptr, &size)) return {};
    std::vector<BYTE> data(size);
    if (!CertGetCertificateContextProperty(ctx, id, data.data(), &size)) return {};
    data.resize(size);
    return data;
}

std::string narrow(const WCHAR *text) {
    std::u16string w;
    while (text != nullptr && *text != 0) w += *text++;
    return cryptoapi::to_u8(w);
}

int list_store(const Arguments &args) {
    if (args.positional.size() != 2) throw UsageError("usage: list store NAME [--machine]");
    const std::string &name = args.positional[1];
    HCERTSTORE store = open_system_store(name, args, false);
    std::unique_ptr<void, void (*)(void *)> guard(store, [](void *s) { CertCloseStore(s, 0); });
    int index = 0;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        std::vector<BYTE> der(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
        std::printf("%d. %s\n", index++, cryptoapi::subject_text(der).c_str());
        std::printf("   sha1: %s\n", sha1_hex(der.data(), der.size()).c_str());
        std::vector<BYTE> fname = property(ctx, CERT_FRIENDLY_NAME_PROP_ID);
        if (!fname.empty())
            std::printf("   friendly name: \"%s\"\n", narrow(reinterpret_cast<const WCHAR *>(fname.data())).c_str());
        std::vector<BYTE> info = property(ctx, CERT_KEY_PROV_INFO_PROP_ID);
        if (!info.empty()) {
            auto *k = reinterpret_cast<const CRYPT_KEY_PROV_INFO *>(info.data());
            std::printf("   key: container \"%s\", provider \"%s\" (type %u), %s key\n",
                        narrow(k->pwszContainerName).c_str(), narrow(k->pwszProvName).c_str(),
                        static_cast<unsigned>(k->dwProvType), key_spec_name(k->dwKeySpec));
        }
    }
    if (index == 0) std::printf("Store \"%s\" is empty.\n", name.c_str());
    if (GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND))
        throw Failure("listing store \"" + name + "\" stopped early: " + error_text(GetLastError()));
    // Files that hold no certificate are skipped by enumeration; they are named here so
    // that a damaged store does not pass for a smaller one.
    auto damaged = cryptoapi::damaged_certificate_files(
        cryptoapi::system_store_dir(location_of(args), name));
    for (const auto &path : damaged)
        std::fprintf(stderr, "cryptoapi-admin list: %s is damaged (not a certificate); skipped\n", path.c_str());
    return damaged.empty() ? 0 : 1;
}

}  // namespace

int list(const Arguments &args) {
    std::string what = args.positional.empty() ? "" : args.positional[0];
    if (what == "providers" && args.positional.size() == 1) return list_providers();
    if (what == "containers" && args.positional.size() == 1) return list_containers(args);
    if (what == "store") return list_store(args);
    throw UsageError("usage: list providers | list containers [--provider NAME] | list store NAME");
}

}  // namespace admin
