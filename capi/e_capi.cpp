/* OpenSSL engine "capi": private keys and certificates held by CryptoAPI, used by
 * OpenSSL applications without the private key ever leaving CryptoAPI. */
#include "e_capi.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/dsa.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

/* ------------------------------------------------------------------------------------
 * Errors
 * ------------------------------------------------------------------------------------ */

int capi_err_lib = 0;

/* Function entries carry the code shifted left by 12, as the engine's library always did;
 * OpenSSL 3 reads them as extra reason texts, which do not collide with the reasons. */
#define CAPI_FUNCTION_ENTRY(code, text) {static_cast<unsigned long>(code) << 12, text}

static ERR_STRING_DATA capi_function_texts[] = {
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_CERT_GET_FNAME, "CAPI_CERT_GET_FNAME"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_CTRL, "CAPI_CTRL"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_CTX_NEW, "CAPI_CTX_NEW"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_CTX_SET_PROVNAME, "CAPI_CTX_SET_PROVNAME"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_GET_KEY, "CAPI_GET_KEY"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_GET_PROVNAME, "CAPI_GET_PROVNAME"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_GET_PROV_INFO, "CAPI_GET_PROV_INFO"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_INIT, "CAPI_INIT"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_LIST_CONTAINERS, "CAPI_LIST_CONTAINERS"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_LOAD_PRIVKEY, "CAPI_LOAD_PRIVKEY"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_OPEN_STORE, "CAPI_OPEN_STORE"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_RSA_PRIV_DEC, "CAPI_RSA_PRIV_DEC"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_RSA_PRIV_ENC, "CAPI_RSA_PRIV_ENC"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_RSA_SIGN, "CAPI_RSA_SIGN"),
    CAPI_FUNCTION_ENTRY(CAPI_F_WIDE_TO_ASC, "WIDE_TO_ASC"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_DSA_DO_SIGN, "CAPI_DSA_DO_SIGN"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CAPI_GET_PKEY, "CAPI_GET_PKEY"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CLIENT_CERT_SELECT, "CLIENT_CERT_SELECT"),
    CAPI_FUNCTION_ENTRY(CAPI_F_CERT_SELECT_DIALOG, "CERT_SELECT_DIALOG"),
    {0, nullptr},
};

static ERR_STRING_DATA capi_reason_texts[] = {
    {CAPI_R_CANT_CREATE_HASH_OBJECT, "cant create hash object"},
    {CAPI_R_CANT_FIND_CAPI_CONTEXT, "cant find capi context"},
    {CAPI_R_CANT_GET_KEY, "cant get key"},
    {CAPI_R_CANT_SET_HASH_VALUE, "cant set hash value"},
    {CAPI_R_CRYPTACQUIRECONTEXT_ERROR, "cryptacquirecontext error"},
    {CAPI_R_CRYPTENUMPROVIDERS_ERROR, "cryptenumproviders error"},
    {CAPI_R_DECRYPT_ERROR, "decrypt error"},
    {CAPI_R_ENGINE_NOT_INITIALIZED, "engine not initialized"},
    {CAPI_R_ENUMCONTAINERS_ERROR, "enumcontainers error"},
    {CAPI_R_ERROR_GETTING_FRIENDLY_NAME, "error getting friendly name"},
    {CAPI_R_ERROR_GETTING_KEY_PROVIDER_INFO, "error getting key provider info"},
    {CAPI_R_ERROR_OPENING_STORE, "error opening store"},
    {CAPI_R_ERROR_SIGNING_HASH, "error signing hash"},
    {CAPI_R_FUNCTION_NOT_SUPPORTED, "function not supported"},
    {CAPI_R_GETUSERKEY_ERROR, "getuserkey error"},
    {CAPI_R_INVALID_LOOKUP_METHOD, "invalid lookup method"},
    {CAPI_R_INVALID_PUBLIC_KEY_BLOB, "invalid public key blob"},
    {CAPI_R_PUBKEY_EXPORT_ERROR, "pubkey export error"},
    {CAPI_R_PUBKEY_EXPORT_LENGTH_ERROR, "pubkey export length error"},
    {CAPI_R_UNKNOWN_COMMAND, "unknown command"},
    {CAPI_R_UNSUPPORTED_ALGORITHM_NID, "unsupported algorithm nid"},
    {CAPI_R_UNSUPPORTED_PADDING, "unsupported padding"},
    {CAPI_R_UNSUPPORTED_PUBLIC_KEY_ALGORITHM, "unsupported public key algorithm"},
    {CAPI_R_INVALID_DSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER, "invalid dsa public key blob magic number"},
    {CAPI_R_INVALID_RSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER, "invalid rsa public key blob magic number"},
    {CAPI_R_INVALID_DIGEST_LENGTH, "invalid digest length"},
    {CAPI_R_ERROR_ADDING_CERT, "error adding cert"},
    {CAPI_R_ERROR_CREATING_STORE, "error creating store"},
    {CAPI_R_WIN32_ERROR, "win32 error"},
    {0, nullptr},
};

/* The library's own name, so that errors print "CryptoAPI ENGINE" where an unnamed
 * library prints "lib(N)". Its packed code is set once the library code is known. */
static ERR_STRING_DATA capi_library_name[] = {
    {0, "CryptoAPI ENGINE"},
    {0, nullptr},
};

static bool error_strings_loaded = false;

static void capi_obtain_error_library()
{
    if (capi_err_lib == 0)
        capi_err_lib = ERR_get_next_error_library();
}

/* OpenSSL 3 keeps no function code in an error, so the function's name travels as the
 * error's function text. */
static const char *capi_function_text(int function)
{
    for (const ERR_STRING_DATA *entry = capi_function_texts; entry->string != nullptr; ++entry)
        if ((ERR_GET_REASON(entry->error) >> 12) == function)
            return entry->string;
    return "";
}

void capi_raise_error(int function, int reason, const char *file, int line)
{
    capi_obtain_error_library();
    ERR_new();
    ERR_set_debug(file, line, capi_function_text(function));
    ERR_set_error(capi_err_lib, reason, nullptr);
}

void capi_load_error_texts()
{
    capi_obtain_error_library();
    if (!error_strings_loaded) {
        error_strings_loaded = true;
        ERR_load_strings(capi_err_lib, capi_function_texts);
        ERR_load_strings(capi_err_lib, capi_reason_texts);
        /* Loaded with library 0: the entry already carries the packed code, and a zero
         * code would end the table before it is read. */
        capi_library_name[0].error = ERR_PACK(capi_err_lib, 0, 0);
        ERR_load_strings(0, capi_library_name);
    }
}

void capi_unload_error_texts()
{
    if (error_strings_loaded) {
        ERR_unload_strings(capi_err_lib, capi_function_texts);
        ERR_unload_strings(capi_err_lib, capi_reason_texts);
        ERR_unload_strings(0, capi_library_name);
        error_strings_loaded = false;
    }
}

/* Attaches a number formatted into at most 9 characters after a prefix. */
static void capi_attach_number(const char *prefix, const char *format, unsigned long value)
{
    char text[10];
    BIO_snprintf(text, sizeof(text), format, value);
    ERR_add_error_data(2, prefix, text);
}

/* ------------------------------------------------------------------------------------
 * Context, trace and small helpers
 * ------------------------------------------------------------------------------------ */

static int capi_choose_first_cert(ENGINE *, SSL *, STACK_OF(X509) *)
{
    return 0;
}

