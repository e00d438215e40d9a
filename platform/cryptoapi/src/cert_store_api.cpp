// Certificate stores and contexts: CertOpenStore, CertCloseStore, enumeration and find,
// properties, adding, deleting, and the reference-counted contexts.
#include <wincrypt.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "api_support.h"
#include "cert_store.h"
#include "handles.h"
#include "key_import.h"
#include "store_snapshots.h"
#include "utf.h"

using namespace cryptoapi;

namespace {

struct StoreHandleObject {
    std::shared_ptr<StoreData> data;
};

// A context: the public CERT_CONTEXT first, so the pointer handed out is this object.
struct ContextObject {
    CERT_CONTEXT context;
    long references = 1;
    std::shared_ptr<StoreData> store;
    std::shared_ptr<CertEntry> entry;
    std::vector<BYTE> der;
};
static_assert(offsetof(ContextObject, context) == 0, "CERT_CONTEXT must come first");

// Freed contexts stay allocated for a while, so that freeing one again is recognised as
// a double release rather than hitting a newer context at the same address.
constexpr size_t kQuarantine = 1024;

struct Contexts {
    std::unordered_map<const CERT_CONTEXT *, ContextObject *> live;
    std::deque<ContextObject *> freed;
    std::unordered_set<const CERT_CONTEXT *> freed_set;
};

Contexts &contexts() {
    static Contexts *c = new Contexts;
    return *c;
}

PCCERT_CONTEXT new_context(HCERTSTORE handle, const std::shared_ptr<StoreData> &store,
                           const std::shared_ptr<CertEntry> &entry) {
    auto *obj = new ContextObject;
    obj->store = store;
    obj->entry = entry;
    obj->der = entry->der;
    obj->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    obj->context.pbCertEncoded = obj->der.data();
    obj->context.cbCertEncoded = static_cast<DWORD>(obj->der.size());
    obj->context.pCertInfo = nullptr;  // decoded fields are not provided
    obj->context.hCertStore = handle;
    contexts().live.emplace(&obj->context, obj);
    count_certificate_references(1);
    return &obj->context;
}

ContextObject *live_context(PCCERT_CONTEXT ctx) {
    auto &c = contexts();
    auto it = c.live.find(ctx);
    return it == c.live.end() ? nullptr : it->second;
}

// Drops one reference. false: not a live context (a second free is counted).
bool release_context(PCCERT_CONTEXT ctx) {
    auto &c = contexts();
    auto it = c.live.find(ctx);
    if (it == c.live.end()) {
        if (c.freed_set.count(ctx) != 0) count_double_release();
        return false;
    }
    ContextObject *obj = it->second;
    count_certificate_references(-1);
    if (--obj->references > 0) return true;
    c.live.erase(it);
    c.freed.push_back(obj);
    c.freed_set.insert(&obj->context);
    if (c.freed.size() > kQuarantine) {
        ContextObject *old = c.freed.front();
        c.freed.pop_front();
        c.freed_set.erase(&old->context);
        delete old;
    }
    return true;
}

Location location_of(DWORD flags, bool &ok) {
    DWORD where = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    ok = where == 0 || where == CERT_SYSTEM_STORE_CURRENT_USER || where == CERT_SYSTEM_STORE_LOCAL_MACHINE;
    return where == CERT_SYSTEM_STORE_LOCAL_MACHINE ? Location::LocalMachine : Location::CurrentUser;
}

// Position in `store` just after `prev` (0 for none); npos if `prev` is not in it.
// The entry itself decides, not its content: a store may hold the same certificate
// twice, and resuming after the first copy of it would return the second one forever.
// A context of another handle on the same store resumes after its first copy here.
size_t position_after(StoreData &store, const ContextObject *prev) {
    if (prev == nullptr) return 0;
    for (size_t i = 0; i < store.entries.size(); ++i)
        if (store.entries.made(i) == prev->entry) return i + 1;
    for (size_t i = 0; i < store.entries.size(); ++i) {
        EntrySummary s = store.entries.summary(i);
        if (s.sha1 == prev->entry->sha1 && s.der_size == prev->entry->der_size) return i + 1;
    }
    return static_cast<size_t>(-1);
}

// The shared walk of CertEnumCertificatesInStore and CertFindCertificateInStore: frees
// `prev` (always, as Windows does) and returns the next entry that `match` accepts.
// `match` decides on an entry's subject, so entries still index records are passed over
// without being made.
PCCERT_CONTEXT next_matching(const char *operation, HCERTSTORE hCertStore, PCCERT_CONTEXT prev,
                             const std::function<bool(const std::string &subject)> &match) {
    std::lock_guard<std::mutex> lock(state_mutex());
    auto store = lookup<StoreHandleObject>(HandleKind::Store, reinterpret_cast<uintptr_t>(hCertStore));
    size_t start = 0;
    if (prev != nullptr) {
        ContextObject *prev_obj = live_context(prev);
        if (prev_obj == nullptr) {
            release_context(prev);  // counts a double release if it was freed before
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        start = store ? position_after(*store->data, prev_obj) : 0;
        release_context(prev);
    }
    if (injected_failure(operation)) return nullptr;
    if (!store) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    EntryList &entries = store->data->entries;
    std::string scratch;
    for (size_t i = start; i < entries.size(); ++i) {
        if (!entries.made(i) && !match(entries.subject(i, scratch))) continue;
        CertEntry &entry = *entries.at(i);
        if (entry.removed || !match(entry.subject)) continue;
        // The certificate is read now; if its file changed, the match is decided again.
        if (entry_der(*store->data, entry) && match(entry.subject))
            return new_context(hCertStore, store->data, entries.at(i));
    }
    SetLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

// CRYPT_KEY_PROV_INFO as one block: the structure, then the two UTF-16 strings that its
// pointers refer to. The pointers are laid out for the caller's buffer `base`.
std::vector<BYTE> key_prov_info_block(const KeyProvInfo &info, BYTE *base) {
    size_t head = sizeof(CRYPT_KEY_PROV_INFO);
    size_t container_bytes = (info.container.size() + 1) * sizeof(WCHAR);
    size_t provider_bytes = (info.provider.size() + 1) * sizeof(WCHAR);
    std::vector<BYTE> block(head + container_bytes + provider_bytes, 0);
    CRYPT_KEY_PROV_INFO out{};
    out.dwProvType = info.provider_type;
    out.dwFlags = info.flags;
    out.cProvParam = 0;
    out.rgProvParam = nullptr;
    out.dwKeySpec = info.key_spec;
    if (base != nullptr) {
        out.pwszContainerName = reinterpret_cast<LPWSTR>(base + head);
        out.pwszProvName = reinterpret_cast<LPWSTR>(base + head + container_bytes);
    }
    std::memcpy(block.data(), &out, head);
    std::memcpy(block.data() + head, info.container.c_str(), container_bytes);
    std::memcpy(block.data() + head + container_bytes, info.provider.c_str(), provider_bytes);
    return block;
}

std::u16string wide_string(LPCWSTR s) {
    std::u16string out;
    if (s != nullptr)
        while (*s != 0) out += *s++;
    return out;
}

}  // namespace

extern "C" HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                                           HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void *pvPara) {
    if (injected_failure("CertOpenStore")) return nullptr;
    (void)dwEncodingType;
    (void)hCryptProv;
    std::string name;
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
        if (pvPara != nullptr) name = static_cast<const char *>(pvPara);
    } else if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
        if (pvPara != nullptr && !utf16_to_utf8(static_cast<LPCWSTR>(pvPara),
                                                wide_string(static_cast<LPCWSTR>(pvPara)).size(), name)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return nullptr;
        }
    } else {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    bool location_ok;
    Location location = location_of(dwFlags, location_ok);
    if (name.empty() || !location_ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(state_mutex());
    std::string dir = system_store_dir(location, name);
    // The store folder's own lstat: the check below refuses a store folder that is a
    // symbolic link, so for any store it lets through this is its stat, and the check
    // uses it instead of taking it again.
    FileLook look = look_at(dir, false);
    // A store this process read before and that is unchanged since is opened from what
    // was read then, when its folders passed the check: nothing is read from them now.
    std::shared_ptr<const IndexText> kept = recall_store_log(dir, look);
    if (!kept && refuse_unsafe_state(dir + "/.index", dir, look.found ? &look.st : nullptr)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    finish_pending_imports();
    auto object = std::make_shared<StoreHandleObject>();
    if (DWORD rc = open_system_store(location, name, dwFlags, object->data, &look, kept); rc != 0) {
        SetLastError(rc);
        return nullptr;
    }
    return reinterpret_cast<HCERTSTORE>(register_handle(HandleKind::Store, object));
}

extern "C" BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (injected_failure("CertCloseStore")) return FALSE;
    (void)dwFlags;
    std::lock_guard<std::mutex> lock(state_mutex());
    // Contexts keep their store's data alive, so they stay usable after the close.
    if (release_handle(HandleKind::Store, reinterpret_cast<uintptr_t>(hCertStore)) != ReleaseResult::Released)
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

extern "C" PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                             PCCERT_CONTEXT pPrevCertContext) {
    return next_matching("CertEnumCertificatesInStore", hCertStore, pPrevCertContext,
                         [](const std::string &) { return true; });
}

extern "C" PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                            DWORD dwFindFlags, DWORD dwFindType,
                                                            const void *pvFindPara,
                                                            PCCERT_CONTEXT pPrevCertContext) {
    (void)dwCertEncodingType;
    (void)dwFindFlags;
    std::string needle;
    switch (dwFindType) {
    case CERT_FIND_ANY:
        break;
    case CERT_FIND_SUBJECT_STR_A:
        if (pvFindPara != nullptr) needle = static_cast<const char *>(pvFindPara);
        break;
    case CERT_FIND_SUBJECT_STR_W:
        if (pvFindPara != nullptr) {
            std::u16string wide = wide_string(static_cast<LPCWSTR>(pvFindPara));
            if (!utf16_to_utf8(wide.data(), wide.size(), needle)) needle = "\xFF";  // matches nothing
        }
        break;
    default: {
        PCCERT_CONTEXT none = next_matching("CertFindCertificateInStore", hCertStore, pPrevCertContext,
                                            [](const std::string &) { return false; });
        SetLastError(ERROR_NOT_SUPPORTED);
        return none;
    }
    }
    for (auto &c : needle)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return next_matching("CertFindCertificateInStore", hCertStore, pPrevCertContext,
                         [&needle](const std::string &subject) {
                             return contains_lowered(subject.data(), subject.size(), needle);
                         });
}

