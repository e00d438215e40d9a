#include "cert_store.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <openssl/evp.h>

#include "cert_properties.h"
#include "store_index.h"

namespace cryptoapi {

namespace {

std::string store_dir(Location location, const std::string &name) {
    // System store names are case-insensitive: "My" and "MY" are one store.
    std::string upper = name;
    for (auto &c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return state_home() + "/stores/" + location_dir_name(location) + "/" + encode_name(upper);
}

std::string entry_path(const StoreData &store, unsigned sequence, const char *suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "/%08u%s", sequence, suffix);
    return store.dir + name;
}

// Past every sequence this handle knows; a number another process took meanwhile is
// refused by the exclusive write, and the next one is tried.
unsigned next_sequence(const StoreData &store) {
    unsigned highest = 0;
    for (size_t i = 0; i < store.entries.size(); ++i)
        if (store.entries.sequence(i) > highest) highest = store.entries.sequence(i);
    return highest + 1;
}

}  // namespace

std::string system_store_dir(Location location, const std::string &name) { return store_dir(location, name); }

bool system_store_exists(Location location, const std::string &name) {
    return is_dir(store_dir(location, name));
}

DWORD open_system_store(Location location, const std::string &name, DWORD flags,
                        std::shared_ptr<StoreData> &out, const FileLook *look,
                        std::shared_ptr<const IndexText> kept) {
    auto store = std::make_shared<StoreData>();
    store->location = location;
    store->name = name;
    store->dir = store_dir(location, name);
    store->read_only = (flags & CERT_STORE_READONLY_FLAG) != 0;
    FileLook own;
    if (look == nullptr) {
        own = look_at(store->dir);
        look = &own;
    }
    bool exists = look->found && S_ISDIR(look->st.st_mode);
    if (exists && (flags & CERT_STORE_CREATE_NEW_FLAG)) return CRYPT_E_EXISTS;
    if (!exists) {
        if (flags & CERT_STORE_OPEN_EXISTING_FLAG) return ERROR_FILE_NOT_FOUND;
        // A read-only open of a store nobody created sees it empty and creates nothing.
        if (!store->read_only && !ensure_dir(store->dir)) return ERROR_ACCESS_DENIED;
    }
    // A store made just now gets its (empty) index at once, so that adds can log to it.
    if (exists || !store->read_only) store->entries = load_indexed_entries(store->dir, exists ? look : nullptr, std::move(kept));
    out = store;
    return 0;
}

namespace {

// Merges the entries read from disk under the lock into the handle's list: new ones are
// appended, those gone from disk are marked removed. The handle's own entry objects stay
// (contexts and enumeration positions refer to them).
// Entries are compared by what their records say, so that those neither gone nor
// replaced need not be made.
void merge_current(StoreData &store, EntryList &current) {
    std::map<unsigned, size_t> on_disk;
    for (size_t i = 0; i < current.size(); ++i) on_disk[current.sequence(i)] = i;
    for (size_t i = 0; i < store.entries.size(); ++i) {
        auto it = on_disk.find(store.entries.sequence(i));
        if (it == on_disk.end()) {
            store.entries.at(i)->removed = true;
            continue;
        }
        EntrySummary mine = store.entries.summary(i);
        if (!mine.removed && current.summary(it->second).der_inode != mine.der_inode) {
            *store.entries.at(i) = *current.at(it->second);  // replaced on disk meanwhile
        }
        on_disk.erase(it);
    }
    for (auto &item : on_disk) store.entries.push_back(current.at(item.second));
}

}  // namespace

DWORD add_certificate(StoreData &store, const BYTE *der, DWORD length, DWORD disposition,
                      std::shared_ptr<CertEntry> &out, const CertEntry *properties) {
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) return ERROR_INVALID_PARAMETER;
    if (der == nullptr || length == 0 || !is_certificate(der, length)) return CRYPT_E_ASN1_BADTAG;
    if (store.read_only) return ERROR_ACCESS_DENIED;
    if (!ensure_dir(store.dir)) return ERROR_ACCESS_DENIED;
    std::vector<BYTE> bytes(der, der + length);
    std::array<BYTE, 20> digest = sha1_of(bytes);
    EntryList current;
    IndexChange change(store.dir, current);
    merge_current(store, current);
    std::shared_ptr<CertEntry> existing;
    for (size_t i = 0; i < store.entries.size(); ++i) {
        EntrySummary s = store.entries.summary(i);
        if (s.removed || s.der_size != length || s.sha1 != digest) continue;
        const auto &e = store.entries.at(i);
        if (entry_der(store, *e, false) && e->der == bytes) {
            existing = e;
            break;
        }
    }
    if (existing && disposition != CERT_STORE_ADD_ALWAYS) {
        if (disposition == CERT_STORE_ADD_NEW) return CRYPT_E_EXISTS;
        if (disposition == CERT_STORE_ADD_REPLACE_EXISTING) {
            // Replacing drops the old certificate's properties.
            CertEntry updated = *existing;
            updated.friendly_name = properties != nullptr ? properties->friendly_name : std::nullopt;
            updated.key_prov_info = properties != nullptr ? properties->key_prov_info : std::nullopt;
            if (DWORD rc = write_properties(store, updated, change); rc != 0) return rc;
            *existing = updated;
        }
        out = existing;
        return 0;
    }
    auto entry = std::make_shared<CertEntry>();
    entry->der = std::move(bytes);
    entry->der_size = length;
    entry->sha1 = digest;
    entry->subject = subject_simple_text(entry->der);
    if (properties != nullptr) {
        entry->friendly_name = properties->friendly_name;
        entry->key_prov_info = properties->key_prov_info;
    }
    std::string data(entry->der.begin(), entry->der.end());
    std::string props = format_properties(*entry);
    // Numbers are taken under the lock; one whose certificate file exists is in use, and
    // a properties file without its certificate is a leftover and is replaced. The
    // certificate file is written last and exclusively: it is what makes the entry exist.
    for (unsigned sequence = next_sequence(store);; ++sequence) {
        std::string der_path = entry_path(store, sequence, ".der");
        if (path_exists(der_path)) continue;
        std::string props_path = entry_path(store, sequence, ".props");
        if (props.empty()) {
            if (unlink(props_path.c_str()) != 0 && errno != ENOENT) return ERROR_ACCESS_DENIED;
        } else if (!write_file_atomic(props_path, props, 0600)) {
            return ERROR_ACCESS_DENIED;
        }
        if (write_file_exclusive(der_path, data, 0600)) {
            entry->sequence = sequence;
            break;
        }
        if (errno != EEXIST) {
            if (!props.empty()) unlink(props_path.c_str());
            return ERROR_ACCESS_DENIED;
        }
    }
    change.record_entry(*entry);
    store.entries.push_back(entry);
    out = entry;
    return 0;
}