capi_context *capi_ctx_new()
{
    auto *ctx = static_cast<capi_context *>(OPENSSL_malloc(sizeof(capi_context)));
    if (ctx == nullptr) {
        CAPIerr(CAPI_F_CAPI_CTX_NEW, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    ctx->trace_level = 0;
    ctx->trace_file = nullptr;
    ctx->container_key_spec = AT_KEYEXCHANGE;
    ctx->provider_name = nullptr;
    ctx->provider_type = PROV_RSA_FULL;
    ctx->cert_store_name = nullptr;
    ctx->client_store_name = nullptr;
    ctx->store_open_flags = CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG |
                            CERT_STORE_OPEN_EXISTING_FLAG;
    ctx->key_lookup = 1;
    ctx->list_flags = 3;
    ctx->client_cert_chooser = capi_choose_first_cert;
    return ctx;
}

void capi_ctx_free(capi_context *ctx)
{
    capi_debug_print(ctx, "Calling capi_ctx_free with %lx\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(ctx)));
    if (ctx == nullptr)
        return;
    OPENSSL_free(ctx->provider_name);
    OPENSSL_free(ctx->trace_file);
    OPENSSL_free(ctx->cert_store_name);
    OPENSSL_free(ctx->client_store_name);
    OPENSSL_free(ctx);
}

void capi_debug_print(capi_context *ctx, const char *format, ...)
{
    if (ctx == nullptr || ctx->trace_level < 2 || ctx->trace_file == nullptr)
        return;
    /* A trace that cannot be written is lost silently: the failure to open the file
     * must not show up on the error queue of the operation that traced. */
    ERR_set_mark();
    BIO *out = BIO_new_file(ctx->trace_file, "a+");
    if (out == nullptr) {
        ERR_pop_to_mark();
        return;
    }
    ERR_clear_last_mark();
    va_list args;
    va_start(args, format);
    BIO_vprintf(out, format, args);
    va_end(args);
    BIO_free(out);
}

void capi_attach_error_code(unsigned long code)
{
    capi_attach_number("Error code= 0x", "%lX", code);
}

void capi_attach_last_error()
{
    capi_attach_error_code(GetLastError());
}

char *wide_to_asc(const WCHAR *text)
{
    if (text == nullptr)
        return nullptr;
    int units = 0;
    while (text[units] != 0)
        ++units;
    int size = WideCharToMultiByte(CP_ACP, 0, text, units + 1, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        CAPIerr(CAPI_F_WIDE_TO_ASC, CAPI_R_WIN32_ERROR);
        return nullptr;
    }
    auto *result = static_cast<char *>(OPENSSL_malloc(size));
    if (result == nullptr) {
        CAPIerr(CAPI_F_WIDE_TO_ASC, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    if (WideCharToMultiByte(CP_ACP, 0, text, units + 1, result, size, nullptr, nullptr) == 0) {
        OPENSSL_free(result);
        CAPIerr(CAPI_F_WIDE_TO_ASC, CAPI_R_WIN32_ERROR);
        return nullptr;
    }
    return result;
}

/* ------------------------------------------------------------------------------------
 * Certificate stores and lookup
 * ------------------------------------------------------------------------------------ */

HCERTSTORE capi_open_store(capi_context *ctx, const char *storename)
{
    if (storename == nullptr)
        storename = ctx->cert_store_name != nullptr ? ctx->cert_store_name : "MY";
    capi_debug_print(ctx, "Opening certificate store %s\n", storename);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, ctx->store_open_flags, storename);
    if (store == nullptr) {
        CAPIerr(CAPI_F_CAPI_OPEN_STORE, CAPI_R_ERROR_OPENING_STORE);
        capi_attach_last_error();
    }
    return store;
}

/* Reads a certificate property in two calls. The buffer gets two zero bytes beyond what
 * CryptoAPI reports, so a UTF-16 string in it is terminated even if the property's is
 * not. Returns null without an error when the certificate lacks the property. */
static void *capi_read_cert_property(PCCERT_CONTEXT cert, DWORD prop_id, int function,
                                     int reason, bool report_malloc)
{
    DWORD length = 0;
    if (!CertGetCertificateContextProperty(cert, prop_id, nullptr, &length))
        return nullptr;
    void *buffer = OPENSSL_zalloc(static_cast<size_t>(length) + 2);
    if (buffer == nullptr) {
        if (report_malloc)
            CAPIerr(function, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    if (!CertGetCertificateContextProperty(cert, prop_id, buffer, &length)) {
        CAPIerr(function, reason);
        capi_attach_last_error();
        OPENSSL_free(buffer);
        return nullptr;
    }
    return buffer;
}

CRYPT_KEY_PROV_INFO *capi_get_prov_info(capi_context *, PCCERT_CONTEXT cert)
{
    return static_cast<CRYPT_KEY_PROV_INFO *>(
        capi_read_cert_property(cert, CERT_KEY_PROV_INFO_PROP_ID, CAPI_F_CAPI_GET_PROV_INFO,
                                CAPI_R_ERROR_GETTING_KEY_PROVIDER_INFO, true));
}

char *capi_cert_get_fname(capi_context *ctx, PCCERT_CONTEXT cert)
{
    capi_debug_print(ctx, "capi_cert_get_fname\n");
    auto *wname = static_cast<WCHAR *>(
        capi_read_cert_property(cert, CERT_FRIENDLY_NAME_PROP_ID, CAPI_F_CAPI_CERT_GET_FNAME,
                                CAPI_R_ERROR_GETTING_FRIENDLY_NAME, false));
    if (wname == nullptr)
        return nullptr;
    char *name = wide_to_asc(wname);
    OPENSSL_free(wname);
    return name;
}

void capi_print_key_info(BIO *out, const CRYPT_KEY_PROV_INFO *pinfo)
{
    if (pinfo == nullptr) {
        BIO_printf(out, "  No Private Key\n");
        return;
    }
    char *provname = wide_to_asc(pinfo->pwszProvName);
    char *contname = wide_to_asc(pinfo->pwszContainerName);
    if (provname != nullptr && contname != nullptr) {
        BIO_printf(out, "  Private Key Info:\n");
        BIO_printf(out, "    Provider Name:  %s, Provider Type %d\n", provname,
                   static_cast<int>(pinfo->dwProvType));
        BIO_printf(out, "    Container Name: %s, Key Type %d\n", contname,
                   static_cast<int>(pinfo->dwKeySpec));
    }
    OPENSSL_free(provname);
    OPENSSL_free(contname);
}

void capi_print_cert(capi_context *ctx, BIO *out, PCCERT_CONTEXT cert)
{
    const DWORD flags = ctx->list_flags;
    if (flags & 0x02) {
        char *fname = capi_cert_get_fname(ctx, cert);
        if (fname != nullptr) {
            BIO_printf(out, "  Friendly Name \"%s\"\n", fname);
            OPENSSL_free(fname);
        } else {
            BIO_printf(out, "  <No Friendly Name>\n");
        }
    }
    const unsigned char *der = cert->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &der, cert->cbCertEncoded);
    if (x == nullptr)
        BIO_printf(out, "  <Can't parse certificate>\n");
    if ((flags & 0x01) && x != nullptr) {
        BIO_printf(out, "  Subject: ");
        X509_NAME_print_ex(out, X509_get_subject_name(x), 0, XN_FLAG_ONELINE);
        BIO_printf(out, "\n  Issuer: ");
        X509_NAME_print_ex(out, X509_get_issuer_name(x), 0, XN_FLAG_ONELINE);
        BIO_printf(out, "\n");
    }
    if ((flags & 0x04) && x != nullptr)
        X509_print_ex(out, x, XN_FLAG_ONELINE, 0);
    if (flags & 0x20) {
        CRYPT_KEY_PROV_INFO *pinfo = capi_get_prov_info(ctx, cert);
        capi_print_key_info(out, pinfo);
        OPENSSL_free(pinfo);
    }
    if ((flags & 0x08) && x != nullptr)
        PEM_write_bio_X509(out, x);
    X509_free(x);
}

PCCERT_CONTEXT capi_search_cert(capi_context *ctx, const char *id, HCERTSTORE store)
{
    switch (ctx->key_lookup) {
    case 1:
        return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                          id, nullptr);
    case 2: {
        PCCERT_CONTEXT cert = nullptr;
        while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
            char *fname = capi_cert_get_fname(ctx, cert);
            if (fname == nullptr)
                continue;
            const bool match = std::strcmp(fname, id) == 0;
            OPENSSL_free(fname);
            if (match)
                return cert;
        }
        return nullptr;
    }
    default:
        return nullptr;
    }
}

int capi_print_store_certs(capi_context *ctx, BIO *out, const char *id)
{
    const char *storename = ctx->cert_store_name != nullptr ? ctx->cert_store_name : "MY";
    capi_debug_print(ctx, "Listing certs for store %s\n", storename);
    HCERTSTORE store = capi_open_store(ctx, storename);
    if (store == nullptr)
        return 0;
    if (id != nullptr) {
        PCCERT_CONTEXT cert = capi_search_cert(ctx, id, store);
        if (cert == nullptr) {
            CertCloseStore(store, 0);
            return 0;
        }
        capi_print_cert(ctx, out, cert);
        CertFreeCertificateContext(cert);
    } else {
        PCCERT_CONTEXT cert = nullptr;
        for (int i = 0; (cert = CertEnumCertificatesInStore(store, cert)) != nullptr; ++i) {
            BIO_printf(out, "Certificate %d\n", i);
            capi_print_cert(ctx, out, cert);
        }
    }
    CertCloseStore(store, 0);
    return 1;
}

/* ------------------------------------------------------------------------------------
 * Providers and key containers
 * ------------------------------------------------------------------------------------ */

/* Replaces a context string by a private copy of `value` (null stores null). When the copy
 * cannot be made the old value stays and the failure is reported. */
static int capi_replace_string(char **slot, const char *value, int function)
{
    char *copy = nullptr;
    if (value != nullptr && (copy = BUF_strdup(value)) == nullptr) {
        CAPIerr(function, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    OPENSSL_free(*slot);
    *slot = copy;
    return 1;
}

int capi_get_provname(capi_context *ctx, char **pname, DWORD *ptype, DWORD idx)
{
    capi_debug_print(ctx, "capi_get_provname, index=%d\n", static_cast<int>(idx));
    DWORD length = 0;
    if (!CryptEnumProvidersA(idx, nullptr, 0, ptype, nullptr, &length)) {
        const DWORD err = GetLastError();
        if (err == ERROR_NO_MORE_ITEMS)
            return 2;
        CAPIerr(CAPI_F_CAPI_GET_PROVNAME, CAPI_R_CRYPTENUMPROVIDERS_ERROR);
        capi_attach_error_code(err);
        return 0;
    }
    /* One byte more than reported keeps the name terminated whatever the provider says. */
    auto *name = static_cast<char *>(OPENSSL_zalloc(static_cast<size_t>(length) + 1));
    if (name == nullptr) {
        CAPIerr(CAPI_F_CAPI_GET_PROVNAME, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    if (!CryptEnumProvidersA(idx, nullptr, 0, ptype, name, &length)) {
        const DWORD err = GetLastError();
        OPENSSL_free(name);
        if (err == ERROR_NO_MORE_ITEMS)
            return 2;
        CAPIerr(CAPI_F_CAPI_GET_PROVNAME, CAPI_R_CRYPTENUMPROVIDERS_ERROR);
        capi_attach_error_code(err);
        return 0;
    }
    *pname = name;
    capi_debug_print(ctx, "capi_get_provname, returned name=%s, type=%d\n", name,
                     static_cast<int>(*ptype));
    return 1;
}

int capi_list_providers(capi_context *ctx, BIO *out)
{
    capi_debug_print(ctx, "capi_list_providers\n");
    BIO_printf(out, "Available CSPs:\n");
    for (DWORD idx = 0;; ++idx) {
        char *provname = nullptr;
        DWORD ptype = 0;
        if (capi_get_provname(ctx, &provname, &ptype, idx) != 1)
            break;
        BIO_printf(out, "%d. %s, type %d\n", static_cast<int>(idx), provname,
                   static_cast<int>(ptype));
        OPENSSL_free(provname);
    }
    return 1;
}

int capi_ctx_set_provname(capi_context *ctx, const char *pname, DWORD type, int check)
{
    capi_debug_print(ctx, "capi_ctx_set_provname, name=%s, type=%d\n", pname,
                     static_cast<int>(type));
    if (check) {
        HCRYPTPROV hprov;
        if (!CryptAcquireContextA(&hprov, nullptr, pname, type, CRYPT_VERIFYCONTEXT)) {
            CAPIerr(CAPI_F_CAPI_CTX_SET_PROVNAME, CAPI_R_CRYPTACQUIRECONTEXT_ERROR);
            capi_attach_last_error();
            return 0;
        }
        CryptReleaseContext(hprov, 0);
    }
    if (!capi_replace_string(&ctx->provider_name, pname, CAPI_F_CAPI_CTX_SET_PROVNAME))
        return 0;
    ctx->provider_type = type;
    return 1;
}

int capi_ctx_pick_provider(capi_context *ctx, DWORD idx)
{
    char *provname = nullptr;
    DWORD ptype = 0;
    if (capi_get_provname(ctx, &provname, &ptype, idx) != 1)
        return 0;
    capi_debug_print(ctx, "capi_ctx_set_provname, name=%s, type=%d\n", provname,
                     static_cast<int>(ptype));
    /* The enumerated name is already a private copy: it becomes the context's. */
    OPENSSL_free(ctx->provider_name);
    ctx->provider_name = provname;
    ctx->provider_type = ptype;
    return 1;
}

int capi_list_containers(capi_context *ctx, BIO *out)
{
    capi_debug_print(ctx, "Listing containers CSP=%s, type = %d\n", ctx->provider_name,
                     static_cast<int>(ctx->provider_type));
    HCRYPTPROV hprov;
    if (!CryptAcquireContextA(&hprov, nullptr, ctx->provider_name, ctx->provider_type,
                              CRYPT_VERIFYCONTEXT)) {
        CAPIerr(CAPI_F_CAPI_LIST_CONTAINERS, CAPI_R_CRYPTACQUIRECONTEXT_ERROR);
        capi_attach_last_error();
        return 0;
    }
    DWORD max = 0;
    if (!CryptGetProvParam(hprov, PP_ENUMCONTAINERS, nullptr, &max, CRYPT_FIRST)) {
        CAPIerr(CAPI_F_CAPI_LIST_CONTAINERS, CAPI_R_ENUMCONTAINERS_ERROR);
        capi_attach_last_error();
        CryptReleaseContext(hprov, 0);
        return 0;
    }
    capi_debug_print(ctx, "Got max container len %d\n", static_cast<int>(max));
    if (max == 0)
        max = 1024;
    /* One byte more than the longest name keeps every name terminated. */
    auto *cname = static_cast<char *>(OPENSSL_malloc(static_cast<size_t>(max) + 1));
    int ret = 1;
    if (cname == nullptr) {
        CAPIerr(CAPI_F_CAPI_LIST_CONTAINERS, ERR_R_MALLOC_FAILURE);
        ret = 0;
    } else {
        for (DWORD idx = 0;; ++idx) {
            DWORD clen = max;
            const DWORD flags = idx == 0 ? CRYPT_FIRST : 0;
            cname[0] = 0;
            cname[max] = 0;
            if (!CryptGetProvParam(hprov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(cname),
                                   &clen, flags)) {
                const DWORD err = GetLastError();
                if (err == ERROR_NO_MORE_ITEMS)
                    break;
                CAPIerr(CAPI_F_CAPI_LIST_CONTAINERS, CAPI_R_ENUMCONTAINERS_ERROR);
                capi_attach_error_code(err);
                ret = 0;
                break;
            }
            capi_debug_print(ctx, "Container name %s, len=%d, index=%d, flags=%d\n", cname,
                             static_cast<int>(clen), static_cast<int>(idx),
                             static_cast<int>(flags));
            /* Some providers end the list with an empty name instead of an error. */
            if (cname[0] == 0 && clen == max) {
                capi_debug_print(ctx, "Enumerate bug: using workaround\n");
                break;
            }
            BIO_printf(out, "%d. %s\n", static_cast<int>(idx), cname);
        }
    }
    OPENSSL_free(cname);
    CryptReleaseContext(hprov, 0);
    return ret;
}

/* ------------------------------------------------------------------------------------
 * Control commands
 * ------------------------------------------------------------------------------------ */

enum {
    CAPI_CMD_LIST_CERTS = ENGINE_CMD_BASE,
    CAPI_CMD_LOOKUP_CERT,
    CAPI_CMD_DEBUG_LEVEL,
    CAPI_CMD_DEBUG_FILE,
    CAPI_CMD_KEYTYPE,
    CAPI_CMD_LIST_CSPS,
    CAPI_CMD_SET_CSP_IDX,
    CAPI_CMD_SET_CSP_NAME,
    CAPI_CMD_SET_CSP_TYPE,
    CAPI_CMD_LIST_CONTAINERS,
    CAPI_CMD_LIST_OPTIONS,
    CAPI_CMD_LOOKUP_METHOD,
    CAPI_CMD_STORE_NAME,
    CAPI_CMD_STORE_FLAGS,
};

static const ENGINE_CMD_DEFN capi_cmd_defns[] = {
    {CAPI_CMD_LIST_CERTS, "list_certs", "List all certificates in store", ENGINE_CMD_FLAG_NO_INPUT},
    {CAPI_CMD_LOOKUP_CERT, "lookup_cert", "Lookup and output certificates", ENGINE_CMD_FLAG_STRING},
    {CAPI_CMD_DEBUG_LEVEL, "debug_level", "debug level (1=errors, 2=trace)", ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_DEBUG_FILE, "debug_file", "debugging filename)", ENGINE_CMD_FLAG_STRING},
    {CAPI_CMD_KEYTYPE, "key_type", "Key type: 1=AT_KEYEXCHANGE (default), 2=AT_SIGNATURE",
     ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_LIST_CSPS, "list_csps", "List all CSPs", ENGINE_CMD_FLAG_NO_INPUT},
    {CAPI_CMD_SET_CSP_IDX, "csp_idx", "Set CSP by index", ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_SET_CSP_NAME, "csp_name", "Set CSP name, (default CSP used if not specified)",
     ENGINE_CMD_FLAG_STRING},
    {CAPI_CMD_SET_CSP_TYPE, "csp_type", "Set CSP type, (default RSA_PROV_FULL)",
     ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_LIST_CONTAINERS, "list_containers", "list container names", ENGINE_CMD_FLAG_NO_INPUT},
    {CAPI_CMD_LIST_OPTIONS, "list_options",
     "Set list options (1=summary,2=friendly name, 4=full printout, 8=PEM output, 16=XXX, "
     "32=private key info)",
     ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_LOOKUP_METHOD, "lookup_method",
     "Set key lookup method (1=substring, 2=friendlyname, 3=container name)",
     ENGINE_CMD_FLAG_NUMERIC},
    {CAPI_CMD_STORE_NAME, "store_name", "certificate store name, default \"MY\"",
     ENGINE_CMD_FLAG_STRING},
    {CAPI_CMD_STORE_FLAGS, "store_flags", "Certificate store flags: 1 = system store",
     ENGINE_CMD_FLAG_NUMERIC},
    {0, nullptr, nullptr, 0},
};

/* Runs one command on an engine's context; `out` is standard output. */
static int capi_run_command(capi_context *ctx, int cmd, long i, const char *p, BIO *out)
{
    switch (cmd) {
    case CAPI_CMD_LIST_CERTS:
        return capi_print_store_certs(ctx, out, nullptr);
    case CAPI_CMD_LOOKUP_CERT:
        return capi_print_store_certs(ctx, out, p);
    case CAPI_CMD_DEBUG_LEVEL:
        ctx->trace_level = static_cast<int>(i);
        capi_debug_print(ctx, "Setting debug level to %d\n", ctx->trace_level);
        return 1;
    case CAPI_CMD_DEBUG_FILE:
        if (!capi_replace_string(&ctx->trace_file, p, CAPI_F_CAPI_CTRL))
            return 0;
        capi_debug_print(ctx, "Setting debug file to %s\n", ctx->trace_file);
        return 1;
    case CAPI_CMD_KEYTYPE:
        ctx->container_key_spec = static_cast<DWORD>(i);
        capi_debug_print(ctx, "Setting key type to %d\n", static_cast<int>(i));
        return 1;
    case CAPI_CMD_LIST_CSPS:
        return capi_list_providers(ctx, out);
    case CAPI_CMD_SET_CSP_IDX:
        return capi_ctx_pick_provider(ctx, static_cast<DWORD>(i));
    case CAPI_CMD_SET_CSP_NAME:
        return capi_ctx_set_provname(ctx, p, ctx->provider_type, 1);
    case CAPI_CMD_SET_CSP_TYPE:
        ctx->provider_type = static_cast<DWORD>(i);
        return 1;
    case CAPI_CMD_LIST_CONTAINERS:
        return capi_list_containers(ctx, out);
    case CAPI_CMD_LIST_OPTIONS:
        ctx->list_flags = static_cast<DWORD>(i);
        return 1;
    case CAPI_CMD_LOOKUP_METHOD:
        if (i < 1 || i > 3) {
            CAPIerr(CAPI_F_CAPI_CTRL, CAPI_R_INVALID_LOOKUP_METHOD);
            return 0;
        }
        ctx->key_lookup = static_cast<int>(i);
        return 1;
    case CAPI_CMD_STORE_NAME:
        if (!capi_replace_string(&ctx->cert_store_name, p, CAPI_F_CAPI_CTRL))
            return 0;
        capi_debug_print(ctx, "Setting store name to %s\n", p);
        return 1;
    case CAPI_CMD_STORE_FLAGS:
        if (i & 1) {
            ctx->store_open_flags &= ~static_cast<DWORD>(CERT_SYSTEM_STORE_CURRENT_USER);
            ctx->store_open_flags |= CERT_SYSTEM_STORE_LOCAL_MACHINE;
        } else {
            ctx->store_open_flags &= ~static_cast<DWORD>(CERT_SYSTEM_STORE_LOCAL_MACHINE);
            ctx->store_open_flags |= CERT_SYSTEM_STORE_CURRENT_USER;
        }
        capi_debug_print(ctx, "Setting flags to %d\n", static_cast<int>(i));
        return 1;
    default:
        CAPIerr(CAPI_F_CAPI_CTRL, CAPI_R_UNKNOWN_COMMAND);
        return 0;
    }
}

int capi_ctrl(ENGINE *e, int cmd, long i, void *p, void (*)(void))
{
    capi_context *ctx = capi_engine_context(e);
    if (ctx == nullptr) {
        CAPIerr(CAPI_F_CAPI_CTRL, CAPI_R_ENGINE_NOT_INITIALIZED);
        return 0;
    }
    BIO *out = BIO_new_fp(stdout, BIO_NOCLOSE);
    const int ret = capi_run_command(ctx, cmd, i, static_cast<const char *>(p), out);
    BIO_free(out);
    return ret;
}

/* ------------------------------------------------------------------------------------
 * Private key loading
 * ------------------------------------------------------------------------------------ */

EVP_PKEY *capi_load_privkey(ENGINE *e, const char *key_id, UI_METHOD *, void *)
{
    if (key_id == nullptr)
        return nullptr;
    capi_context *ctx = capi_engine_context(e);
    if (ctx == nullptr) {
        CAPIerr(CAPI_F_CAPI_LOAD_PRIVKEY, CAPI_R_CANT_FIND_CAPI_CONTEXT);
        return nullptr;
    }
    capi_key_record *key = capi_locate_key(ctx, key_id);
    if (key == nullptr)
        return nullptr;
    EVP_PKEY *pkey = capi_get_pkey(e, key);
    if (pkey == nullptr) {
        capi_key_record_free(key);
        return nullptr;
    }
    return pkey;
}

/* The certificate's subject in the one-line form the listings print; null if it cannot
 * be read. */
static char *capi_cert_subject_text(PCCERT_CONTEXT cert)
{
    const unsigned char *der = cert->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &der, cert->cbCertEncoded);
    BIO *mem = BIO_new(BIO_s_mem());
    char *text = nullptr;
    if (x != nullptr && mem != nullptr &&
        X509_NAME_print_ex(mem, X509_get_subject_name(x), 0, XN_FLAG_ONELINE) >= 0) {
        char *data = nullptr;
        const long length = BIO_get_mem_data(mem, &data);
        text = OPENSSL_strndup(data, static_cast<size_t>(length));
    }
    BIO_free(mem);
    X509_free(x);
    return text;
}

/* Why a key that a certificate points to could not be opened, for the common codes. */
static const char *capi_missing_key_reason(DWORD code)
{
    switch (code) {
    case static_cast<DWORD>(NTE_BAD_KEYSET):
        return "the key container does not exist";
    case static_cast<DWORD>(NTE_NO_KEY):
        return "the key container holds no key of that spec";
    case static_cast<DWORD>(NTE_KEYSET_NOT_DEF):
        return "the provider does not exist";
    case static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH):
        return "the provider is of another type";
    default:
        return "the key could not be opened";
    }
}

/* A lookup by subject or friendly name takes the first certificate that matches, with or
 * without a key. When its key cannot be had, the failure names that certificate and says
 * why: a certificate without key provider information has no key in CryptoAPI (nothing
 * was queued, so this queues "cant get key"); otherwise the detail goes after that of the
 * failure already queued, whose codes stay as they are. */
static void capi_explain_missing_key(PCCERT_CONTEXT cert, DWORD last_error)
{
    /* The note must not add errors of its own to the queue. */
    ERR_set_mark();
    char *subject = capi_cert_subject_text(cert);
    DWORD length = 0;
    const bool has_key_info =
        CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length) ||
        GetLastError() != static_cast<DWORD>(CRYPT_E_NOT_FOUND);
    CRYPT_KEY_PROV_INFO *pinfo = nullptr;
    char *provname = nullptr, *contname = nullptr;
    if (has_key_info && length > 0) {
        pinfo = static_cast<CRYPT_KEY_PROV_INFO *>(OPENSSL_zalloc(static_cast<size_t>(length) + 2));
        if (pinfo != nullptr &&
            CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, pinfo, &length)) {
            provname = wide_to_asc(pinfo->pwszProvName);
            contname = wide_to_asc(pinfo->pwszContainerName);
        }
    }
    ERR_pop_to_mark();

    const char *shown = subject != nullptr ? subject : "?";
    if (!has_key_info) {
        CAPIerr(CAPI_F_CAPI_LOAD_PRIVKEY, CAPI_R_CANT_GET_KEY);
        ERR_add_error_data(3, "certificate \"", shown,
                           "\" has no private key in CryptoAPI (no key provider information)");
    } else if (provname != nullptr && contname != nullptr) {
        char spec[16];
        BIO_snprintf(spec, sizeof(spec), "%lu", static_cast<unsigned long>(pinfo->dwKeySpec));
        ERR_add_error_data(10, "; certificate \"", shown, "\": key container \"", contname,
                           "\" of provider \"", provname, "\", key spec ", spec, ": ",
                           capi_missing_key_reason(last_error));
    } else {
        ERR_add_error_data(3, "; certificate \"", shown,
                           "\": its key provider information cannot be read");
    }
    OPENSSL_free(subject);
    OPENSSL_free(pinfo);
    OPENSSL_free(provname);
    OPENSSL_free(contname);
}

capi_key_record *capi_locate_key(capi_context *ctx, const char *id)
{
    switch (ctx->key_lookup) {
    case 1:
    case 2: {
        HCERTSTORE store = capi_open_store(ctx, nullptr);
        if (store == nullptr)
            return nullptr;
        capi_key_record *key = nullptr;
        PCCERT_CONTEXT cert = capi_search_cert(ctx, id, store);
        if (cert != nullptr) {
            key = capi_key_from_cert(ctx, cert);
            if (key == nullptr)
                capi_explain_missing_key(cert, GetLastError());
            CertFreeCertificateContext(cert);
        }
        CertCloseStore(store, 0);
        return key;
    }
    case 3:
        return capi_get_key(ctx, id, ctx->provider_name, ctx->provider_type,
                            ctx->container_key_spec);
    default:
        return nullptr;
    }
}

capi_key_record *capi_key_from_cert(capi_context *ctx, PCCERT_CONTEXT cert)
{
    CRYPT_KEY_PROV_INFO *pinfo = capi_get_prov_info(ctx, cert);
    if (pinfo == nullptr)
        return nullptr;
    char *provname = wide_to_asc(pinfo->pwszProvName);
    char *contname = wide_to_asc(pinfo->pwszContainerName);
    capi_key_record *key = nullptr;
    if (provname != nullptr && contname != nullptr)
        key = capi_get_key(ctx, contname, provname, pinfo->dwProvType, pinfo->dwKeySpec);
    OPENSSL_free(pinfo);
    OPENSSL_free(provname);
    OPENSSL_free(contname);
    return key;
}

capi_key_record *capi_get_key(capi_context *ctx, const char *contname, const char *provname,
                              DWORD ptype, DWORD keyspec)
{
    auto *key = static_cast<capi_key_record *>(OPENSSL_malloc(sizeof(capi_key_record)));
    if (key == nullptr) {
        CAPIerr(CAPI_F_CAPI_GET_KEY, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    capi_debug_print(ctx, "capi_get_key, contname=%s, provname=%s, type=%d\n", contname,
                     provname, static_cast<int>(ptype));
    /* Keys come from the machine's key sets exactly when certificates come from the
     * machine's stores. */
    const DWORD flags =
        (ctx->store_open_flags & CERT_SYSTEM_STORE_LOCAL_MACHINE) ? CRYPT_MACHINE_KEYSET : 0;
    if (!CryptAcquireContextA(&key->provider_handle, contname, provname, ptype, flags)) {
        CAPIerr(CAPI_F_CAPI_GET_KEY, CAPI_R_CRYPTACQUIRECONTEXT_ERROR);
        capi_attach_last_error();
        OPENSSL_free(key);
        return nullptr;
    }
    if (!CryptGetUserKey(key->provider_handle, keyspec, &key->key_handle)) {
        CAPIerr(CAPI_F_CAPI_GET_KEY, CAPI_R_GETUSERKEY_ERROR);
        capi_attach_last_error();
        CryptReleaseContext(key->provider_handle, 0);
        OPENSSL_free(key);
        return nullptr;
    }
    key->key_spec = keyspec;
    key->owner_cert = nullptr;
    return key;
}

void capi_key_record_free(capi_key_record *key)
{
    if (key == nullptr)
        return;
    CryptDestroyKey(key->key_handle);
    CryptReleaseContext(key->provider_handle, 0);
    if (key->owner_cert != nullptr)
        CertFreeCertificateContext(key->owner_cert);
    OPENSSL_free(key);
}

int capi_bn_from_le(BIGNUM *bn, unsigned char *bin, int binlen)
{
    for (int i = 0; i < binlen / 2; ++i) {
        unsigned char c = bin[i];
        bin[i] = bin[binlen - 1 - i];
        bin[binlen - 1 - i] = c;
    }
    return BN_bin2bn(bin, binlen, bn) != nullptr ? 1 : 0;
}

static DWORD capi_read_le32(const unsigned char *p)
{
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

/* Builds an RSA object over the blob's public values that signs through the record. */
static EVP_PKEY *capi_build_rsa(ENGINE *e, capi_key_record *key, unsigned char *blob,
                                size_t bloblen)
{
    const DWORD magic = capi_read_le32(blob + 8);
    if (magic != 0x31415352) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_INVALID_RSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER);
        capi_attach_number("magic=0x", "%lx", magic);
        return nullptr;
    }
    const size_t len = capi_read_le32(blob + 12) >> 3;
    if (bloblen < 20 + len) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_INVALID_PUBLIC_KEY_BLOB);
        return nullptr;
    }
    RSA *rkey = RSA_new_method(e);
    BIGNUM *n = BN_new();
    BIGNUM *exponent = BN_new();
    EVP_PKEY *pkey = nullptr;
    bool attached = false;
    if (rkey == nullptr || n == nullptr || exponent == nullptr ||
        !BN_set_word(exponent, capi_read_le32(blob + 16)) ||
        !capi_bn_from_le(n, blob + 20, static_cast<int>(len)) ||
        !RSA_set0_key(rkey, n, exponent, nullptr))
        goto memerr;
    n = exponent = nullptr; /* owned by the RSA object now */
    if (!RSA_set_ex_data(rkey, rsa_key_index, key))
        goto memerr;
    attached = true;
    pkey = EVP_PKEY_new();
    if (pkey == nullptr || !EVP_PKEY_assign_RSA(pkey, rkey))
        goto memerr;
    return pkey;

memerr:
    CAPIerr(CAPI_F_CAPI_GET_PKEY, ERR_R_MALLOC_FAILURE);
    EVP_PKEY_free(pkey);
    BN_free(n);
    BN_free(exponent);
    /* The record stays the caller's: detach it so the finish hook leaves it alone. */
    if (attached)
        RSA_set_ex_data(rkey, rsa_key_index, nullptr);
    RSA_free(rkey);
    return nullptr;
}

/* Builds a DSA object over the blob's public values that signs through the record. */
static EVP_PKEY *capi_build_dsa(ENGINE *e, capi_key_record *key, unsigned char *blob,
                                size_t bloblen)
{
    const DWORD magic = capi_read_le32(blob + 8);
    if (magic != 0x31535344) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_INVALID_DSA_PUBLIC_KEY_BLOB_MAGIC_NUMBER);
        capi_attach_number("magic=0x", "%lx", magic);
        return nullptr;
    }
    const size_t len = capi_read_le32(blob + 12) >> 3;
    if (bloblen < 36 + 3 * len) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_INVALID_PUBLIC_KEY_BLOB);
        return nullptr;
    }
    DSA *dkey = DSA_new_method(e);
    BIGNUM *p = BN_new();
    BIGNUM *q = BN_new();
    BIGNUM *g = BN_new();
    BIGNUM *y = BN_new();
    EVP_PKEY *pkey = nullptr;
    bool attached = false;
    unsigned char *at = blob + 16;
    const int ilen = static_cast<int>(len);
    if (dkey == nullptr || p == nullptr || q == nullptr || g == nullptr || y == nullptr ||
        !capi_bn_from_le(p, at, ilen) || !capi_bn_from_le(q, at + len, 20) ||
        !capi_bn_from_le(g, at + len + 20, ilen) || !capi_bn_from_le(y, at + 2 * len + 20, ilen))
        goto memerr;
    if (!DSA_set0_pqg(dkey, p, q, g))
        goto memerr;
    p = q = g = nullptr;
    if (!DSA_set0_key(dkey, y, nullptr))
        goto memerr;
    y = nullptr;
    if (!DSA_set_ex_data(dkey, dsa_key_index, key))
        goto memerr;
    attached = true;
    pkey = EVP_PKEY_new();
    if (pkey == nullptr || !EVP_PKEY_assign_DSA(pkey, dkey))
        goto memerr;
    return pkey;

