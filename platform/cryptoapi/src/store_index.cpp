#include "store_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>
#include <new>
#include <sstream>

#include "cert_properties.h"

namespace cryptoapi {

namespace {

// Version 2: the subject field holds the simple-name form that subject search matches.
// Version 3: lines are checksummed eight bytes at a time. A log of an older version is
// not an index any more and is rebuilt from the files.
constexpr const char *kLogHeader = "cryptoapi-store-index 3";
// Stamp version 2 adds a hash of the whole log, so that a stamped log is checked in one
// fast pass instead of line by line; a version 1 stamp is still read, and its log checked
// line by line.
constexpr const char *kStampMagic = "cryptoapi-store-stamp";
constexpr const char *kStampHeader = "cryptoapi-store-stamp 2";

std::string index_dir(const std::string &dir) { return dir + "/.index"; }
std::string log_path(const std::string &dir) { return dir + "/.index/entries"; }
std::string stamp_path(const std::string &dir) { return dir + "/.index/stamp"; }
std::string lock_path(const std::string &dir) { return dir + "/.index/lock"; }

std::string sequence_path(const std::string &dir, unsigned sequence, const char *suffix) {
    char name[32];
    std::snprintf(name, sizeof name, "/%08u%s", sequence, suffix);
    return dir + name;
}

std::string checked_line(const std::string &body) {
    char sum[24];
    std::snprintf(sum, sizeof sum, " %016llx\n", index_line_checksum(body.data(), body.size()));
    return body + sum;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Checks the line [begin, end) (without its newline); its part before the sum is
// [begin, *body_end).
bool check_line(const char *begin, const char *end, const char **body_end) {
    if (end - begin < 18 || end[-17] != ' ') return false;
    unsigned long long sum = 0;
    for (const char *p = end - 16; p < end; ++p) {
        int v = nibble(*p);
        if (v < 0) return false;
        sum = sum << 4 | static_cast<unsigned>(v);
    }
    *body_end = end - 17;
    return sum == index_line_checksum(begin, static_cast<size_t>(end - 17 - begin));
}

bool check_line(const std::string &line, std::string &body) {
    size_t end = line.size();
    if (end > 0 && line[end - 1] == '\n') --end;
    const char *body_end = nullptr;
    if (!check_line(line.data(), line.data() + end, &body_end)) return false;
    body.assign(line.data(), body_end);
    return true;
}

// A digit of either case, as encode_value writes and decode_value reads them.
int hex_digit(char c) {
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return nibble(c);
}

// A field of a record: [begin, end) of the log text, parsed in place.
struct Field {
    const char *begin = nullptr, *end = nullptr;
    size_t size() const { return static_cast<size_t>(end - begin); }
    bool is(const char *word) const { return size() == std::strlen(word) && std::memcmp(begin, word, size()) == 0; }
};

bool unhex(const Field &text, BYTE *out, size_t n) {
    if (text.size() != 2 * n) return false;
    for (size_t i = 0; i < n; ++i) {
        int hi = nibble(text.begin[2 * i]), lo = nibble(text.begin[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<BYTE>(hi * 16 + lo);
    }
    return true;
}

bool parse_number(const Field &text, unsigned long long &out) {
    if (text.size() == 0 || text.size() > 19) return false;
    out = 0;
    for (const char *p = text.begin; p < text.end; ++p) {
        if (*p < '0' || *p > '9') return false;
        out = out * 10 + static_cast<unsigned>(*p - '0');
    }
    return true;
}

// Text fields start with ':' so that an empty one is still a field.
std::string text_field(const std::string &value) { return ":" + encode_value(value); }

// Whether a text field holds only the escapes encode_value writes (checked, not decoded).
bool valid_text_field(const Field &field) {
    if (field.size() == 0 || *field.begin != ':') return false;
    for (const char *p = field.begin + 1; p < field.end;) {
        const char *escape = static_cast<const char *>(std::memchr(p, '%', static_cast<size_t>(field.end - p)));
        if (escape == nullptr) break;
        if (field.end - escape <= 2 || hex_digit(escape[1]) < 0 || hex_digit(escape[2]) < 0) return false;
        p = escape + 3;
    }
    return true;
}

// Decodes a text field that valid_text_field accepted.
void decode_text_field(const Field &field, std::string &out) {
    out.clear();
    for (const char *p = field.begin + 1; p < field.end;) {
        const char *escape = static_cast<const char *>(std::memchr(p, '%', static_cast<size_t>(field.end - p)));
        if (escape == nullptr) {
            out.append(p, field.end);
            break;
        }
        out.append(p, escape);
        out += static_cast<char>(hex_digit(escape[1]) * 16 + hex_digit(escape[2]));
        p = escape + 3;
    }
}

std::string entry_body(const CertEntry &e) {
    std::ostringstream out;
    out << "E " << e.sequence << ' ' << e.der_inode << ' ' << e.der_size << ' ' << lower_hex(e.sha1.data(), 20) << ' '
        << e.props_inode << ' ' << text_field(e.subject) << ' ' << text_field(format_properties(e));
    return out.str();
}

// Splits [begin, end) at spaces into at most `max` fields; false if there are more.
bool split(const char *begin, const char *end, Field *fields, size_t max, size_t &count) {
    count = 0;
    for (const char *p = begin;;) {
        const char *space = static_cast<const char *>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
        if (count == max) return false;
        fields[count++] = {p, space == nullptr ? end : space};
        if (space == nullptr) return true;
        p = space + 1;
    }
}

// A record of the log, parsed in place:
//   E <sequence> <der inode> <der size> <sha1> <props inode> :<subject> :<properties>
//   D <sequence>
enum class RecordKind { Entry, Removal, Invalid };

struct Record {
    EntrySummary summary;
    Field subject, properties;
};

// Checks every field, so that an entry made later from a record that passed cannot fail.
RecordKind parse_record(const char *begin, const char *end, Record &r) {
    Field f[8];
    size_t n = 0;
    if (!split(begin, end, f, 8, n)) return RecordKind::Invalid;
    unsigned long long seq, der_inode, der_size, props_inode;
    if (n == 2 && f[0].is("D") && parse_number(f[1], seq) && seq <= 99999999) {
        r.summary.sequence = static_cast<unsigned>(seq);
        return RecordKind::Removal;
    }
    if (n != 8 || !f[0].is("E") || !parse_number(f[1], seq) || seq > 99999999 || !parse_number(f[2], der_inode) ||
        !parse_number(f[3], der_size) || der_size > 0xFFFFFFFFull || !parse_number(f[5], props_inode) ||
        !unhex(f[4], r.summary.sha1.data(), 20) || !valid_text_field(f[6]) || !valid_text_field(f[7]))
        return RecordKind::Invalid;
    r.summary.sequence = static_cast<unsigned>(seq);
    r.summary.der_inode = der_inode;
    r.summary.der_size = static_cast<DWORD>(der_size);
    r.summary.props_inode = props_inode;
    r.subject = f[6];
    r.properties = f[7];
    return RecordKind::Entry;
}

// The length of a line's checksum with the space before it.
constexpr size_t kChecksumSuffix = 17;

// The log replayed: the last record of each sequence wins, a removal drops it. The
// entries are in sequence order and stay records of `text` until they are asked for.
struct Log {
    EntryList entries;
    size_t records = 0;
    bool complete = true;  // no partial last line
};

// The kind and sequence of a record from its head ("E <sequence> ..." or "D <sequence>");
// the rest of an entry record is parsed when its entry is made.
RecordKind record_head(const char *begin, const char *end, unsigned &sequence) {
    if (end - begin < 3 || begin[1] != ' ') return RecordKind::Invalid;
    RecordKind kind = begin[0] == 'E' ? RecordKind::Entry : begin[0] == 'D' ? RecordKind::Removal : RecordKind::Invalid;
    const char *p = begin + 2;
    unsigned long long seq = 0;
    for (; p < end && *p >= '0' && *p <= '9' && p - begin < 11; ++p) seq = seq * 10 + static_cast<unsigned>(*p - '0');
    if (p == begin + 2 || seq > 99999999) return RecordKind::Invalid;
    // A removal is its head alone; an entry goes on after a space.
    if (kind == RecordKind::Removal ? p != end : p == end || *p != ' ') return RecordKind::Invalid;
    sequence = static_cast<unsigned>(seq);
    return kind;
}

// false: not an index, or a damaged record (the whole log is then distrusted).
// `hashed`: the whole text matched the stamp's hash, so the line checksums need no check.
bool parse_log(const std::string &dir, const std::shared_ptr<const IndexText> &shared_text, Log &log,
               bool hashed = false) {
    const IndexText &text = *shared_text;
    const char *text_begin = text.data(), *text_end = text_begin + text.size;
    const char *header_end = static_cast<const char *>(std::memchr(text_begin, '\n', text.size));
    const size_t header_size = std::strlen(kLogHeader);
    if (header_end == nullptr || static_cast<size_t>(header_end - text_begin) != header_size ||
        std::memcmp(text_begin, kLogHeader, header_size) != 0)
        return false;
    const char *pos = header_end + 1;
    // Where each record is; a removal has length 0.
    struct Line {
        size_t offset;
        unsigned length;
        unsigned sequence;
    };
    constexpr size_t kShortestEntryLine = 64;
    std::vector<Line> lines;
    lines.reserve(static_cast<size_t>(text_end - pos) / kShortestEntryLine + 1);
    while (pos < text_end) {
        const char *end = static_cast<const char *>(std::memchr(pos, '\n', static_cast<size_t>(text_end - pos)));
        if (end == nullptr) {
            log.complete = false;  // a record being appended, or cut short by a crash
            break;
        }
        const char *body_end = end - kChecksumSuffix;
        unsigned sequence = 0;
        if (end - pos > 0xFFFFFFF || end - pos < 18 || (!hashed && !check_line(pos, end, &body_end))) return false;
        RecordKind kind = record_head(pos, body_end, sequence);
        if (kind == RecordKind::Invalid) return false;
        lines.push_back({static_cast<size_t>(pos - text_begin),
                         kind == RecordKind::Removal ? 0u : static_cast<unsigned>(end - pos), sequence});
        ++log.records;
        pos = end + 1;
    }
    // A log written whole is in sequence order; appended records may come out of order or
    // repeat a sequence, and then the last record of a sequence is the one that counts.
    bool ordered = true;
    for (size_t i = 1; i < lines.size() && ordered; ++i) ordered = lines[i - 1].sequence < lines[i].sequence;
    if (!ordered)
        std::stable_sort(lines.begin(), lines.end(),
                         [](const Line &a, const Line &b) { return a.sequence < b.sequence; });
    log.entries.set_source(dir, shared_text);
    log.entries.reserve(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size() && lines[i + 1].sequence == lines[i].sequence) continue;
        if (lines[i].length != 0) log.entries.add_record(lines[i].sequence, lines[i].offset, lines[i].length);
    }
    return true;
}

struct Stamp {
    unsigned long long dir_inode = 0, entries_inode = 0, entries_size = 0;
    unsigned long long mtime_sec = 0, mtime_nsec = 0;
    bool has_hash = false;  // version 2
    unsigned long long entries_hash = 0;
};

bool read_stamp(const std::string &dir, Stamp &s) {
    std::string text;
    if (!read_file_expecting(stamp_path(dir), 120, text)) return false;
    std::string body;
    if (!check_line(text, body)) return false;
    Field f[9];
    size_t n = 0;
    if (!split(body.data(), body.data() + body.size(), f, 9, n) || n < 7 || !f[0].is(kStampMagic)) return false;
    if (f[1].is("1"))
        s.has_hash = false;
    else if (f[1].is("2") && n == 8)
        s.has_hash = true;
    else
        return false;
    if (n != (s.has_hash ? 8u : 7u)) return false;
    unsigned long long *numbers[] = {&s.dir_inode, &s.mtime_sec, &s.mtime_nsec, &s.entries_inode, &s.entries_size};
    for (size_t i = 0; i < 5; ++i)
        if (!parse_number(f[2 + i], *numbers[i])) return false;
    if (s.has_hash) {
        BYTE hash[8];
        if (!unhex(f[7], hash, 8)) return false;
        s.entries_hash = 0;
        for (BYTE b : hash) s.entries_hash = s.entries_hash << 8 | b;
    }
    return true;
}

bool same_mtime(const Stamp &s, const struct stat &st) {
    return st.st_mtim.tv_sec >= 0 && s.dir_inode == st.st_ino &&
           s.mtime_sec == static_cast<unsigned long long>(st.st_mtim.tv_sec) &&
           s.mtime_nsec == static_cast<unsigned long long>(st.st_mtim.tv_nsec);
}

// Reads `size` bytes from the start of the file; with `exact` false, fewer if the file
// ends before.
bool read_start(int fd, size_t size, char *out, size_t &done, bool exact) {
    done = 0;
    while (done < size) {
        ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return !exact;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_exactly(int fd, size_t size, std::string &out) {
    out.resize(size);
    size_t done = 0;
    return read_start(fd, size, &out[0], done, true);
}

// The index log as it is now (its size when opened, or less if it shrinks meanwhile).
bool read_log(const std::string &dir, IndexText &text, const unsigned long long *expected_inode = nullptr,
              const unsigned long long *expected_size = nullptr) {
    int fd = open(log_path(dir).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              (expected_inode == nullptr || st.st_ino == *expected_inode) &&
              (expected_size == nullptr || static_cast<unsigned long long>(st.st_size) == *expected_size);
    if (ok) {
        text.bytes.reset(new char[static_cast<size_t>(st.st_size) + 1]);
        ok = read_start(fd, static_cast<size_t>(st.st_size), text.bytes.get(), text.size, expected_size != nullptr);
    }
    close(fd);
    return ok;
}

// The log when it must hold exactly `size` bytes, in one read: a read of a regular file
// that does not fill its buffer (one byte more than expected) has reached its end.
// Whatever file is there, its bytes are then checked against the stamp's hash, so its
// inode need not be; a FIFO or device gives no bytes or too many.
bool read_log_of_size(const std::string &dir, IndexText &text, unsigned long long size) {
    if (size >= static_cast<unsigned long long>(SSIZE_MAX)) return false;
    int fd = open(log_path(dir).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    const size_t want = static_cast<size_t>(size) + 1;
    text.bytes.reset(new (std::nothrow) char[want]);  // the size is the stamp's word
    if (!text.bytes) {
        close(fd);
        return false;
    }
    ssize_t n;
    do
        n = read(fd, text.bytes.get(), want);
    while (n < 0 && errno == EINTR);
    close(fd);
    text.size = n > 0 ? static_cast<size_t>(n) : 0;
    return n >= 0 && static_cast<unsigned long long>(n) == size;
}

// The stamped log, if the folder has not changed since the stamp was written.
// `read`, if given, receives the log's text when it is used.
bool load_stamped(const std::string &dir, EntryList &out, const struct stat *given_dir_st = nullptr,
                  std::shared_ptr<const IndexText> *read = nullptr) {
    struct stat dir_st;
    if (given_dir_st != nullptr)
        dir_st = *given_dir_st;
    else if (stat(dir.c_str(), &dir_st) != 0)
        return false;
    Stamp stamp;
    if (!read_stamp(dir, stamp) || !same_mtime(stamp, dir_st)) return false;
    auto text = std::make_shared<IndexText>();
    Log log;
    if (stamp.has_hash ? !read_log_of_size(dir, *text, stamp.entries_size)
                       : !read_log(dir, *text, &stamp.entries_inode, &stamp.entries_size))
        return false;
    bool hashed = stamp.has_hash && index_text_hash(text->data(), text->size) == stamp.entries_hash;
    if (stamp.has_hash && !hashed) return false;
    if (!parse_log(dir, text, log, hashed) || !log.complete) return false;
    out = std::move(log.entries);
    if (read != nullptr && hashed) *read = std::move(text);
    return true;
}

// The certificate and property files of a store folder, by sequence, with their inodes.
struct Listing {
    std::map<unsigned, unsigned long long> der, props;
};

Listing list_store(const std::string &dir) {
    Listing l;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return l;
    while (struct dirent *e = readdir(d)) {
        const char *name = e->d_name;
        size_t len = std::strlen(name);
        if (len < 12) continue;
        bool digits = true;
        for (int i = 0; i < 8; ++i) digits = digits && name[i] >= '0' && name[i] <= '9';
        if (!digits) continue;
        unsigned seq = static_cast<unsigned>(std::strtoul(std::string(name, 8).c_str(), nullptr, 10));
        if (std::strcmp(name + 8, ".der") == 0) l.der[seq] = e->d_ino;
        if (std::strcmp(name + 8, ".props") == 0) l.props[seq] = e->d_ino;
    }
    closedir(d);
    return l;
}

int open_lock(const std::string &dir) {
    if (mkdir(index_dir(dir).c_str(), 0700) != 0 && errno != EEXIST) return -1;
    int fd = open(lock_path(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Writes the log of `entries`; gives the hash of what it wrote.
unsigned long long write_log(const std::string &dir, const EntryList &entries) {
    std::string text = std::string(kLogHeader) + "\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const char *line = nullptr;
        size_t length = 0;
        if (entries.record_line(i, line, length)) {
            text.append(line, length);  // a record still true is kept as it is
            text += '\n';
        } else {
            text += checked_line(entry_body(*entries.made(i)));
        }
    }
    unsigned long long hash = index_text_hash(text.data(), text.size());
    write_file_atomic(log_path(dir), text, 0600);
    return hash;
}

// `log_hash`: of the log as it is on disk (the writer holds the lock, so it stays so).
void write_stamp(const std::string &dir, const struct stat &dir_st, unsigned long long log_hash) {
    struct stat log_st;
    if (stat(log_path(dir).c_str(), &log_st) != 0) return;
    char hash[24];
    std::snprintf(hash, sizeof hash, "%016llx", log_hash);
    std::ostringstream body;
    body << kStampHeader << ' ' << dir_st.st_ino << ' ' << dir_st.st_mtim.tv_sec << ' ' << dir_st.st_mtim.tv_nsec
         << ' ' << log_st.st_ino << ' ' << log_st.st_size << ' ' << hash;
    write_file_atomic(stamp_path(dir), checked_line(body.str()), 0600);
}

// Reads the log and the folder listing, keeps the records whose files are the ones
// listed, reads the rest from their files, and (holding the lock) writes the result back.
EntryList load_checked(const std::string &dir, bool lock_held) {
    int lock = lock_held ? -1 : open_lock(dir);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct stat dir_st;
    bool dir_ok = stat(dir.c_str(), &dir_st) == 0;
    auto text = std::make_shared<IndexText>();
    Log log;
    bool log_ok = read_log(dir, *text) && parse_log(dir, text, log);
    if (!log_ok) log = Log{};
    Listing listing = list_store(dir);

    EntryList entries;
    entries.set_source(dir, text);
    bool changed = !log_ok || !log.complete;
    // Both the listing and the log are in sequence order: one walk pairs them.
    size_t next_record = 0, used_records = 0;
    for (const auto &[seq, der_inode] : listing.der) {
        auto props = listing.props.find(seq);
        unsigned long long props_inode = props == listing.props.end() ? 0 : props->second;
        while (next_record < log.entries.size() && log.entries.sequence(next_record) < seq) ++next_record;
        if (next_record < log.entries.size() && log.entries.sequence(next_record) == seq) {
            size_t k = next_record++;
            ++used_records;
            EntrySummary rec = log.entries.summary(k);
            const char *line = nullptr;
            size_t length = 0;
            if (rec.der_inode == der_inode && rec.props_inode == props_inode &&
                log.entries.record_line(k, line, length)) {
                entries.add_record(seq, static_cast<size_t>(line - text->data()), length);
                continue;
            }
        }
        changed = true;
        if (auto e = read_entry_files(dir, seq)) entries.push_back(e);
    }
    if (used_records != log.entries.size()) changed = true;  // records of files that are gone

    if (lock >= 0 || lock_held) {
        // Rewritten when it differs from the folder, or when removals and property
        // changes have made the log much longer than what it describes.
        unsigned long long log_hash = changed || log.records > 2 * entries.size() + 64
                                          ? write_log(dir, entries)
                                          : index_text_hash(text->data(), text->size);
        if (dir_ok && settled(now, dir_st.st_mtim))
            write_stamp(dir, dir_st, log_hash);
        else
            unlink(stamp_path(dir).c_str());
        if (lock >= 0) close(lock);
    }
    return entries;
}

bool read_with_inode(const std::string &path, std::string &out, unsigned long long &inode) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_exactly(fd, static_cast<size_t>(st.st_size), out);
    close(fd);
    inode = st.st_ino;
    return ok;
}

}  // namespace

std::string lower_hex(const BYTE *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

unsigned long long index_line_checksum(const char *data, size_t size) {
    // Eight bytes per step: each step is one-to-one in the running value and in the
    // word, so any change to one word changes the sum; the length is mixed in last.
    const unsigned long long k = 0x9E3779B97F4A7C15ull;
    unsigned long long h = 0x243F6A8885A308D3ull;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        unsigned long long w;
        std::memcpy(&w, data + i, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
    }
    unsigned long long tail = 0;
    for (size_t j = 0; i + j < size; ++j) tail |= static_cast<unsigned long long>(static_cast<unsigned char>(data[i + j])) << (8 * j);
    h = (h ^ tail) * k;
    h ^= h >> 29;
    h = (h ^ size) * k;
    return h ^ (h >> 32);
}

unsigned long long index_text_hash(const char *data, size_t size) {
    // Four lanes of the line checksum's step, independent of each other so that they run
    // side by side: each step is one-to-one in its lane and in its word, so any change to
    // one word changes its lane; the lanes and the length are then folded one-to-one.
    const unsigned long long k = 0x9E3779B97F4A7C15ull;
    unsigned long long lane[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                                  0x082EFA98EC4E6C89ull};
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int j = 0; j < 4; ++j) {
            unsigned long long w;
            std::memcpy(&w, data + i + 8 * j, 8);
            lane[j] = (lane[j] ^ w) * k;
            lane[j] ^= lane[j] >> 29;
        }
    }
    unsigned long long h = lane[0];
    for (int j = 1; j < 4; ++j) {
        h = (h ^ lane[j]) * k;
        h ^= h >> 29;
    }
    return h ^ index_line_checksum(data + i, size - i) ^ (size * k);
}

std::string index_log_header() { return kLogHeader; }

namespace {

// Parses a copy of `text` as an index log (for callers that hold the log as a string).
bool parse_log_text(const std::string &text, Log &log) {
    auto copy = std::make_shared<IndexText>();
    copy->bytes.reset(new char[text.size() + 1]);
    std::memcpy(copy->bytes.get(), text.data(), text.size());
    copy->size = text.size();
    return parse_log("", copy, log);
}

}  // namespace

bool parse_index_log(const std::string &text, std::vector<std::shared_ptr<CertEntry>> &entries,
                     bool &complete) {
    Log log;
    if (!parse_log_text(text, log)) return false;
    for (size_t i = 0; i < log.entries.size(); ++i) entries.push_back(log.entries.at(i));
    complete = log.complete;
    return true;
}

bool index_log_subjects(const std::string &text, std::vector<std::string> &subjects) {
    Log log;
    if (!parse_log_text(text, log)) return false;
    std::string scratch;
    for (size_t i = 0; i < log.entries.size(); ++i) subjects.push_back(log.entries.subject(i, scratch));
    return true;
}

const std::shared_ptr<CertEntry> &EntryList::at(size_t i) {
    Slot &slot = slots_[i];
    if (slot.entry) return slot.entry;
    const char *line = text_->data() + slot.offset;
    Record r;
    if (parse_record(line, line + slot.length - kChecksumSuffix, r) != RecordKind::Entry ||
        r.summary.sequence != slot.sequence) {
        // Whole, but not a record this library writes: the files tell what the entry is
        // (none, if they are gone).
        auto e = dir_.empty() ? nullptr : read_entry_files(dir_, slot.sequence);
        if (!e) {
            e = std::make_shared<CertEntry>();
            e->sequence = slot.sequence;
            e->removed = true;
        }
        slot.entry = std::move(e);
        return slot.entry;
    }
    auto e = std::make_shared<CertEntry>();
    e->sequence = r.summary.sequence;
    e->der_inode = r.summary.der_inode;
    e->der_size = r.summary.der_size;
    e->sha1 = r.summary.sha1;
    e->props_inode = r.summary.props_inode;
    decode_text_field(r.subject, e->subject);
    if (r.properties.size() > 1) {
        std::string props;
        decode_text_field(r.properties, props);
        parse_properties(props, *e);
    }
    slot.entry = std::move(e);
    return slot.entry;
}

const std::string &EntryList::subject(size_t i, std::string &scratch) {
    const Slot &slot = slots_[i];
    if (slot.entry) return slot.entry->subject;
    // The subject is the next to last field, and no field holds a space: it is found
    // from the end of the line without reading the fields before it, and checked and
    // decoded in one pass (this runs for every record a find passes).
    const char *line = text_->data() + slot.offset, *body_end = line + slot.length - kChecksumSuffix;
    const char *last = body_end;
    while (last > line && last[-1] != ' ') --last;
    if (last - line < 2) return at(i)->subject;
    const char *begin = last - 1;  // the space before the properties
    while (begin > line && begin[-1] != ' ') --begin;
    if (begin == line || *begin != ':') return at(i)->subject;
    const char *end = last - 1;
    scratch.resize(static_cast<size_t>(end - begin));
    char *out = &scratch[0];
    for (const char *p = begin + 1; p < end; ++p) {
        if (*p != '%') {
            *out++ = *p;
            continue;
        }
        int hi = end - p > 2 ? hex_digit(p[1]) : -1, lo = hi >= 0 ? hex_digit(p[2]) : -1;
        if (lo < 0) return at(i)->subject;
        *out++ = static_cast<char>(hi * 16 + lo);
        p += 2;
    }
    scratch.resize(static_cast<size_t>(out - &scratch[0]));
    return scratch;
}

EntrySummary EntryList::summary(size_t i) {
    const Slot &slot = slots_[i];
    if (!slot.entry) {
        const char *line = text_->data() + slot.offset;
        Record r;
        if (parse_record(line, line + slot.length - kChecksumSuffix, r) == RecordKind::Entry &&
            r.summary.sequence == slot.sequence)
            return r.summary;
    }
    const CertEntry &e = *at(i);
    return {e.sequence, e.der_size, e.sha1, e.der_inode, e.props_inode, e.removed};
}

bool EntryList::record_line(size_t i, const char *&line, size_t &length) const {
    const Slot &slot = slots_[i];
    if (slot.entry) return false;
    line = text_->data() + slot.offset;
    length = slot.length;
    return true;
}

void EntryList::push_back(std::shared_ptr<CertEntry> entry) {
    Slot slot;
    slot.sequence = entry->sequence;
    slot.entry = std::move(entry);
    slots_.push_back(std::move(slot));
}

void EntryList::add_record(unsigned sequence, size_t offset, size_t length) {
    Slot slot;
    slot.offset = offset;
    slot.length = static_cast<unsigned>(length);
    slot.sequence = sequence;
    slots_.push_back(std::move(slot));
}

std::shared_ptr<CertEntry> read_entry_files(const std::string &dir, unsigned sequence) {
    auto e = std::make_shared<CertEntry>();
    e->sequence = sequence;
    std::string der;
    if (!read_with_inode(sequence_path(dir, sequence, ".der"), der, e->der_inode)) return nullptr;
    e->der.assign(der.begin(), der.end());
    // A damaged file is passed over rather than making the whole store unusable (see
    // damaged_certificate_files for those who must report it).
    if (!is_certificate(e->der.data(), static_cast<DWORD>(e->der.size()))) return nullptr;
    e->der_size = static_cast<DWORD>(e->der.size());
    e->sha1 = sha1_of(e->der);
    e->subject = subject_simple_text(e->der);
    std::string props;
    if (read_with_inode(sequence_path(dir, sequence, ".props"), props, e->props_inode))
        parse_properties(props, *e);
    else
        e->props_inode = 0;
    return e;
}

EntryList load_indexed_entries(const std::string &dir, const FileLook *look,
                               std::shared_ptr<const IndexText> kept) {
    EntryList entries;
    if (!kept && look != nullptr) kept = recall_store_log(dir, *look);
    if (kept) {
        // A log read before is whole and was checked against its stamp's hash then.
        Log log;
        if (parse_log(dir, kept, log, true) && log.complete) return std::move(log.entries);
    }
    std::shared_ptr<const IndexText> text;
    if (load_stamped(dir, entries, look != nullptr ? &look->st : nullptr, &text)) {
        if (look != nullptr) remember_store(dir, *look, std::move(text));
        return entries;
    }
    return load_checked(dir, false);
}

std::vector<std::string> damaged_certificate_files(const std::string &dir) {
    std::vector<std::string> damaged;
    for (const auto &[seq, inode] : list_store(dir).der) {
        (void)inode;
        std::string path = sequence_path(dir, seq, ".der"), data;
        unsigned long long ignored;
        if (!read_with_inode(path, data, ignored) ||
            !is_certificate(reinterpret_cast<const BYTE *>(data.data()), static_cast<DWORD>(data.size())))
            damaged.push_back(path);
    }
    return damaged;
}

IndexChange::IndexChange(const std::string &dir) : dir_(dir), lock_fd_(open_lock(dir)) {
    forget_store(dir_);
    if (lock_fd_ >= 0) unlink(stamp_path(dir_).c_str());
}

IndexChange::IndexChange(const std::string &dir, EntryList &current) : dir_(dir), lock_fd_(open_lock(dir)) {
    forget_store(dir_);
    EntryList entries;
    if (load_stamped(dir_, entries))
        current = std::move(entries);
    else
        current = load_checked(dir_, lock_fd_ >= 0);
    if (lock_fd_ >= 0) unlink(stamp_path(dir_).c_str());
}

IndexChange::~IndexChange() {
    if (lock_fd_ >= 0) close(lock_fd_);
}

void IndexChange::record_entry(CertEntry &entry) {
    struct stat st;
    entry.der_inode = stat(sequence_path(dir_, entry.sequence, ".der").c_str(), &st) == 0 ? st.st_ino : 0;
    entry.props_inode = stat(sequence_path(dir_, entry.sequence, ".props").c_str(), &st) == 0 ? st.st_ino : 0;
    append(entry_body(entry));
}

void IndexChange::record_removal(unsigned sequence) { append("D " + std::to_string(sequence)); }

void IndexChange::append(const std::string &body) {
    if (lock_fd_ < 0) return;
    // Without a log there is nothing to add to: the next open rebuilds it from the files.
    int fd = open(log_path(dir_).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    std::string line = checked_line(body);
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        // A short record would end the log's trusted part: drop the log instead.
        unlink(log_path(dir_).c_str());
    }
    close(fd);
}

}  // namespace cryptoapi
