// Server values decoded from BLOB bytes, which any SQL user can write: a value that
// decodes must format, copy, serialize back to the same bytes, go through the query
// compiler (which takes arbitrary trees) and be freed without a fault. The same
// bytes written as a BLOB literal must read back as exactly that BLOB.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "quendrix/query_tree.h"

namespace {

// The BLOB literal of the bytes, as the statement text gives it to SQLite, must
// stand for a BLOB of those same bytes: as they are, or serialized when they
// begin with the value marker.
void check_blob_literal(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string literal = "x'";
    for (size_t i = 0; i < size; ++i) {
        literal += digits[data[i] >> 4];
        literal += digits[data[i] & 15];
    }
    literal += '\'';
    std::string escaped = qx::escape_marked_blob_literals(literal);
    if (!qx::has_value_marker(data, size)) {
        if (escaped != literal) std::abort();
        return;
    }
    std::string bytes;
    for (size_t i = 2; i + 1 < escaped.size() - 1; i += 2)
        bytes += static_cast<char>(std::stoi(escaped.substr(i, 2), nullptr, 16));
    bool ok = false;
    qx_value v = qx::deserialize(bytes.data(), bytes.size(), &ok);
    if (!ok || qx_tag_of(v) != QX_TAG_BINARY || qx_length_of(v) != size ||
        std::memcmp(v, data, size) != 0)
        std::abort();
    qx_free(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_blob_literal(data, size);
    bool ok = false;
    qx_value v = qx::deserialize(data, size, &ok);
    if (!ok) return 0;

    std::string text;
    qx::format_value(text, v, false);
    qx::format_value(text, v, true);

    if (qx::serialize(v) != std::string(reinterpret_cast<const char *>(data), size)) std::abort();

    qx_value copy = qx_copy(v);
    if (qx::serialize(copy) != qx::serialize(v)) std::abort();
    qx_free_tree(copy);

    qx_value error = nullptr;
    qx_value sql = qx_query_text(v, &error);
    qx_free_tree(sql);
    qx_free_tree(error);

    qx_free_tree(v);
    return 0;
}