memerr:
    CAPIerr(CAPI_F_CAPI_GET_PKEY, ERR_R_MALLOC_FAILURE);
    EVP_PKEY_free(pkey);
    BN_free(p);
    BN_free(q);
    BN_free(g);
    BN_free(y);
    if (attached)
        DSA_set_ex_data(dkey, dsa_key_index, nullptr);
    DSA_free(dkey);
    return nullptr;
}

EVP_PKEY *capi_get_pkey(ENGINE *e, capi_key_record *key)
{
    if (key == nullptr) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    DWORD length = 0;
    if (!CryptExportKey(key->key_handle, 0, PUBLICKEYBLOB, 0, nullptr, &length)) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_PUBKEY_EXPORT_LENGTH_ERROR);
        capi_attach_last_error();
        return nullptr;
    }
    auto *blob = static_cast<unsigned char *>(OPENSSL_malloc(length));
    if (blob == nullptr) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    EVP_PKEY *pkey = nullptr;
    if (!CryptExportKey(key->key_handle, 0, PUBLICKEYBLOB, 0, blob, &length)) {
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_PUBKEY_EXPORT_ERROR);
        capi_attach_last_error();
    } else if (length < 16 || blob[0] != PUBLICKEYBLOB) {
        /* The header itself must be there before any field of it is read. */
        CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_INVALID_PUBLIC_KEY_BLOB);
    } else {
        const ALG_ID algorithm = capi_read_le32(blob + 4);
        if (algorithm == CALG_RSA_KEYX || algorithm == CALG_RSA_SIGN) {
            pkey = capi_build_rsa(e, key, blob, length);
        } else if (algorithm == CALG_DSS_SIGN) {
            pkey = capi_build_dsa(e, key, blob, length);
        } else {
            CAPIerr(CAPI_F_CAPI_GET_PKEY, CAPI_R_UNSUPPORTED_PUBLIC_KEY_ALGORITHM);
            capi_attach_number("aiKeyAlg=0x", "%lx", algorithm);
        }
    }
    OPENSSL_free(blob);
    return pkey;
}

