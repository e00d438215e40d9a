// Held rows: a queue of encoded rows in memory, then in an anonymous temporary
// file that is written and read in large chunks. A row is its body's length (a
// varint), then the body: the number of values (a varint) and each value in the
// compact form.
#include "network/held_rows.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// How much the file is written and read at a time.
constexpr size_t kChunk = size_t{64} << 10;
// A row's length prefix takes at most this many bytes.
constexpr size_t kMaxPrefix = 10;

qx::SqlError write_failed(int err) {
    return {"53100", "", std::string("could not write to temporary file: ") + std::strerror(err)};
}

qx::SqlError read_failed(const std::string &why) {
    return {"58030", "", "could not read from temporary file: " + why};
}

void free_values(std::vector<qx_value> *values) {
    for (qx_value v : *values) qx_free_tree(v);
    values->clear();
}

// Decodes one row at *p, which ends before `end`, into *values.
bool decode_row(const unsigned char **p, const unsigned char *end, std::vector<qx_value> *values) {
    uint64_t length, n;
    if (!qx::read_varint(p, end, &length) || length > static_cast<uint64_t>(end - *p)) return false;
    const unsigned char *body_end = *p + length;
    if (!qx::read_varint(p, body_end, &n) || n > length) return false;
    values->reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        qx_value v;
        if (!qx::read_compact(p, body_end, &v)) {
            free_values(values);
            return false;
        }
        values->push_back(v);
    }
    if (*p != body_end) {
        free_values(values);
        return false;
    }
    return true;
}

}  // namespace

namespace qx {
namespace pg {

HeldRows::~HeldRows() {
    if (fd_ >= 0) close(fd_);
}

void HeldRows::clear() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    file_end_ = file_read_ = 0;
    count_ = 0;
    std::string().swap(memory_);
    std::string().swap(write_buffer_);
    std::string().swap(read_buffer_);
    memory_at_ = read_at_ = 0;
}

bool HeldRows::create_file(SqlError *error) {
    const char *env = std::getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
    // O_TMPFILE makes a file without a name; where the file system cannot, a named
    // file is unlinked at once. Either way nothing is left behind, even by a crash.
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string path = dir + "/quendrix-rows-XXXXXX";
        fd = mkostemp(&path[0], O_CLOEXEC);
        if (fd >= 0) unlink(path.c_str());
    }
    if (fd < 0) {
        *error = {"53100", "",
                  "could not create temporary file in " + dir + ": " + std::strerror(errno)};
        return false;
    }
    fd_ = fd;
    file_end_ = file_read_ = 0;
    return true;
}

bool HeldRows::flush(SqlError *error) {
    size_t done = 0;
    while (done < write_buffer_.size()) {
        ssize_t n = pwrite(fd_, write_buffer_.data() + done, write_buffer_.size() - done, file_end_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = write_failed(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(n);
        file_end_ += n;
    }
    write_buffer_.clear();
    return true;
}

bool HeldRows::push(int n, const qx_value *values, SqlError *error) {
    encoded_.clear();
    append_varint(encoded_, static_cast<uint64_t>(n));
    for (int i = 0; i < n; ++i) {
        if (!append_compact(encoded_, values[i])) {
            *error = {"54000", "",
                      "a result value nests more than " + std::to_string(kMaxValueDepth) +
                          " levels deep to be held for the client"};
            return false;
        }
    }
    size_t row = encoded_.size() + kMaxPrefix;
    if (fd_ < 0 && memory_.size() - memory_at_ + row <= bound_) {
        if (memory_at_ >= kChunk && memory_at_ >= memory_.size() / 2) {
            memory_.erase(0, memory_at_);
            memory_at_ = 0;
        }
        append_varint(memory_, encoded_.size());
        memory_ += encoded_;
    } else {
        if (fd_ < 0 && !create_file(error)) return false;
        append_varint(write_buffer_, encoded_.size());
        write_buffer_ += encoded_;
        // Past a failed write the file's end is unknown: the rows go with it.
        if (write_buffer_.size() >= kChunk && !flush(error)) {
            clear();
            return false;
        }
    }
    ++count_;
    return true;
}

bool HeldRows::fill(size_t want, SqlError *error) {
    if (read_at_ > 0 && (read_at_ == read_buffer_.size() || read_at_ >= kChunk)) {
        read_buffer_.erase(0, read_at_);
        read_at_ = 0;
    }
    while (read_buffer_.size() - read_at_ < want) {
        if (file_read_ < file_end_) {
            size_t chunk = std::max(kChunk, want - (read_buffer_.size() - read_at_));
            chunk = std::min(chunk, static_cast<size_t>(file_end_ - file_read_));
            size_t old = read_buffer_.size();
            read_buffer_.resize(old + chunk);
            ssize_t n;
            do {
                n = pread(fd_, &read_buffer_[old], chunk, file_read_);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                read_buffer_.resize(old);
                *error = read_failed(n < 0 ? std::strerror(errno) : "the file is shorter than written");
                return false;
            }
            read_buffer_.resize(old + static_cast<size_t>(n));
            file_read_ += n;
        } else if (!write_buffer_.empty()) {
            // Not written yet: these bytes come straight from the buffer, and the
            // file goes on where its written part ends.
            read_buffer_ += write_buffer_;
            write_buffer_.clear();
        } else {
            break;  // fewer bytes than wanted: the caller's decoding tells
        }
    }
    return true;
}

bool HeldRows::pop(std::vector<qx_value> *values, SqlError *error) {
    values->clear();
    bool ok;
    if (memory_at_ < memory_.size()) {
        const auto *start = reinterpret_cast<const unsigned char *>(memory_.data());
        const unsigned char *p = start + memory_at_;
        ok = decode_row(&p, start + memory_.size(), values);
        memory_at_ = static_cast<size_t>(p - start);
        // Rows in the file follow: what memory held is done with.
        if (ok && fd_ >= 0 && memory_at_ == memory_.size()) {
            std::string().swap(memory_);
            memory_at_ = 0;
        }
    } else {
        if (!fill(kMaxPrefix, error)) return false;
        const auto *start = reinterpret_cast<const unsigned char *>(read_buffer_.data());
        const unsigned char *p = start + read_at_, *end = start + read_buffer_.size();
        uint64_t length = 0;
        ok = read_varint(&p, end, &length) && length <= QX_MAX_LENGTH * uint64_t{1024};
        if (ok) {
            size_t whole = static_cast<size_t>(p - (start + read_at_)) + length;
            if (!fill(whole, error)) return false;
            start = reinterpret_cast<const unsigned char *>(read_buffer_.data());
            p = start + read_at_;
            ok = decode_row(&p, start + read_buffer_.size(), values);
            read_at_ = static_cast<size_t>(p - start);
        }
    }
    if (!ok) {
        clear();
        *error = read_failed("a held row is damaged");
        return false;
    }
    if (--count_ == 0) clear();
    return true;
}

}  // namespace pg
}  // namespace qx
