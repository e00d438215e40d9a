// The index of a certificate store folder, so that opening a large store does not read
// and parse every certificate file.
//
//   STORE/.index/entries   a log of entry records (one line each, each with a checksum):
//                          written whole when rebuilt, appended to by every change
//   STORE/.index/stamp     "the log describes the folder as of its modification time M"
//   STORE/.index/lock      serialises index writers (flock)
//
// The files of the store stay what they mean without an index. The index lives in a
// subfolder so that writing it does not touch the store folder's modification time,
// which every change of a certificate or property file does: when the folder's time is
// still the stamped one, the log is used as it is; otherwise (or without a valid stamp)
// the log is checked against the folder's listing, by file name and inode, and the
// entries that differ are read from their files. A stamp is written only when the folder
// time is old enough that a later change cannot carry the same time.
#ifndef CRYPTOAPI_STORE_INDEX_H
#define CRYPTOAPI_STORE_INDEX_H

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "cert_store.h"
#include "store_snapshots.h"

namespace cryptoapi {

// The entries of an existing store folder in sequence order, from what this process
// read of it before if the folder is unchanged since, else from its index where that can
// be trusted and from the files otherwise. Keeps the index up to date when it can.
// `look`, if given, is the folder's stat taken just before; `kept`, if given, the log
// this process read before, already found to match it.
EntryList load_indexed_entries(const std::string &dir, const FileLook *look = nullptr,
                               std::shared_ptr<const IndexText> kept = nullptr);

// The entries an index log text describes, in sequence order, each made from its record;
// false when the text is no index log or holds a damaged record. `complete` tells
// whether its last line is whole.
bool parse_index_log(const std::string &text, std::vector<std::shared_ptr<CertEntry>> &entries,
                     bool &complete);

// The subjects of the same entries as a find reads them, from their records without
// making the entries (for checking that both readings agree).
bool index_log_subjects(const std::string &text, std::vector<std::string> &subjects);

// Bytes as lower-case hex digits, two a byte (how SHA-1 hashes are written to disk).
std::string lower_hex(const BYTE *data, size_t n);

// The checksum each line of an index log ends with (as 16 hex digits after a space),
// of the line before it; and the log's first line.
unsigned long long index_line_checksum(const char *data, size_t size);
std::string index_log_header();
// The hash of a whole index log that a stamp records (any one changed 8-byte word of it
// changes the hash), computed several words at a time.
unsigned long long index_text_hash(const char *data, size_t size);

// Reads one certificate and its properties from their files into a fresh entry
// (nullptr if the certificate file is missing or not a certificate).
std::shared_ptr<CertEntry> read_entry_files(const std::string &dir, unsigned sequence);

// The certificate files of a store folder that are unreadable or no certificate (the
// entries skip them).
std::vector<std::string> damaged_certificate_files(const std::string &dir);

// Holds the index writers' lock of a store folder for a change. Before the change it
// voids the stamp; record_entry/record_removal then log what was changed. Without the
// lock (a folder we cannot write to) nothing is logged, and the next open reads the
// folder itself.
class IndexChange {
public:
    explicit IndexChange(const std::string &dir);
    // Also gives the store's entries as they are now, read under the lock, so that a
    // decision on them (is this certificate there already?) holds until the change ends.
    IndexChange(const std::string &dir, EntryList &current);
    ~IndexChange();
    IndexChange(const IndexChange &) = delete;
    IndexChange &operator=(const IndexChange &) = delete;

    // The entry as it is now on disk; its file inodes are taken from the files.
    void record_entry(CertEntry &entry);
    void record_removal(unsigned sequence);

private:
    void append(const std::string &line);
    std::string dir_;
    int lock_fd_ = -1;
};

}  // namespace cryptoapi

#endif