/* ------------------------------------------------------------------------------------
 * RSA private operations
 * ------------------------------------------------------------------------------------ */

/* The context of the engine behind a key, or null for a key without an engine. */
static capi_context *capi_key_context(ENGINE *e)
{
    return capi_engine_context(e);
}

int capi_rsa_sign(int dtype, const unsigned char *m, unsigned int m_len, unsigned char *sigret,
                  unsigned int *siglen, const RSA *rsa)
{
    capi_context *ctx = capi_key_context(RSA_get0_engine(rsa));
    capi_debug_print(ctx, "Called CAPI_rsa_sign()\n");
    capi_key_record *key = rsa_key_index < 0
                               ? nullptr
                               : static_cast<capi_key_record *>(RSA_get_ex_data(rsa, rsa_key_index));
    if (key == nullptr) {
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_CANT_GET_KEY);
        return -1;
    }
    ALG_ID alg;
    unsigned int hash_len;
    switch (dtype) {
    case NID_md5:
        alg = CALG_MD5;
        hash_len = 16;
        break;
    case NID_sha1:
        alg = CALG_SHA1;
        hash_len = 20;
        break;
    case NID_md5_sha1:
        alg = CALG_SSL3_SHAMD5;
        hash_len = 36;
        break;
    default:
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_UNSUPPORTED_ALGORITHM_NID);
        /* The identifier is a 32-bit int: a negative one prints as its 8 hex digits. */
        capi_attach_number("NID=0x", "%lx",
                           static_cast<unsigned long>(static_cast<uint32_t>(dtype)));
        return -1;
    }
    /* CryptoAPI reads as many bytes as the algorithm's hash is long. */
    if (m_len != hash_len) {
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_INVALID_DIGEST_LENGTH);
        return -1;
    }
    HCRYPTHASH hash;
    if (!CryptCreateHash(key->provider_handle, alg, 0, 0, &hash)) {
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_CANT_CREATE_HASH_OBJECT);
        capi_attach_last_error();
        return -1;
    }
    int ret = -1;
    DWORD slen = static_cast<DWORD>(RSA_size(rsa));
    if (!CryptSetHashParam(hash, HP_HASHVAL, m, 0)) {
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_CANT_SET_HASH_VALUE);
        capi_attach_last_error();
    } else if (!CryptSignHashA(hash, key->key_spec, nullptr, 0, sigret, &slen)) {
        CAPIerr(CAPI_F_CAPI_RSA_SIGN, CAPI_R_ERROR_SIGNING_HASH);
        capi_attach_last_error();
    } else {
        for (DWORD i = 0; i < slen / 2; ++i) {
            unsigned char c = sigret[i];
            sigret[i] = sigret[slen - 1 - i];
            sigret[slen - 1 - i] = c;
        }
        *siglen = slen;
        ret = 1;
    }
    CryptDestroyHash(hash);
    return ret;
}