extern "C" BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                         void *pvData, DWORD *pcbData) {
    if (injected_failure("CertGetCertificateContextProperty")) return FALSE;
    if (pcbData == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(state_mutex());
    ContextObject *obj = live_context(pCertContext);
    if (obj == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const CertEntry &entry = *obj->entry;
    if (dwPropId == CERT_FRIENDLY_NAME_PROP_ID && entry.friendly_name) {
        const std::u16string &name = *entry.friendly_name;
        return copy_out(name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(WCHAR)), pvData, pcbData);
    }
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID && entry.key_prov_info) {
        std::vector<BYTE> block = key_prov_info_block(*entry.key_prov_info, static_cast<BYTE *>(pvData));
        return copy_out(block.data(), static_cast<DWORD>(block.size()), pvData, pcbData);
    }
    return fail(CRYPT_E_NOT_FOUND);
}

extern "C" BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                         DWORD dwFlags, const void *pvData) {
    if (injected_failure("CertSetCertificateContextProperty")) return FALSE;
    (void)dwFlags;
    std::lock_guard<std::mutex> lock(state_mutex());
    ContextObject *obj = live_context(pCertContext);
    if (obj == nullptr) return fail(ERROR_INVALID_PARAMETER);
    CertEntry updated = *obj->entry;
    if (dwPropId == CERT_FRIENDLY_NAME_PROP_ID) {
        if (pvData == nullptr) {
            updated.friendly_name.reset();
        } else {
            auto *blob = static_cast<const CRYPT_DATA_BLOB *>(pvData);
            if (blob->pbData == nullptr && blob->cbData != 0) return fail(ERROR_INVALID_PARAMETER);
            std::u16string name;
            for (DWORD i = 0; i + 1 < blob->cbData; i += 2) {
                char16_t unit;
                std::memcpy(&unit, blob->pbData + i, sizeof unit);
                if (unit == 0) break;
                name += unit;
            }
            std::string check;
            if (!utf16_to_utf8(name.data(), name.size(), check)) return fail(ERROR_NO_UNICODE_TRANSLATION);
            updated.friendly_name = name;
        }
    } else if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        if (pvData == nullptr) {
            updated.key_prov_info.reset();
        } else {
            auto *in = static_cast<const CRYPT_KEY_PROV_INFO *>(pvData);
            KeyProvInfo info;
            info.container = wide_string(in->pwszContainerName);
            info.provider = wide_string(in->pwszProvName);
            info.provider_type = in->dwProvType;
            info.flags = in->dwFlags;
            info.key_spec = in->dwKeySpec;
            std::string check;
            if (!utf16_to_utf8(info.container.data(), info.container.size(), check) ||
                !utf16_to_utf8(info.provider.data(), info.provider.size(), check))
                return fail(ERROR_NO_UNICODE_TRANSLATION);
            updated.key_prov_info = info;
        }
    } else {
        return fail(ERROR_NOT_SUPPORTED);
    }
    if (DWORD rc = save_properties(*obj->store, updated); rc != 0) return fail(rc);
    obj->entry->friendly_name = updated.friendly_name;
    obj->entry->key_prov_info = updated.key_prov_info;
    obj->entry->props_inode = updated.props_inode;
    return TRUE;
}

