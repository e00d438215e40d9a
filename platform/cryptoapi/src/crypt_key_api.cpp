// Keys: CryptGenKey, CryptGetUserKey, CryptExportKey, CryptDestroyKey, CryptDecrypt.
#include <wincrypt.h>

#include <openssl/crypto.h>

#include <cstring>

#include "api_support.h"
#include "crypt_objects.h"
#include "handles.h"

using namespace cryptoapi;

namespace {

constexpr unsigned kDefaultRsaBits = 2048;
constexpr unsigned kDefaultDssBits = 1024;

// The key spec and algorithm family a CryptGenKey algorithm id asks for.
bool key_request(ALG_ID alg, DWORD provider_type, DWORD &spec, bool &dsa) {
    bool rsa_provider = provider_type_is_rsa(provider_type);
    bool dss_provider = provider_type_is_dss(provider_type);
    switch (alg) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
        spec = AT_KEYEXCHANGE;
        dsa = false;
        return rsa_provider && provider_type != PROV_RSA_SIG;
    case AT_SIGNATURE:
        spec = AT_SIGNATURE;
        dsa = dss_provider;
        return rsa_provider || dss_provider;
    case CALG_RSA_SIGN:
        spec = AT_SIGNATURE;
        dsa = false;
        return rsa_provider;
    case CALG_DSS_SIGN:
        spec = AT_SIGNATURE;
        dsa = true;
        return dss_provider;
    default:
        return false;
    }
}

bool bits_allowed(bool dsa, unsigned bits) {
    if (dsa) return bits >= 512 && bits <= 1024 && bits % 64 == 0;
    return bits >= 512 && bits <= 16384 && bits % 8 == 0;
}

}  // namespace

extern "C" BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY *phKey) {
    if (injected_failure("CryptGenKey")) return FALSE;
    if (phKey == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if ((dwFlags & 0xFFFF & ~static_cast<DWORD>(CRYPT_EXPORTABLE)) != 0) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto prov = lookup<ProviderObject>(HandleKind::Provider, hProv);
    if (!prov) return fail(NTE_BAD_UID);
    DWORD spec;
    bool dsa;
    if (!key_request(Algid, prov->provider.type, spec, dsa)) return fail(NTE_BAD_ALGID);
    if (prov->verify_only) return fail(NTE_PERM);  // no container to keep the key in
    unsigned bits = dwFlags >> 16;
    if (bits == 0) bits = dsa ? kDefaultDssBits : kDefaultRsaBits;
    if (!bits_allowed(dsa, bits)) return fail(NTE_BAD_FLAGS);

    EVP_PKEY *pkey = generate_pkey(dsa, bits);
    if (pkey == nullptr) return fail(NTE_FAIL);
    auto object = std::make_shared<KeyObject>();
    object->key_spec = spec;
    DWORD rc = SoftKey::from_pkey(pkey, object->key);
    if (rc == 0) rc = save_key(prov->container_ref(), spec, pkey);
    EVP_PKEY_free(pkey);
    if (rc != 0) return fail(rc);
    prov->cached_key(spec) = object->key;  // the handle signs with the key it just made
    *phKey = register_handle(HandleKind::Key, object);
    return TRUE;
}

extern "C" BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY *phUserKey) {
    if (injected_failure("CryptGetUserKey")) return FALSE;
    if (phUserKey == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto prov = lookup<ProviderObject>(HandleKind::Provider, hProv);
    if (!prov) return fail(NTE_BAD_UID);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return fail(NTE_BAD_KEY);
    if (prov->verify_only) return fail(NTE_NO_KEY);
    auto object = std::make_shared<KeyObject>();
    object->key_spec = dwKeySpec;
    if (DWORD rc = provider_key(*prov, dwKeySpec, object->key); rc != 0) return fail(rc);
    *phUserKey = register_handle(HandleKind::Key, object);
    return TRUE;
}

extern "C" BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType, DWORD dwFlags,
                                      BYTE *pbData, DWORD *pdwDataLen) {
    if (injected_failure("CryptExportKey")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    auto object = lookup<KeyObject>(HandleKind::Key, hKey);
    if (!object) return fail(NTE_BAD_KEY);
    if (dwBlobType == PRIVATEKEYBLOB) return fail(NTE_BAD_KEY_STATE);  // private keys never leave
    if (dwBlobType != PUBLICKEYBLOB) return fail(NTE_BAD_TYPE);
    if (hExpKey != 0) return fail(NTE_BAD_KEY);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    std::vector<BYTE> blob = object->key->public_blob(object->key_spec);
    return copy_out(blob.data(), static_cast<DWORD>(blob.size()), pbData, pdwDataLen);
}

extern "C" BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
    if (injected_failure("CryptDestroyKey")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (release_handle(HandleKind::Key, hKey) != ReleaseResult::Released) return fail(NTE_BAD_KEY);
    return TRUE;
}

extern "C" BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                    DWORD *pdwDataLen) {
    if (injected_failure("CryptDecrypt")) return FALSE;
    if (pbData == nullptr || pdwDataLen == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (hHash != 0) return fail(NTE_BAD_HASH);
    if (!Final) return fail(NTE_BAD_DATA);  // an RSA block is always the final one
    std::lock_guard<std::mutex> lock(state_mutex());
    auto object = lookup<KeyObject>(HandleKind::Key, hKey);
    if (!object) return fail(NTE_BAD_KEY);
    std::vector<BYTE> plaintext;
    if (DWORD rc = object->key->decrypt(pbData, *pdwDataLen, plaintext); rc != 0) return fail(rc);
    if (!plaintext.empty()) std::memcpy(pbData, plaintext.data(), plaintext.size());
    *pdwDataLen = static_cast<DWORD>(plaintext.size());
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return TRUE;
}