int capi_rsa_priv_dec(int flen, const unsigned char *from, unsigned char *to, RSA *rsa,
                      int padding)
{
    capi_context *ctx = capi_key_context(RSA_get0_engine(rsa));
    capi_debug_print(ctx, "Called capi_rsa_priv_dec()\n");
    capi_key_record *key = rsa_key_index < 0
                               ? nullptr
                               : static_cast<capi_key_record *>(RSA_get_ex_data(rsa, rsa_key_index));
    if (key == nullptr) {
        CAPIerr(CAPI_F_CAPI_RSA_PRIV_DEC, CAPI_R_CANT_GET_KEY);
        return -1;
    }
    if (padding != RSA_PKCS1_PADDING) {
        CAPIerr(CAPI_F_CAPI_RSA_PRIV_DEC, CAPI_R_UNSUPPORTED_PADDING);
        char text[10];
        BIO_snprintf(text, sizeof(text), "%d", padding);
        ERR_add_error_data(2, "padding=", text);
        return -1;
    }
    auto *tmpbuf = static_cast<unsigned char *>(OPENSSL_malloc(flen > 0 ? flen : 1));
    if (tmpbuf == nullptr || flen < 0) {
        CAPIerr(CAPI_F_CAPI_RSA_PRIV_DEC, ERR_R_MALLOC_FAILURE);
        OPENSSL_free(tmpbuf);
        return -1;
    }
    for (int i = 0; i < flen; ++i)
        tmpbuf[flen - 1 - i] = from[i];
    DWORD length = static_cast<DWORD>(flen);
    int ret = -1;
    if (!CryptDecrypt(key->key_handle, 0, TRUE, 0, tmpbuf, &length)) {
        CAPIerr(CAPI_F_CAPI_RSA_PRIV_DEC, CAPI_R_DECRYPT_ERROR);
        capi_attach_last_error();
    } else if (length > static_cast<DWORD>(flen)) {
        /* A plaintext longer than the ciphertext cannot be; copy nothing. */
        CAPIerr(CAPI_F_CAPI_RSA_PRIV_DEC, CAPI_R_DECRYPT_ERROR);
    } else {
        std::memcpy(to, tmpbuf, length);
        ret = static_cast<int>(length);
    }
    /* The buffer held the ciphertext and the plaintext. */
    OPENSSL_clear_free(tmpbuf, flen > 0 ? flen : 1);
    return ret;
}