DWORD write_properties(const StoreData &store, CertEntry &entry, IndexChange &change) {
    std::string path = entry_path(store, entry.sequence, ".props");
    std::string text = format_properties(entry);
    if (text.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) return ERROR_ACCESS_DENIED;
    } else if (!write_file_atomic(path, text, 0600)) {
        return ERROR_ACCESS_DENIED;
    }
    change.record_entry(entry);
    return 0;
}

DWORD save_properties(const StoreData &store, CertEntry &entry) {
    if (store.read_only) return ERROR_ACCESS_DENIED;
    IndexChange change(store.dir);
    return write_properties(store, entry, change);
}

DWORD remove_certificate(StoreData &store, CertEntry &entry) {
    if (store.read_only) return ERROR_ACCESS_DENIED;
    if (entry.removed) return CRYPT_E_NOT_FOUND;
    IndexChange change(store.dir);
    if (unlink(entry_path(store, entry.sequence, ".der").c_str()) != 0 && errno != ENOENT)
        return ERROR_ACCESS_DENIED;
    unlink(entry_path(store, entry.sequence, ".props").c_str());
    change.record_removal(entry.sequence);
    entry.removed = true;
    return 0;
}

bool entry_der(const StoreData &store, CertEntry &entry, bool update_index) {
    if (!entry.der.empty()) return true;
    std::string path = entry_path(store, entry.sequence, ".der");
    if (recall_certificate(path, entry.sha1, entry.der)) return true;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct stat before;
    std::string data;
    if (!read_file_expecting(path, entry.der_size, data, &before)) return false;
    std::vector<BYTE> der(data.begin(), data.end());
    if (der.size() == entry.der_size && sha1_of(der) == entry.sha1) {
        remember_certificate(path, now, before, entry.sha1, der);
        entry.der = std::move(der);
        return true;
    }
    // The file is not the one the index described (it was rewritten in place, outside
    // this library): take everything from the files and correct the index.
    auto fresh = read_entry_files(store.dir, entry.sequence);
    if (!fresh) return false;
    fresh->removed = entry.removed;
    entry = *fresh;
    if (update_index) IndexChange(store.dir).record_entry(entry);
    return true;
}

