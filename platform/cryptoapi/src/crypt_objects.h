// What provider, key and hash handles stand for.
#ifndef CRYPTOAPI_CRYPT_OBJECTS_H
#define CRYPTOAPI_CRYPT_OBJECTS_H

#include <openssl/evp.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "key_store.h"
#include "providers.h"
#include "soft_key.h"

namespace cryptoapi {

struct ProviderObject {
    ProviderInfo provider;
    Location location = Location::CurrentUser;
    bool verify_only = false;  // CRYPT_VERIFYCONTEXT: no container
    std::string container;
    // PP_ENUMCONTAINERS cursor: the names listed at CRYPT_FIRST and the next position.
    std::vector<std::string> enumeration;
    size_t enumeration_next = 0;
    bool enumeration_started = false;
    // The container's keys as this handle first loaded (or generated) them, so that
    // signing does not read and parse the key file every time. They go with the handle.
    std::shared_ptr<SoftKey> exchange_key;
    std::shared_ptr<SoftKey> signature_key;

    ContainerRef container_ref() const { return {location, provider.name, container, provider.type}; }
    std::shared_ptr<SoftKey> &cached_key(DWORD key_spec) {
        return key_spec == AT_SIGNATURE ? signature_key : exchange_key;
    }
};

struct KeyObject {
    std::shared_ptr<SoftKey> key;
    DWORD key_spec;
};

struct HashObject {
    std::shared_ptr<ProviderObject> provider;
    ALG_ID algorithm;
    EVP_MD_CTX *md5 = nullptr;   // running digests for CryptHashData
    EVP_MD_CTX *sha1 = nullptr;
    bool finished = false;       // value fixed by HP_HASHVAL or by signing
    std::vector<BYTE> value;

    ~HashObject() {
        EVP_MD_CTX_free(md5);
        EVP_MD_CTX_free(sha1);
    }
};

// The key of a spec in the handle's container: loaded from disk on first use, then kept
// with the handle. 0, or load_key's errors (a missing key is looked for again next time).
DWORD provider_key(ProviderObject &prov, DWORD key_spec, std::shared_ptr<SoftKey> &out);

// Hash value length of a hash algorithm, 0 if unsupported.
DWORD hash_value_length(ALG_ID algorithm);

}  // namespace cryptoapi

#endif