int capi_rsa_priv_enc(int, const unsigned char *, unsigned char *, RSA *, int)
{
    CAPIerr(CAPI_F_CAPI_RSA_PRIV_ENC, CAPI_R_FUNCTION_NOT_SUPPORTED);
    return -1;
}

int capi_rsa_finish(RSA *rsa)
{
    if (rsa_key_index < 0)
        return 1;
    capi_key_record_free(static_cast<capi_key_record *>(RSA_get_ex_data(rsa, rsa_key_index)));
    RSA_set_ex_data(rsa, rsa_key_index, nullptr);
    return 1;
}

/* ------------------------------------------------------------------------------------
 * DSA signing
 * ------------------------------------------------------------------------------------ */

DSA_SIG *capi_dsa_do_sign(const unsigned char *digest, int dlen, DSA *dsa)
{
    capi_context *ctx = capi_key_context(DSA_get0_engine(dsa));
    capi_debug_print(ctx, "Called CAPI_dsa_do_sign()\n");
    capi_key_record *key = dsa_key_index < 0
                               ? nullptr
                               : static_cast<capi_key_record *>(DSA_get_ex_data(dsa, dsa_key_index));
    if (key == nullptr) {
        CAPIerr(CAPI_F_CAPI_DSA_DO_SIGN, CAPI_R_CANT_GET_KEY);
        return nullptr;
    }
    if (dlen != 20) {
        CAPIerr(CAPI_F_CAPI_DSA_DO_SIGN, CAPI_R_INVALID_DIGEST_LENGTH);
        return nullptr;
    }
    HCRYPTHASH hash;
    if (!CryptCreateHash(key->provider_handle, CALG_SHA1, 0, 0, &hash)) {
        CAPIerr(CAPI_F_CAPI_DSA_DO_SIGN, CAPI_R_CANT_CREATE_HASH_OBJECT);
        capi_attach_last_error();
        return nullptr;
    }
    unsigned char csigbuf[40];
    DWORD slen = sizeof(csigbuf);
    DSA_SIG *sig = nullptr;
    if (!CryptSetHashParam(hash, HP_HASHVAL, digest, 0)) {
        CAPIerr(CAPI_F_CAPI_DSA_DO_SIGN, CAPI_R_CANT_SET_HASH_VALUE);
        capi_attach_last_error();
    } else if (!CryptSignHashA(hash, key->key_spec, nullptr, 0, csigbuf, &slen)) {
        CAPIerr(CAPI_F_CAPI_DSA_DO_SIGN, CAPI_R_ERROR_SIGNING_HASH);
        capi_attach_last_error();
    } else {
        sig = DSA_SIG_new();
        BIGNUM *r = BN_new();
        BIGNUM *s = BN_new();
        if (sig == nullptr || r == nullptr || s == nullptr || !capi_bn_from_le(r, csigbuf, 20) ||
            !capi_bn_from_le(s, csigbuf + 20, 20) || !DSA_SIG_set0(sig, r, s)) {
            DSA_SIG_free(sig);
            BN_free(r);
            BN_free(s);
            sig = nullptr;
        }
    }
    OPENSSL_cleanse(csigbuf, sizeof(csigbuf));
    CryptDestroyHash(hash);
    return sig;
}