bool is_certificate(const BYTE *der, DWORD length) {
    const unsigned char *p = der;
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(length));
    bool ok = x != nullptr && p == der + length;  // no trailing bytes
    X509_free(x);
    if (!ok) ERR_clear_error();
    return ok;
}

std::array<BYTE, 20> sha1_of(const std::vector<BYTE> &der) {
    std::array<BYTE, 20> out{};
    unsigned int n = 0;
    EVP_Digest(der.data(), der.size(), out.data(), &n, EVP_sha1(), nullptr);
    return out;
}

namespace {

// The certificate in `der`, or null (with OpenSSL's error queue cleared).
X509 *decode_certificate(const std::vector<BYTE> &der) {
    const unsigned char *p = der.data();
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (x == nullptr) ERR_clear_error();
    return x;
}

bool needs_quotes(const std::string &value) {
    if (value.empty()) return false;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    if (space(value.front()) || space(value.back())) return true;
    return value.find_first_of(",+=\"\n<>#;") != std::string::npos;
}

}  // namespace

std::string subject_simple_text(const std::vector<BYTE> &der) {
    X509 *x = decode_certificate(der);
    std::string out;
    if (x == nullptr) return out;
    const X509_NAME *name = X509_get_subject_name(x);
    int previous_set = -1;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
        if (i > 0) out += X509_NAME_ENTRY_set(e) == previous_set ? " + " : ", ";
        previous_set = X509_NAME_ENTRY_set(e);
        unsigned char *utf8 = nullptr;
        int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
        std::string value;
        if (n >= 0) value.assign(reinterpret_cast<char *>(utf8), static_cast<size_t>(n));
        OPENSSL_free(utf8);
        if (!needs_quotes(value)) {
            out += value;
            continue;
        }
        out += '"';
        for (char c : value) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    ERR_clear_error();
    X509_free(x);
    return out;
}

std::string subject_text(const std::vector<BYTE> &der) {
    X509 *x = decode_certificate(der);
    std::string out;
    if (x == nullptr) return out;
    BIO *bio = BIO_new(BIO_s_mem());
    if (bio != nullptr &&
        X509_NAME_print_ex(bio, X509_get_subject_name(x), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        char *data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        out.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    X509_free(x);
    return out;
}

bool contains_ignoring_case(const std::string &haystack, const std::string &needle) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    std::string lowered(needle);
    for (auto &c : lowered) c = lower(c);
    return contains_lowered(haystack.data(), haystack.size(), lowered);
}

bool contains_lowered(const char *haystack, size_t size, const std::string &needle) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    const size_t n = needle.size();
    if (n == 0) return true;
    if (n > size) return false;
    // Candidates are found by the first byte in either case, then compared.
    const char first = needle[0];
    const char first_upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 'a' + 'A') : first;
    for (size_t i = 0; i + n <= size; ++i) {
        if (haystack[i] != first && haystack[i] != first_upper) continue;
        size_t k = 1;
        while (k < n && lower(haystack[i + k]) == needle[k]) ++k;
        if (k == n) return true;
    }
    return false;
}

}  // namespace cryptoapi
