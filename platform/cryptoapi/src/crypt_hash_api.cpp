// Hashes and signatures: CryptCreateHash, CryptSetHashParam, CryptHashData,
// CryptSignHashA, CryptDestroyHash.
#include <wincrypt.h>

#include <openssl/evp.h>

#include "api_support.h"
#include "crypt_objects.h"
#include "handles.h"

using namespace cryptoapi;

namespace cryptoapi {

DWORD hash_value_length(ALG_ID algorithm) {
    switch (algorithm) {
    case CALG_MD5:
        return 16;
    case CALG_SHA1:
        return 20;
    case CALG_SSL3_SHAMD5:
        return 36;  // MD5 then SHA-1
    default:
        return 0;
    }
}

}  // namespace cryptoapi

namespace {

bool uses_md5(ALG_ID a) { return a == CALG_MD5 || a == CALG_SSL3_SHAMD5; }
bool uses_sha1(ALG_ID a) { return a == CALG_SHA1 || a == CALG_SSL3_SHAMD5; }

// Fixes the value of a hash fed through CryptHashData.
void finish_hash(HashObject &hash) {
    if (hash.finished) return;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    hash.value.clear();
    if (hash.md5 != nullptr && EVP_DigestFinal_ex(hash.md5, out, &n) == 1)
        hash.value.insert(hash.value.end(), out, out + n);
    if (hash.sha1 != nullptr && EVP_DigestFinal_ex(hash.sha1, out, &n) == 1)
        hash.value.insert(hash.value.end(), out, out + n);
    hash.finished = true;
}

EVP_MD_CTX *start_digest(const EVP_MD *md) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx != nullptr && EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

extern "C" BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                       HCRYPTHASH *phHash) {
    if (injected_failure("CryptCreateHash")) return FALSE;
    if (phHash == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (hKey != 0) return fail(NTE_BAD_KEY);  // these algorithms take no key
    std::lock_guard<std::mutex> lock(state_mutex());
    auto prov = lookup<ProviderObject>(HandleKind::Provider, hProv);
    if (!prov) return fail(NTE_BAD_UID);
    if (hash_value_length(Algid) == 0) return fail(NTE_BAD_ALGID);
    if (Algid == CALG_SSL3_SHAMD5 && !provider_type_is_rsa(prov->provider.type)) return fail(NTE_BAD_ALGID);
    auto hash = std::make_shared<HashObject>();
    hash->provider = prov;
    hash->algorithm = Algid;
    if (uses_md5(Algid) && (hash->md5 = start_digest(EVP_md5())) == nullptr) return fail(NTE_NO_MEMORY);
    if (uses_sha1(Algid) && (hash->sha1 = start_digest(EVP_sha1())) == nullptr) return fail(NTE_NO_MEMORY);
    *phHash = register_handle(HandleKind::Hash, hash);
    return TRUE;
}

extern "C" BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags) {
    if (injected_failure("CryptSetHashParam")) return FALSE;
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto hash = lookup<HashObject>(HandleKind::Hash, hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (dwParam != HP_HASHVAL) return fail(NTE_BAD_TYPE);
    if (pbData == nullptr) return fail(ERROR_INVALID_PARAMETER);
    hash->value.assign(pbData, pbData + hash_value_length(hash->algorithm));
    hash->finished = true;
    return TRUE;
}

extern "C" BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags) {
    if (injected_failure("CryptHashData")) return FALSE;
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (pbData == nullptr && dwDataLen != 0) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto hash = lookup<HashObject>(HandleKind::Hash, hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (hash->finished) return fail(NTE_BAD_HASH_STATE);
    if (dwDataLen == 0) return TRUE;
    if ((hash->md5 != nullptr && EVP_DigestUpdate(hash->md5, pbData, dwDataLen) != 1) ||
        (hash->sha1 != nullptr && EVP_DigestUpdate(hash->sha1, pbData, dwDataLen) != 1))
        return fail(NTE_FAIL);
    return TRUE;
}

extern "C" BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                                      BYTE *pbSignature, DWORD *pdwSigLen) {
    if (injected_failure("CryptSignHashA")) return FALSE;
    (void)szDescription;  // ignored, as on current Windows
    if (pdwSigLen == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return fail(NTE_BAD_KEY);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto hash = lookup<HashObject>(HandleKind::Hash, hHash);
    if (!hash) return fail(NTE_BAD_HASH);
    if (hash->provider->verify_only) return fail(NTE_NO_KEY);
    std::shared_ptr<SoftKey> key;
    if (DWORD rc = provider_key(*hash->provider, dwKeySpec, key); rc != 0) return fail(rc);
    if (key->is_dsa() && hash->algorithm != CALG_SHA1) return fail(NTE_BAD_ALGID);
    DWORD size = key->signature_size();
    if (pbSignature == nullptr) {
        *pdwSigLen = size;
        return TRUE;
    }
    if (*pdwSigLen < size) {
        *pdwSigLen = size;
        return fail(ERROR_MORE_DATA);
    }
    finish_hash(*hash);
    std::vector<BYTE> signature;
    if (DWORD rc = key->sign(hash->algorithm, hash->value, signature); rc != 0) return fail(rc);
    return copy_out(signature.data(), static_cast<DWORD>(signature.size()), pbSignature, pdwSigLen);
}

extern "C" BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    if (injected_failure("CryptDestroyHash")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (release_handle(HandleKind::Hash, hHash) != ReleaseResult::Released) return fail(NTE_BAD_HASH);
    return TRUE;
}