int capi_dsa_finish(DSA *dsa)
{
    if (dsa_key_index < 0)
        return 1;
    capi_key_record_free(static_cast<capi_key_record *>(DSA_get_ex_data(dsa, dsa_key_index)));
    DSA_set_ex_data(dsa, dsa_key_index, nullptr);
    return 1;
}

/* ------------------------------------------------------------------------------------
 * Client certificate selection
 * ------------------------------------------------------------------------------------ */

int issuer_in_ca_list(STACK_OF(X509_NAME) * ca_dn, X509 *x)
{
    if (ca_dn == nullptr || sk_X509_NAME_num(ca_dn) == 0)
        return 1;
    const X509_NAME *issuer = X509_get_issuer_name(x);
    for (int i = 0; i < sk_X509_NAME_num(ca_dn); ++i)
        if (X509_NAME_cmp(sk_X509_NAME_value(ca_dn, i), issuer) == 0)
            return 1;
    return 0;
}

/* Releases the key record that a candidate certificate carries. */
static void capi_release_candidate_key(X509 *x)
{
    capi_key_record_free(static_cast<capi_key_record *>(X509_get_ex_data(x, cert_key_index)));
    X509_set_ex_data(x, cert_key_index, nullptr);
}

int capi_choose_client_cert(ENGINE *e, SSL *ssl, STACK_OF(X509_NAME) * ca_dn, X509 **pcert,
                            EVP_PKEY **pkey, STACK_OF(X509) * *, UI_METHOD *, void *)
{
    capi_context *ctx = capi_engine_context(e);
    if (ctx == nullptr)
        return 0;
    *pcert = nullptr;
    *pkey = nullptr;
    HCERTSTORE store = capi_open_store(ctx, ctx->client_store_name != nullptr
                                                ? ctx->client_store_name
                                                : "MY");
    if (store == nullptr)
        return 0;
    STACK_OF(X509) *certs = nullptr;
    PCCERT_CONTEXT cert = nullptr;
    for (int i = 0; (cert = CertEnumCertificatesInStore(store, cert)) != nullptr; ++i) {
        const unsigned char *der = cert->pbCertEncoded;
        X509 *x = d2i_X509(nullptr, &der, cert->cbCertEncoded);
        if (x == nullptr) {
            capi_debug_print(ctx, "Can't Parse Certificate %d\n", i);
            continue;
        }
        if (!issuer_in_ca_list(ca_dn, x) ||
            X509_check_purpose(x, X509_PURPOSE_SSL_CLIENT, 0) == 0) {
            X509_free(x);
            continue;
        }
        capi_key_record *key = capi_key_from_cert(ctx, cert);
        if (key == nullptr) {
            X509_free(x);
            continue;
        }
        key->owner_cert = CertDuplicateCertificateContext(cert);
        if (certs == nullptr)
            certs = sk_X509_new_null();
        /* A candidate that cannot be kept is released at once instead of leaked. */
        if (certs == nullptr || !X509_set_ex_data(x, cert_key_index, key) ||
            !sk_X509_push(certs, x)) {
            X509_set_ex_data(x, cert_key_index, nullptr);
            capi_key_record_free(key);
            X509_free(x);
        }
    }
    CertCloseStore(store, 0);
    if (certs == nullptr)
        return 0;

    const int chosen = ctx->client_cert_chooser(e, ssl, certs);
    X509 *x = nullptr;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509 *candidate = sk_X509_value(certs, i);
        if (i == chosen) {
            x = candidate;
        } else {
            capi_release_candidate_key(candidate);
            X509_free(candidate);
        }
    }
    sk_X509_free(certs);
    if (x == nullptr)
        return 0;

    *pcert = x;
    auto *key = static_cast<capi_key_record *>(X509_get_ex_data(x, cert_key_index));
    *pkey = capi_get_pkey(e, key);
    X509_set_ex_data(x, cert_key_index, nullptr);
    /* Without a key object nothing else refers to the record. */
    if (*pkey == nullptr)
        capi_key_record_free(key);
    return 1;
}

