// Rows that wait in a portal until the client takes them, first in, first out.
// They are kept in the compact value form: in memory up to a bound counted in
// encoded bytes, and past it in an anonymous temporary file, so that a built-in
// sending millions of rows into a cursor costs disk, not memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "internal.h"

namespace qx {
namespace pg {

class HeldRows {
public:
    // As PostgreSQL's default work_mem.
    static constexpr size_t kDefaultMemoryBound = size_t{4} << 20;

    explicit HeldRows(size_t memory_bound = kDefaultMemoryBound) : bound_(memory_bound) {}
    ~HeldRows();
    HeldRows(const HeldRows &) = delete;
    HeldRows &operator=(const HeldRows &) = delete;

    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    // Whether rows are in a temporary file now.
    bool spilled() const { return fd_ >= 0; }

    // Appends a copy of a row. False with *error when it cannot be kept: 53100 when
    // the temporary file cannot be made or written, 54000 for a value nested too deep.
    // A failed push leaves the rows before it as they were.
    bool push(int n, const qx_value *values, SqlError *error);
    // Takes the first row into *values, which the caller frees. False with *error
    // (and no values) when it cannot be read back. Needs a row (!empty()).
    bool pop(std::vector<qx_value> *values, SqlError *error);
    // Drops every row and the temporary file.
    void clear();

private:
    bool create_file(SqlError *error);
    bool flush(SqlError *error);
    bool fill(size_t want, SqlError *error);

    size_t bound_;
    size_t count_ = 0;
    std::string encoded_;  // scratch for the row being pushed
    // In memory: encoded rows, read from memory_at_. Rows go here until they would
    // pass the bound; from then on, and until every row is taken, to the file.
    std::string memory_;
    size_t memory_at_ = 0;
    // In the file: bytes [file_read_, file_end_) of it, then those in write_buffer_
    // (not written yet). Bytes read from it wait in read_buffer_ from read_at_.
    int fd_ = -1;
    off_t file_end_ = 0, file_read_ = 0;
    std::string write_buffer_;
    std::string read_buffer_;
    size_t read_at_ = 0;
};

}  // namespace pg
}  // namespace qx
