// Key containers: new-key (generate a key pair, print its public key), remove-container.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "admin_support.h"
#include "commands.h"
#include "key_store.h"
#include "soft_key.h"

namespace admin {

namespace {

HCRYPTPROV acquire(const cryptoapi::ProviderInfo &provider, const std::string &container, const Arguments &args,
                   DWORD extra_flags) {
    HCRYPTPROV prov = 0;
    DWORD flags = extra_flags | (args.flag("machine") ? CRYPT_MACHINE_KEYSET : 0);
    if (!CryptAcquireContextA(&prov, container.c_str(), provider.name.c_str(), provider.type, flags)) {
        DWORD code = GetLastError();
        if (code == NTE_BAD_KEYSET) throw Failure("no container \"" + container + "\" in " + provider.name);
        throw Failure("cannot open container \"" + container + "\": " + error_text(code));
    }
    return prov;
}

}  // namespace

int new_key(const Arguments &args) {
    if (!args.has("container") || args.get("container").empty() || !args.positional.empty())
        throw UsageError("usage: new-key --container NAME [--provider NAME] [--algorithm rsa|dsa] [--bits N] "
                      "[--key-spec exchange|signature] [--machine] [--out FILE]");
    std::string algorithm = args.get("algorithm", "rsa");
    if (algorithm != "rsa" && algorithm != "dsa") throw UsageError("--algorithm must be rsa or dsa");
    bool dsa = algorithm == "dsa";
    cryptoapi::ProviderInfo provider = choose_provider(args, dsa);
    DWORD spec = choose_key_spec(args, dsa);
    unsigned long bits = 0;
    if (args.has("bits")) {
        char *end = nullptr;
        std::string text = args.get("bits");
        bits = std::strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || bits == 0 || bits > 0xFFFF) throw UsageError("--bits must be a number of bits");
    }
    std::string container = args.get("container");
    cryptoapi::ContainerRef ref{location_of(args), provider.name, container, provider.type};
    bool created = !cryptoapi::container_exists(ref);
    if (!created && cryptoapi::key_exists(ref, spec))
        throw Failure("container \"" + container + "\" already holds " + with_article(spec));

    HCRYPTPROV prov = acquire(provider, container, args, created ? CRYPT_NEWKEYSET : 0);
    HCRYPTKEY key = 0;
    ALG_ID alg = dsa ? CALG_DSS_SIGN : spec;
    if (!CryptGenKey(prov, alg, static_cast<DWORD>(bits << 16), &key)) {
        DWORD code = GetLastError();
        CryptReleaseContext(prov, 0);
        if (created) cryptoapi::delete_container(ref);
        if (code == NTE_BAD_FLAGS)
            throw Failure(std::to_string(bits) + " bits is not a key size " + provider.name + " supports");
        throw Failure("cannot generate the key: " + error_text(code));
    }
    CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);

    std::shared_ptr<cryptoapi::SoftKey> soft;
    if (cryptoapi::load_key(ref, spec, soft) != 0) throw Failure("the new key cannot be read back");
    std::string pem = soft->public_pem();
    if (args.has("out")) {
        if (!cryptoapi::write_output_file(args.get("out"), pem, 0644)) {
            std::string reason = std::strerror(errno);
            // Nobody has the public key of the new key: it goes again.
            if (created)
                cryptoapi::delete_container(ref);
            else
                cryptoapi::delete_key(ref, spec);
            throw Failure("cannot write " + args.get("out") + ": " + reason);
        }
        std::printf("Created %s %u-bit %s key in container \"%s\" (%s); public key in %s\n", dsa ? "DSA" : "RSA",
                    soft->bits(), key_spec_name(spec), container.c_str(), provider.name.c_str(),
                    args.get("out").c_str());
    } else {
        std::fputs(pem.c_str(), stdout);
    }
    return 0;
}

int remove_container(const Arguments &args) {
    if (!args.has("container") || !args.positional.empty())
        throw UsageError("usage: remove-container --container NAME [--provider NAME] [--machine]");
    std::string container = args.get("container");
    cryptoapi::ProviderInfo provider;
    if (args.has("provider")) {
        // Any provider by that name, whatever keys it holds.
        bool found = false;
        for (const auto &p : cryptoapi::installed_providers())
            if (strcasecmp(p.name.c_str(), args.get("provider").c_str()) == 0) provider = p, found = true;
        if (!found) throw Failure("unknown provider \"" + args.get("provider") + "\"");
    } else {
        provider = choose_provider(args, false);
    }
    acquire(provider, container, args, CRYPT_DELETEKEYSET);
    std::printf("Removed container \"%s\" from %s\n", container.c_str(), provider.name.c_str());
    return 0;
}

}  // namespace admin
