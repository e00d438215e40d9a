// System certificate stores on disk: a folder per store and location, holding each
// certificate as NNNNNNNN.der (NNNNNNNN gives the enumeration order) and its properties
// beside it in NNNNNNNN.props. A store exists once its folder does.
#ifndef CRYPTOAPI_CERT_STORE_H
#define CRYPTOAPI_CERT_STORE_H

#include <wincrypt.h>

#include <array>
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
    // Read from its file only when a context is made of the entry (see entry_der); the
    // size and SHA-1 come from the index, find duplicates and check the file read later.
    std::vector<BYTE> der;
    DWORD der_size = 0;
    std::array<BYTE, 20> sha1{};
    std::string subject;  // the simple-name form subject search matches (UTF-8)
    std::optional<std::u16string> friendly_name;
    std::optional<KeyProvInfo> key_prov_info;
    // Inodes of the .der and .props files (0: no .props) the entry was read from.
    unsigned long long der_inode = 0;
    unsigned long long props_inode = 0;
    bool removed = false;
};

// What an entry's index record says of its certificate and files, read without making
// the entry (see EntryList).
struct EntrySummary {
    unsigned sequence = 0;
    DWORD der_size = 0;
    std::array<BYTE, 20> sha1{};
    unsigned long long der_inode = 0;
    unsigned long long props_inode = 0;
    bool removed = false;
};

// An index log read whole (its buffer is not cleared before the read fills it).
struct IndexText {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    const char *data() const { return bytes.get(); }
};

// The entries of a store in enumeration order. Those taken from the store's index stay
// as their records (lines of the index text, checked whole when it was read) until an
// entry object is asked for: a find passes over the others by their subject alone, so
// opening a store and finding one certificate in it costs about one pass over the index
// text, not one object per certificate.
class EntryList {
public:
    size_t size() const { return slots_.size(); }
    unsigned sequence(size_t i) const { return slots_[i].entry ? slots_[i].entry->sequence : slots_[i].sequence; }
    // The entry at i, made from its record the first time it is asked for.
    const std::shared_ptr<CertEntry> &at(size_t i);
    // The entry at i if it was made already (or never was a record), else null. An entry
    // not made yet is not removed and belongs to no context.
    const std::shared_ptr<CertEntry> &made(size_t i) const { return slots_[i].entry; }
    // The subject search matches (CertEntry::subject) of the entry at i, without making
    // it: a record's subject is decoded into `scratch`.
    const std::string &subject(size_t i, std::string &scratch);
    EntrySummary summary(size_t i);
    // The record line of the entry at i, with its checksum and without its newline; false
    // if the entry was made (its record may be out of date) or never was a record.
    bool record_line(size_t i, const char *&line, size_t &length) const;

    void push_back(std::shared_ptr<CertEntry> entry);
    // Used by the index reader: the store folder and the text records refer to, and a
    // record of it (a line [offset, offset + length) without its newline whose checksum
    // holds). A record whose fields turn out not to be the index's own is read from the
    // store's files instead when its entry is made.
    void set_source(std::string dir, std::shared_ptr<const IndexText> text) {
        dir_ = std::move(dir);
        text_ = std::move(text);
    }
    void add_record(unsigned sequence, size_t offset, size_t length);
    void reserve(size_t n) { slots_.reserve(n); }

private:
    struct Slot {
        std::shared_ptr<CertEntry> entry;  // null while only the record is known
        size_t offset = 0;
        unsigned length = 0;
        unsigned sequence = 0;
    };
    std::string dir_;
    std::shared_ptr<const IndexText> text_;
    std::vector<Slot> slots_;
};

struct StoreData {
    Location location = Location::CurrentUser;
    std::string name;
    std::string dir;
    bool read_only = false;
    EntryList entries;
};

// Opens a system store with CertOpenStore's flags: 0, ERROR_FILE_NOT_FOUND (missing
// and CERT_STORE_OPEN_EXISTING_FLAG), CRYPT_E_EXISTS (CERT_STORE_CREATE_NEW_FLAG on an
// existing one) or ERROR_ACCESS_DENIED (the folder cannot be made).
// `look`, if given, is the store folder's stat taken just before (see look_at), and
// `kept` the store's index log as this process read it before, if the folder is unchanged
// since (see recall_store_log).
struct FileLook;
DWORD open_system_store(Location location, const std::string &name, DWORD flags,
                        std::shared_ptr<StoreData> &out, const FileLook *look = nullptr,
                        std::shared_ptr<const IndexText> kept = nullptr);
// The folder of a system store.
std::string system_store_dir(Location location, const std::string &name);
// Whether a store exists, without opening it.
bool system_store_exists(Location location, const std::string &name);

// CertAddEncodedCertificateToStore's dispositions on an open store. Whether the
// certificate is there already is decided on the store as it is on disk, under the
// store's lock, so of several processes adding one certificate with CERT_STORE_ADD_NEW
// exactly one succeeds. `properties` (friendly name, key link) are given to a new or
// replacing entry and are written before the certificate file: a certificate appears
// with its properties or not at all.
DWORD add_certificate(StoreData &store, const BYTE *der, DWORD length, DWORD disposition,
                      std::shared_ptr<CertEntry> &out, const CertEntry *properties = nullptr);
// Writes the entry's properties (and notes the new file in the entry).
DWORD save_properties(const StoreData &store, CertEntry &entry);
class IndexChange;
// The same, inside a change that holds the store's lock already.
DWORD write_properties(const StoreData &store, CertEntry &entry, IndexChange &change);
DWORD remove_certificate(StoreData &store, CertEntry &entry);
// Makes sure entry.der holds the certificate, reading its file if needed. false if the
// file is gone or no longer a certificate. A file whose content is not what the index
// said refreshes the whole entry (subject and properties too), so callers that matched
// on the entry must check it again.
// `update_index` false: the caller holds the store's lock, the index is left as it is.
bool entry_der(const StoreData &store, CertEntry &entry, bool update_index = true);

// Whether the bytes are exactly one DER certificate, and its SHA-1.
bool is_certificate(const BYTE *der, DWORD length);
std::array<BYTE, 20> sha1_of(const std::vector<BYTE> &der);

// The subject as CertNameToStr writes it with CERT_SIMPLE_NAME_STR, which is what
// CERT_FIND_SUBJECT_STR matches: attribute values only, in the certificate's order (most
// general first), RDNs joined by ", " and the values of one RDN by " + ", a value quoted
// ("" for ") when it has leading or trailing white space or one of , + = " \n < > # ;.
std::string subject_simple_text(const std::vector<BYTE> &der);
// The subject in the RFC 2253 one-line form (most specific first), for people to read.
std::string subject_text(const std::vector<BYTE> &der);
// ASCII case-insensitive substring test (other bytes compare exactly).
bool contains_ignoring_case(const std::string &haystack, const std::string &needle);
// The same with the needle in lower case already (ASCII letters only).
bool contains_lowered(const char *haystack, size_t size, const std::string &needle);

}  // namespace cryptoapi

#endif