/* ------------------------------------------------------------------------------------
 * Binding and lifecycle
 * ------------------------------------------------------------------------------------ */

static const char *engine_capi_id = "capi";
static const char *engine_capi_name = "CryptoAPI ENGINE";

int engine_ctx_index = -1;
int rsa_key_index = -1;
int dsa_key_index = -1;
int cert_key_index = -1;

/* Routes RSA signing through the method's rsa_sign slot. OpenSSL 3 calls that slot
 * whenever it is set and leaves the bit unused; it is kept as the record's flags. */
static const int kRsaFlagSignVer = 0x40;

static RSA_METHOD *capi_rsa_ops = nullptr;
static DSA_METHOD *capi_dsa_ops = nullptr;

/* The method records live as long as the module: every RSA or DSA object that uses them
 * holds a reference to the engine, which keeps the module loaded. */
namespace {
struct method_records_owner {
    ~method_records_owner()
    {
        RSA_meth_free(capi_rsa_ops);
        DSA_meth_free(capi_dsa_ops);
    }
} method_records;
} // namespace

/* Makes the process-wide method records with the engine's own slots; the software
 * slots are copied in at init. */
static bool capi_make_method_records()
{
    if (capi_rsa_ops == nullptr) {
        RSA_METHOD *rsa = RSA_meth_new("CryptoAPI RSA method", kRsaFlagSignVer);
        if (rsa == nullptr || !RSA_meth_set_priv_enc(rsa, capi_rsa_priv_enc) ||
            !RSA_meth_set_priv_dec(rsa, capi_rsa_priv_dec) ||
            !RSA_meth_set_finish(rsa, capi_rsa_finish) || !RSA_meth_set_sign(rsa, capi_rsa_sign)) {
            RSA_meth_free(rsa);
            return false;
        }
        capi_rsa_ops = rsa;
    }
    if (capi_dsa_ops == nullptr) {
        DSA_METHOD *dsa = DSA_meth_new("CryptoAPI DSA method", 0);
        if (dsa == nullptr || !DSA_meth_set_sign(dsa, capi_dsa_do_sign) ||
            !DSA_meth_set_finish(dsa, capi_dsa_finish)) {
            DSA_meth_free(dsa);
            return false;
        }
        capi_dsa_ops = dsa;
    }
    return true;
}

static int capi_setup_engine(ENGINE *e)
{
    if (!capi_make_method_records())
        return 0;
    if (!ENGINE_set_id(e, engine_capi_id) || !ENGINE_set_name(e, engine_capi_name) ||
        !ENGINE_set_init_function(e, capi_init) || !ENGINE_set_finish_function(e, capi_on_finish) ||
        !ENGINE_set_destroy_function(e, capi_on_destroy) || !ENGINE_set_RSA(e, capi_rsa_ops) ||
        !ENGINE_set_DSA(e, capi_dsa_ops) ||
        !ENGINE_set_load_privkey_function(e, capi_load_privkey) ||
        !ENGINE_set_load_ssl_client_cert_function(e, capi_choose_client_cert) ||
        !ENGINE_set_cmd_defns(e, capi_cmd_defns) || !ENGINE_set_ctrl_function(e, capi_ctrl))
        return 0;
    capi_load_error_texts();
    return 1;
}

int capi_bind_if_id(ENGINE *e, const char *id)
{
    if (id != nullptr && std::strcmp(id, engine_capi_id) != 0)
        return 0;
    return capi_setup_engine(e);
}

extern "C" unsigned long v_check(unsigned long version)
{
    return version >= OSSL_DYNAMIC_OLDEST ? OSSL_DYNAMIC_VERSION : 0;
}

extern "C" int bind_engine(ENGINE *e, const char *id, const dynamic_fns *fns)
{
    /* A loader with a libcrypto of its own hands over its memory functions; OpenSSL 3
     * has no locking, ex-data or error implementations to adopt. */
    if (ENGINE_get_static_state() != fns->static_state) {
        if (!CRYPTO_set_mem_functions(fns->mem_fns.malloc_fn, fns->mem_fns.realloc_fn,
                                      fns->mem_fns.free_fn))
            return 0;
    }
    return capi_bind_if_id(e, id) ? 1 : 0;
}

capi_context *capi_engine_context(ENGINE *e)
{
    if (e == nullptr || engine_ctx_index < 0)
        return nullptr;
    return static_cast<capi_context *>(ENGINE_get_ex_data(e, engine_ctx_index));
}

int capi_init(ENGINE *e)
{
    engine_ctx_index = ENGINE_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    cert_key_index = X509_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    capi_context *ctx = capi_ctx_new();
    if (ctx == nullptr || engine_ctx_index < 0) {
        CAPIerr(CAPI_F_CAPI_INIT, ERR_R_MALLOC_FAILURE);
        /* The context that was made has nowhere to go. */
        capi_ctx_free(ctx);
        return 0;
    }
    ENGINE_set_ex_data(e, engine_ctx_index, ctx);

    rsa_key_index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    const RSA_METHOD *soft_rsa = RSA_PKCS1_OpenSSL();
    RSA_meth_set_pub_enc(capi_rsa_ops, RSA_meth_get_pub_enc(soft_rsa));
    RSA_meth_set_pub_dec(capi_rsa_ops, RSA_meth_get_pub_dec(soft_rsa));
    RSA_meth_set_mod_exp(capi_rsa_ops, RSA_meth_get_mod_exp(soft_rsa));
    RSA_meth_set_bn_mod_exp(capi_rsa_ops, RSA_meth_get_bn_mod_exp(soft_rsa));

    dsa_key_index = DSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    const DSA_METHOD *soft_dsa = DSA_OpenSSL();
    DSA_meth_set_verify(capi_dsa_ops, DSA_meth_get_verify(soft_dsa));
    DSA_meth_set_mod_exp(capi_dsa_ops, DSA_meth_get_mod_exp(soft_dsa));
    DSA_meth_set_bn_mod_exp(capi_dsa_ops, DSA_meth_get_bn_mod_exp(soft_dsa));
    return 1;
}

int capi_on_finish(ENGINE *e)
{
    if (engine_ctx_index < 0)
        return 1;
    capi_ctx_free(capi_engine_context(e));
    ENGINE_set_ex_data(e, engine_ctx_index, nullptr);
    return 1;
}

int capi_on_destroy(ENGINE *)
{
    capi_unload_error_texts();
    return 1;
}
