/* CryptoAPI: providers, key containers, hashes, signatures, decryption and system
 * certificate stores, with the Windows names, types, constants and error codes.
 * Integers, signatures and ciphertexts are least significant byte first. */
#ifndef CRYPTOAPI_WINCRYPT_H
#define CRYPTOAPI_WINCRYPT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef void *HCERTSTORE;
typedef unsigned int ALG_ID;

/* Provider types. */
#define PROV_RSA_FULL 1
#define PROV_RSA_SIG 2
#define PROV_DSS 3
#define PROV_DSS_DH 13
#define PROV_RSA_AES 24

/* CryptAcquireContext flags. */
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040

/* CryptGetProvParam. */
#define PP_ENUMALGS 1
#define PP_ENUMCONTAINERS 2
#define PP_NAME 4
#define PP_CONTAINER 6
#define PP_PROVTYPE 16
#define CRYPT_FIRST 1
#define CRYPT_NEXT 2

/* Key specs. */
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

/* Key blobs. */
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define CUR_BLOB_VERSION 2

/* Algorithm identifiers. */
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DSS_SIGN 0x00002200

/* Hash parameters. */
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

/* CryptGenKey: the key length is in the upper 16 bits of the flags. */
#define CRYPT_EXPORTABLE 0x00000001

/* Public key blob layout: a header, then "RSA1" or "DSS1" and the key, little-endian. */
typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic; /* 0x31415352, "RSA1" */
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

typedef struct _DSSPUBKEY {
    DWORD magic; /* 0x31535344, "DSS1" */
    DWORD bitlen;
} DSSPUBKEY;

/* Certificate stores. */
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define CERT_SYSTEM_STORE_LOCAL_MACHINE 0x00020000
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000

#define CERT_FIND_ANY 0
#define CERT_FIND_SUBJECT_STR_A 0x00070007
#define CERT_FIND_SUBJECT_STR_W 0x00080007

#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_FRIENDLY_NAME_PROP_ID 11

typedef struct _CERT_INFO CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE *pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;

/* A counted byte string; CERT_FRIENDLY_NAME_PROP_ID is set from one (UTF-16 bytes with
 * the terminator). */
typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE *pbData;
} CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB;

typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE *pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

/* CertAddEncodedCertificateToStore dispositions. */
#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4

/* CryptoAPI error codes (HRESULT values, as GetLastError reports them). */
#define NTE_BAD_UID 0x80090001L
#define NTE_BAD_HASH 0x80090002L
#define NTE_BAD_KEY 0x80090003L
#define NTE_BAD_LEN 0x80090004L
#define NTE_BAD_DATA 0x80090005L
#define NTE_BAD_SIGNATURE 0x80090006L
#define NTE_BAD_ALGID 0x80090008L
#define NTE_BAD_FLAGS 0x80090009L
#define NTE_BAD_TYPE 0x8009000AL
#define NTE_BAD_KEY_STATE 0x8009000BL
#define NTE_BAD_HASH_STATE 0x8009000CL
#define NTE_NO_KEY 0x8009000DL
#define NTE_NO_MEMORY 0x8009000EL
#define NTE_EXISTS 0x8009000FL
#define NTE_PERM 0x80090010L
#define NTE_BAD_PROV_TYPE 0x80090014L
#define NTE_BAD_PUBLIC_KEY 0x80090015L
#define NTE_BAD_KEYSET 0x80090016L
#define NTE_PROV_TYPE_NOT_DEF 0x80090017L
#define NTE_KEYSET_NOT_DEF 0x80090019L
#define NTE_PROV_TYPE_NO_MATCH 0x8009001BL
#define NTE_KEYSET_ENTRY_BAD 0x8009001AL
#define NTE_BAD_KEYSET_PARAM 0x8009001FL
#define NTE_FAIL 0x80090020L
#define CRYPT_E_NOT_FOUND 0x80092004L
#define CRYPT_E_EXISTS 0x80092005L
#define CRYPT_E_ASN1_BADTAG 0x8009310BL

/* Providers and key containers. */
CRYPTOAPI_EXPORT BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer,
                                                  LPCSTR szProvider, DWORD dwProvType,
                                                  DWORD dwFlags);
CRYPTOAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
CRYPTOAPI_EXPORT BOOL WINAPI CryptEnumProvidersA(DWORD dwIndex, DWORD *pdwReserved, DWORD dwFlags,
                                                 DWORD *pdwProvType, LPSTR szProvName,
                                                 DWORD *pcbProvName);
CRYPTOAPI_EXPORT BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData,
                                               DWORD *pdwDataLen, DWORD dwFlags);

/* Keys. The key length in bits is in the upper 16 bits of dwFlags (0: the default). */
CRYPTOAPI_EXPORT BOOL WINAPI CryptGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags,
                                         HCRYPTKEY *phKey);
CRYPTOAPI_EXPORT BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                             HCRYPTKEY *phUserKey);
CRYPTOAPI_EXPORT BOOL WINAPI CryptExportKey(HCRYPTKEY hKey, HCRYPTKEY hExpKey, DWORD dwBlobType,
                                            DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen);
CRYPTOAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey);

/* Hashes, signatures, decryption. */
CRYPTOAPI_EXPORT BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                                             DWORD dwFlags, HCRYPTHASH *phHash);
CRYPTOAPI_EXPORT BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam,
                                               const BYTE *pbData, DWORD dwFlags);
CRYPTOAPI_EXPORT BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen,
                                           DWORD dwFlags);
CRYPTOAPI_EXPORT BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec,
                                            LPCSTR szDescription, DWORD dwFlags,
                                            BYTE *pbSignature, DWORD *pdwSigLen);
CRYPTOAPI_EXPORT BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
CRYPTOAPI_EXPORT BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
                                          DWORD dwFlags, BYTE *pbData, DWORD *pdwDataLen);

/* Certificate stores. */
CRYPTOAPI_EXPORT HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                                 HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags,
                                                 const void *pvPara);
CRYPTOAPI_EXPORT BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
CRYPTOAPI_EXPORT PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                   PCCERT_CONTEXT pPrevCertContext);
CRYPTOAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(
    HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags, DWORD dwFindType,
    const void *pvFindPara, PCCERT_CONTEXT pPrevCertContext);
CRYPTOAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext,
                                                               DWORD dwPropId, void *pvData,
                                                               DWORD *pcbData);
CRYPTOAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext,
                                                               DWORD dwPropId, DWORD dwFlags,
                                                               const void *pvData);
CRYPTOAPI_EXPORT BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore,
                                                              DWORD dwCertEncodingType,
                                                              const BYTE *pbCertEncoded,
                                                              DWORD cbCertEncoded,
                                                              DWORD dwAddDisposition,
                                                              PCCERT_CONTEXT *ppCertContext);
/* Removes the certificate from its store and frees the context (also on failure). */
CRYPTOAPI_EXPORT BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
CRYPTOAPI_EXPORT PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
CRYPTOAPI_EXPORT BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

#ifdef __cplusplus
}
#endif

#endif
