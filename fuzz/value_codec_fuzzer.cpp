// Server values decoded from BLOB bytes, which any SQL user can write: a value that
// decodes must format, copy, serialize back to the same bytes, go through the query
// compiler (which takes arbitrary trees) and be freed without a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "internal.h"
#include "quendrix/query_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
