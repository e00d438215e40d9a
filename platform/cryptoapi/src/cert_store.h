// System certificate stores on disk: a folder per store and location, holding each
// certificate as NNNNNNNN.der (NNNNNNNN gives the enumeration order) and its properties
// beside it in NNNNNNNN.props. A store exists once its folder does.
#ifndef CRYPTOAPI_CERT_STORE_H
#define CRYPTOAPI_CERT_STORE_H

#include <wincrypt.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "state_dir.h"

namespace cryptoapi {

struct KeyProvInfo {
    std::u16string container;
    std::u16string provider;
    DWORD provider_type = 0;
    DWORD flags = 0;
    DWORD key_spec = 0;
};

struct CertEntry {
    unsigned sequence = 0;
    std::vector<BYTE> der;
    std::string subject;  // RFC 2253 one-line form, UTF-8
    std::optional<std::u16string> friendly_name;
    std::optional<KeyProvInfo> key_prov_info;
    bool removed = false;
};

struct StoreData {
    Location location = Location::CurrentUser;
    std::string name;
    std::string dir;
    bool read_only = false;
    std::vector<std::shared_ptr<CertEntry>> entries;
};

// Opens a system store with CertOpenStore's flags: 0, ERROR_FILE_NOT_FOUND (missing
// and CERT_STORE_OPEN_EXISTING_FLAG), CRYPT_E_EXISTS (CERT_STORE_CREATE_NEW_FLAG on an
// existing one) or ERROR_ACCESS_DENIED (the folder cannot be made).
DWORD open_system_store(Location location, const std::string &name, DWORD flags,
                        std::shared_ptr<StoreData> &out);
// Whether a store exists, without opening it.
bool system_store_exists(Location location, const std::string &name);

// CertAddEncodedCertificateToStore's dispositions on an open store.
DWORD add_certificate(StoreData &store, const BYTE *der, DWORD length, DWORD disposition,
                      std::shared_ptr<CertEntry> &out);
DWORD save_properties(const StoreData &store, const CertEntry &entry);
DWORD remove_certificate(StoreData &store, CertEntry &entry);

// The subject rendering CERT_FIND_SUBJECT_STR matches against: OpenSSL's RFC 2253 form.
std::string subject_text(const std::vector<BYTE> &der);
// ASCII case-insensitive substring test (other bytes compare exactly).
bool contains_ignoring_case(const std::string &haystack, const std::string &needle);

}  // namespace cryptoapi

#endif
