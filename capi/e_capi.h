/* Internal interface of the CryptoAPI engine: the records and operations that the
 * engine's in-process tests reach directly. The module itself exports only v_check and
 * bind_engine; everything here has hidden visibility in capi.so. */
#ifndef CAPI_E_CAPI_H
#define CAPI_E_CAPI_H

#include <windows.h>
#include <wincrypt.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

/* Function codes of the engine's error library. */
enum {
    CAPI_F_CAPI_CERT_GET_FNAME = 99,
    CAPI_F_CAPI_CTRL = 100,
    CAPI_F_CAPI_CTX_NEW = 101,
    CAPI_F_CAPI_CTX_SET_PROVNAME = 102,
    CAPI_F_CAPI_GET_KEY = 103,
    CAPI_F_CAPI_GET_PROVNAME = 104,
    CAPI_F_CAPI_GET_PROV_INFO = 105,
    CAPI_F_CAPI_INIT = 106,
    CAPI_F_CAPI_LIST_CONTAINERS = 107,
    CAPI_F_CAPI_LOAD_PRIVKEY = 108,
    CAPI_F_CAPI_OPEN_STORE = 109,
    CAPI_F_CAPI_RSA_PRIV_DEC = 110,
    CAPI_F_CAPI_RSA_PRIV_ENC = 111,
    CAPI_F_CAPI_RSA_SIGN = 112,
    CAPI_F_WIDE_TO_ASC = 113,
    CAPI_F_CAPI_DSA_DO_SIGN = 114,
    CAPI_F_CAPI_GET_PKEY = 115,
    CAPI_F_CLIENT_CERT_SELECT = 116,
    CAPI_F_CERT_SELECT_DIALOG = 117,
};

/* Reason codes of the engine's error library. */
enum {
    CAPI_R_CANT_CREATE_HASH_OBJECT = 99,
    CAPI_R_CANT_FIND_CAPI_CONTEXT = 100,
    CAPI_R_CANT_GET_KEY = 101,
    CAPI_R_CANT_SET_HASH_VALUE = 102,
    CAPI_R_CRYPTACQUIRECONTEXT_ERROR = 103,
    CAPI_R_CRYPTENUMPROVIDERS_ERROR = 104,
    CAPI_R_DECRYPT_ERROR = 105,
    CAPI_R_ENGINE_NOT_INITIALIZED = 106,
    CAPI_R_ENUMCONTAINERS_ERROR = 107,
    CAPI_R_ERROR_GETTING_FRIENDLY_NAME = 108,
    CAPI_R_ERROR_GETTING_KEY_PROVIDER_INFO = 109,
    CAPI_R_ERROR_OPENING_STORE = 110,
    CAPI_R_ERROR_SIGNING_HASH = 111,
    CAPI_R_FUNCTION_NOT_SUPPORTED = 112,
    CAPI_R_GETUSERKEY_ERROR = 113,
    CAPI_R_INVALID_LOOKUP_METHOD = 114,
    CAPI_R_INVALID_PUBLIC_KEY_BLOB = 115,
    CAPI_R_PUBKEY_EXPORT_ERROR = 116,
    CAPI_R_PUBKEY_EXPORT_LENGTH_ERROR = 117,
    CAPI_R_UNKNOWN_COMMAND = 118,
    CAPI_R_UNSUPPORTED_ALGORITHM_NID = 119,
    CAPI_R_UNSUPPORTED_PADDING = 120,
    CAPI_R_UNSUPPORTED_PUBLIC_KEY_ALGORITHM = 121,
    CAPI_R_INVALID_DSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER = 122,
    CAPI_R_INVALID_RSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER = 123,
    CAPI_R_INVALID_DIGEST_LENGTH = 124,
    CAPI_R_ERROR_ADDING_CERT = 125,
    CAPI_R_ERROR_CREATING_STORE = 126,
    CAPI_R_WIN32_ERROR = 127,
};

/* The per-engine settings. */
struct capi_context {
    int trace_level;
    char *trace_file;
    DWORD container_key_spec;
    char *provider_name;
    DWORD provider_type;
    char *cert_store_name;
    char *client_store_name;
    DWORD store_open_flags;
    int key_lookup;
    DWORD list_flags;
    int (*client_cert_chooser)(ENGINE *e, SSL *ssl, STACK_OF(X509) * certs);
};

/* Ties an OpenSSL key object to a CryptoAPI key. */
struct capi_key_record {
    PCCERT_CONTEXT owner_cert;
    HCRYPTPROV provider_handle;
    HCRYPTKEY key_handle;
    DWORD key_spec;
};

