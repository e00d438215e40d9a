#include "cert_store.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "utf.h"

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

// Property values are kept percent-encoded so any text fits on one line.
std::string encode_value(const std::string &value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool decode_value(const std::string &text, std::string &out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        char digits[3] = {text[i + 1], text[i + 2], 0};
        char *end = nullptr;
        long v = std::strtol(digits, &end, 16);
        if (end != digits + 2) return false;
        out += static_cast<char>(v);
        i += 2;
    }
    return true;
}

std::string format_properties(const CertEntry &entry) {
    std::ostringstream out;
    if (entry.friendly_name) out << "friendly-name=" << encode_value(to_u8(*entry.friendly_name)) << "\n";
    if (entry.key_prov_info) {
        const KeyProvInfo &k = *entry.key_prov_info;
        out << "key-container=" << encode_value(to_u8(k.container)) << "\n"
            << "key-provider=" << encode_value(to_u8(k.provider)) << "\n"
            << "key-provider-type=" << k.provider_type << "\n"
            << "key-flags=" << k.flags << "\n"
            << "key-spec=" << k.key_spec << "\n";
    }
    return out.str();
}

void parse_properties(const std::string &text, CertEntry &entry) {
    std::istringstream in(text);
    std::string line;
    KeyProvInfo info;
    bool has_key = false;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value;
        if (!decode_value(line.substr(eq + 1), value)) continue;
        auto number = [&value] { return static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10)); };
        if (key == "friendly-name") {
            entry.friendly_name = to_u16(value);
        } else if (key == "key-container") {
            info.container = to_u16(value);
            has_key = true;
        } else if (key == "key-provider") {
            info.provider = to_u16(value);
        } else if (key == "key-provider-type") {
            info.provider_type = number();
        } else if (key == "key-flags") {
            info.flags = number();
        } else if (key == "key-spec") {
            info.key_spec = number();
        }
    }
    if (has_key) entry.key_prov_info = info;
}

bool parse_sequence(const std::string &file, unsigned &sequence) {
    if (file.size() != 12 || file.compare(8, 4, ".der") != 0) return false;
    for (int i = 0; i < 8; ++i)
        if (file[i] < '0' || file[i] > '9') return false;
    sequence = static_cast<unsigned>(std::strtoul(file.substr(0, 8).c_str(), nullptr, 10));
    return true;
}

bool valid_certificate(const BYTE *der, DWORD length) {
    const unsigned char *p = der;
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(length));
    bool ok = x != nullptr && p == der + length;  // no trailing bytes
    X509_free(x);
    if (!ok) ERR_clear_error();
    return ok;
}

void load_entries(StoreData &store) {
    for (const auto &file : list_dir(store.dir)) {
        unsigned sequence;
        if (!parse_sequence(file, sequence)) continue;
        std::string der;
        if (!read_file(store.dir + "/" + file, der)) continue;
        auto entry = std::make_shared<CertEntry>();
        entry->sequence = sequence;
        entry->der.assign(der.begin(), der.end());
        // A damaged file is passed over rather than making the whole store unusable.
        if (!valid_certificate(entry->der.data(), static_cast<DWORD>(entry->der.size()))) continue;
        entry->subject = subject_text(entry->der);
        std::string props;
        if (read_file(entry_path(store, sequence, ".props"), props)) parse_properties(props, *entry);
        store.entries.push_back(entry);
    }
}

unsigned next_sequence(const StoreData &store) {
    unsigned highest = 0;
    for (const auto &file : list_dir(store.dir)) {
        unsigned sequence;
        if (parse_sequence(file, sequence) && sequence > highest) highest = sequence;
    }
    for (const auto &e : store.entries)
        if (e->sequence > highest) highest = e->sequence;
    return highest + 1;
}

}  // namespace

bool system_store_exists(Location location, const std::string &name) {
    return is_dir(store_dir(location, name));
}