extern "C" BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                        const BYTE *pbCertEncoded, DWORD cbCertEncoded,
                                                        DWORD dwAddDisposition, PCCERT_CONTEXT *ppCertContext) {
    if (ppCertContext != nullptr) *ppCertContext = nullptr;
    if (injected_failure("CertAddEncodedCertificateToStore")) return FALSE;
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto store = lookup<StoreHandleObject>(HandleKind::Store, reinterpret_cast<uintptr_t>(hCertStore));
    if (!store) return fail(ERROR_INVALID_HANDLE);
    std::shared_ptr<CertEntry> entry;
    if (DWORD rc = add_certificate(*store->data, pbCertEncoded, cbCertEncoded, dwAddDisposition, entry); rc != 0)
        return fail(rc);
    if (ppCertContext != nullptr) *ppCertContext = new_context(hCertStore, store->data, entry);
    return TRUE;
}

extern "C" BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    if (injected_failure("CertDeleteCertificateFromStore")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    ContextObject *obj = live_context(pCertContext);
    if (obj == nullptr) {
        release_context(pCertContext);
        return fail(ERROR_INVALID_PARAMETER);
    }
    DWORD rc = remove_certificate(*obj->store, *obj->entry);
    release_context(pCertContext);
    return rc == 0 ? TRUE : fail(rc);
}

extern "C" PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (injected_failure("CertDuplicateCertificateContext")) return nullptr;
    if (pCertContext == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(state_mutex());
    ContextObject *obj = live_context(pCertContext);
    if (obj == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ++obj->references;
    count_certificate_references(1);
    return pCertContext;
}

extern "C" BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (injected_failure("CertFreeCertificateContext")) return FALSE;
    if (pCertContext == nullptr) return TRUE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (!release_context(pCertContext)) return fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}