/* Process-wide state of the module. */
extern int engine_ctx_index;
extern int rsa_key_index;
extern int dsa_key_index;
extern int cert_key_index;
extern int capi_err_lib;

/* Errors. */
void capi_raise_error(int function, int reason, const char *file, int line);
#define CAPIerr(f, r) capi_raise_error((f), (r), "capi/e_capi.cpp", __LINE__)

/* Context, trace and helpers. */
capi_context *capi_ctx_new();
void capi_ctx_free(capi_context *ctx);
void capi_debug_print(capi_context *ctx, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void capi_attach_error_code(unsigned long code);
void capi_attach_last_error();
char *wide_to_asc(const WCHAR *text);

/* Binding and lifecycle. */
extern "C" {
__attribute__((visibility("default"))) unsigned long v_check(unsigned long version);
__attribute__((visibility("default"))) int bind_engine(ENGINE *e, const char *id,
                                                       const dynamic_fns *fns);
}
int capi_bind_if_id(ENGINE *e, const char *id);
int capi_init(ENGINE *e);
int capi_on_finish(ENGINE *e);
int capi_on_destroy(ENGINE *e);
void capi_load_error_texts();
void capi_unload_error_texts();
capi_context *capi_engine_context(ENGINE *e);

/* Certificate stores. */
HCERTSTORE capi_open_store(capi_context *ctx, const char *storename);
CRYPT_KEY_PROV_INFO *capi_get_prov_info(capi_context *ctx, PCCERT_CONTEXT cert);
char *capi_cert_get_fname(capi_context *ctx, PCCERT_CONTEXT cert);
void capi_print_key_info(BIO *out, const CRYPT_KEY_PROV_INFO *pinfo);
void capi_print_cert(capi_context *ctx, BIO *out, PCCERT_CONTEXT cert);
PCCERT_CONTEXT capi_search_cert(capi_context *ctx, const char *id, HCERTSTORE store);
int capi_print_store_certs(capi_context *ctx, BIO *out, const char *id);

/* Providers, key containers and control commands. */
int capi_get_provname(capi_context *ctx, char **pname, DWORD *ptype, DWORD idx);
int capi_list_providers(capi_context *ctx, BIO *out);
int capi_ctx_set_provname(capi_context *ctx, const char *pname, DWORD type, int check);
int capi_ctx_pick_provider(capi_context *ctx, DWORD idx);
int capi_list_containers(capi_context *ctx, BIO *out);
int capi_ctrl(ENGINE *e, int cmd, long i, void *p, void (*f)(void));

/* Private keys. */
EVP_PKEY *capi_load_privkey(ENGINE *e, const char *key_id, UI_METHOD *ui_method,
                            void *callback_data);
capi_key_record *capi_locate_key(capi_context *ctx, const char *id);
capi_key_record *capi_get_key(capi_context *ctx, const char *contname, const char *provname,
                              DWORD ptype, DWORD keyspec);
capi_key_record *capi_key_from_cert(capi_context *ctx, PCCERT_CONTEXT cert);
EVP_PKEY *capi_get_pkey(ENGINE *e, capi_key_record *key);
void capi_key_record_free(capi_key_record *key);
int capi_bn_from_le(BIGNUM *bn, unsigned char *bin, int binlen);

/* RSA and DSA private operations. */
int capi_rsa_sign(int dtype, const unsigned char *m, unsigned int m_len, unsigned char *sigret,
                  unsigned int *siglen, const RSA *rsa);
int capi_rsa_priv_dec(int flen, const unsigned char *from, unsigned char *to, RSA *rsa,
                      int padding);
int capi_rsa_priv_enc(int flen, const unsigned char *from, unsigned char *to, RSA *rsa,
                      int padding);
int capi_rsa_finish(RSA *rsa);
DSA_SIG *capi_dsa_do_sign(const unsigned char *digest, int dlen, DSA *dsa);
int capi_dsa_finish(DSA *dsa);

/* Client certificate selection. */
int issuer_in_ca_list(STACK_OF(X509_NAME) * ca_dn, X509 *x);
int capi_choose_client_cert(ENGINE *e, SSL *ssl, STACK_OF(X509_NAME) * ca_dn, X509 **pcert,
                            EVP_PKEY **pkey, STACK_OF(X509) * *pother, UI_METHOD *ui_method,
                            void *callback_data);

#endif