DWORD open_system_store(Location location, const std::string &name, DWORD flags,
                        std::shared_ptr<StoreData> &out) {
    auto store = std::make_shared<StoreData>();
    store->location = location;
    store->name = name;
    store->dir = store_dir(location, name);
    store->read_only = (flags & CERT_STORE_READONLY_FLAG) != 0;
    bool exists = is_dir(store->dir);
    if (exists && (flags & CERT_STORE_CREATE_NEW_FLAG)) return CRYPT_E_EXISTS;
    if (!exists) {
        if (flags & CERT_STORE_OPEN_EXISTING_FLAG) return ERROR_FILE_NOT_FOUND;
        // A read-only open of a store nobody created sees it empty and creates nothing.
        if (!store->read_only && !ensure_dir(store->dir)) return ERROR_ACCESS_DENIED;
    }
    load_entries(*store);
    out = store;
    return 0;
}

DWORD add_certificate(StoreData &store, const BYTE *der, DWORD length, DWORD disposition,
                      std::shared_ptr<CertEntry> &out) {
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_ALWAYS) return ERROR_INVALID_PARAMETER;
    if (der == nullptr || length == 0 || !valid_certificate(der, length)) return CRYPT_E_ASN1_BADTAG;
    if (store.read_only) return ERROR_ACCESS_DENIED;
    std::vector<BYTE> bytes(der, der + length);
    std::shared_ptr<CertEntry> existing;
    for (const auto &e : store.entries)
        if (!e->removed && e->der == bytes) existing = e;
    if (existing && disposition != CERT_STORE_ADD_ALWAYS) {
        if (disposition == CERT_STORE_ADD_NEW) return CRYPT_E_EXISTS;
        if (disposition == CERT_STORE_ADD_REPLACE_EXISTING) {
            // Replacing drops the old certificate's properties.
            existing->friendly_name.reset();
            existing->key_prov_info.reset();
            if (DWORD rc = save_properties(store, *existing); rc != 0) return rc;
        }
        out = existing;
        return 0;
    }
    if (!ensure_dir(store.dir)) return ERROR_ACCESS_DENIED;
    auto entry = std::make_shared<CertEntry>();
    entry->der = std::move(bytes);
    entry->subject = subject_text(entry->der);
    std::string data(entry->der.begin(), entry->der.end());
    // Another process may take the same number at the same time: the exclusive write
    // tells, and the next number is tried.
    for (unsigned sequence = next_sequence(store);; ++sequence) {
        if (write_file_exclusive(entry_path(store, sequence, ".der"), data, 0600)) {
            entry->sequence = sequence;
            unlink(entry_path(store, sequence, ".props").c_str());  // a leftover of a removal
            break;
        }
        if (errno != EEXIST) return ERROR_ACCESS_DENIED;
    }
    store.entries.push_back(entry);
    out = entry;
    return 0;
}

DWORD save_properties(const StoreData &store, const CertEntry &entry) {
    if (store.read_only) return ERROR_ACCESS_DENIED;
    std::string path = entry_path(store, entry.sequence, ".props");
    std::string text = format_properties(entry);
    if (text.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) return ERROR_ACCESS_DENIED;
        return 0;
    }
    return write_file_atomic(path, text, 0600) ? 0 : ERROR_ACCESS_DENIED;
}

DWORD remove_certificate(StoreData &store, CertEntry &entry) {
    if (store.read_only) return ERROR_ACCESS_DENIED;
    if (entry.removed) return CRYPT_E_NOT_FOUND;
    if (unlink(entry_path(store, entry.sequence, ".der").c_str()) != 0 && errno != ENOENT)
        return ERROR_ACCESS_DENIED;
    unlink(entry_path(store, entry.sequence, ".props").c_str());
    entry.removed = true;
    return 0;
}

std::string subject_text(const std::vector<BYTE> &der) {
    const unsigned char *p = der.data();
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    std::string out;
    if (x == nullptr) {
        ERR_clear_error();
        return out;
    }
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
    if (needle.size() > haystack.size()) return false;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && lower(haystack[i + k]) == lower(needle[k])) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

}  // namespace cryptoapi
