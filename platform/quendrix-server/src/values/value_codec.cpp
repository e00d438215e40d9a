// Serialization of server values into bytes, so that a value keeps its type and
// contents when it travels through SQLite as a BLOB (between two built-ins, or
// stored in a table and read back).
//
// Layout: an 8-byte marker, then one node. A node is
//   'i' int64                         an integer (inline or boxed)
//   'v' tag u32-length bytes          a value of plain bytes
//   's' tag u32-length node...        a slot vector: one node per whole slot
// Integers are little-endian, as on every platform this server runs on.
//
// Writing and reading share one depth limit (kMaxValueDepth nested slot vectors), so
// that every value that can be written reads back as itself; reading checks it so
// that foreign bytes cannot make the reader recurse without bound.
#include <cstring>

#include "internal.h"

namespace {

constexpr unsigned char kMarker[8] = {0xFE, 'Q', 'X', 'V', 'A', 'L', 0x01, 0x00};

template <typename T>
void put(std::string &out, T n) {
    out.append(reinterpret_cast<const char *>(&n), sizeof n);
}

// `depth` counts the slot vectors around v; false when v would exceed the limit.
bool write_node(std::string &out, qx_value v, int depth) {
    int tag = qx_tag_of(v);
    if (tag == QX_TAG_INTEGER) {
        out.push_back('i');
        put<int64_t>(out, qx_unbox(v));
        return true;
    }
    uint32_t length = qx_length_of(v);
    if (qx_tag_holds_values(tag)) {
        if (depth >= qx::kMaxValueDepth) return false;
        out.push_back('s');
        out.push_back(static_cast<char>(tag));
        put<uint32_t>(out, length);
        const qx_value *slot = qx_slots(v);
        for (size_t i = 0, n = qx_slot_count(v); i < n; ++i)
            if (!write_node(out, slot[i], depth + 1)) return false;
        return true;
    }
    out.push_back('v');
    out.push_back(static_cast<char>(tag));
    put<uint32_t>(out, length);
    out.append(static_cast<const char *>(v), length);
    return true;
}

struct Reader {
    const unsigned char *p;
    const unsigned char *end;

    template <typename T>
    bool get(T *n) {
        if (static_cast<size_t>(end - p) < sizeof *n) return false;
        std::memcpy(n, p, sizeof *n);
        p += sizeof *n;
        return true;
    }

    // Reads one node, inside `depth` slot vectors, into *out; on failure frees what
    // it made.
    bool node(qx_value *out, int depth) {
        *out = nullptr;
        unsigned char kind;
        if (!get(&kind)) return false;
        if (kind == 'i') {
            int64_t n;
            if (!get(&n)) return false;
            *out = qx_box_int64(n);
            return qx_is_inline(*out) || *out != nullptr;
        }
        unsigned char tag;
        uint32_t length;
        if (!get(&tag) || !get(&length) || length > QX_MAX_LENGTH) return false;
        if (kind == 'v') {
            if (qx_tag_holds_values(tag) || tag == QX_TAG_INTEGER) return false;
            if (static_cast<size_t>(end - p) < length) return false;
            *out = qx_box_bytes(p, length, tag);
            p += length;
            return *out != nullptr;
        }
        if (kind != 's' || !qx_tag_holds_values(tag) || depth >= qx::kMaxValueDepth) return false;
        size_t slots = length / sizeof(qx_value);
        // Every slot takes at least 9 bytes of input: refuse impossible counts early.
        if (slots > static_cast<size_t>(end - p) / 9 + 1) return false;
        qx_value v = qx_alloc(length, tag);
        if (!v) return false;
        for (size_t i = 0; i < slots; ++i) {
            if (!node(&qx_slots(v)[i], depth + 1)) {
                qx_free_tree(v);
                return false;
            }
        }
        *out = v;
        return true;
    }
};

}  // namespace

namespace qx {

std::string serialize(qx_value v) {
    std::string out(reinterpret_cast<const char *>(kMarker), sizeof kMarker);
    if (!write_node(out, v, 0)) return {};
    return out;
}

bool has_value_marker(const void *bytes, size_t size) {
    return size >= sizeof kMarker && std::memcmp(bytes, kMarker, sizeof kMarker) == 0;
}

qx_value deserialize(const void *bytes, size_t size, bool *ok) {
    *ok = false;
    const auto *b = static_cast<const unsigned char *>(bytes);
    if (!has_value_marker(b, size)) return nullptr;
    Reader r{b + sizeof kMarker, b + size};
    qx_value v;
    if (!r.node(&v, 0)) return nullptr;
    if (r.p != r.end) {  // trailing bytes: not one of ours
        qx_free_tree(v);
        return nullptr;
    }
    *ok = true;
    return v;
}

// The compact form: a value is its tag byte, then for an integer its zigzag varint,
// for any other value its byte length as a varint and then its bytes or, for a slot
// vector, one value per slot. It is read back only by the process that wrote it.

void append_varint(std::string &out, uint64_t n) {
    while (n >= 0x80) {
        out.push_back(static_cast<char>(n | 0x80));
        n >>= 7;
    }
    out.push_back(static_cast<char>(n));
}

bool read_varint(const unsigned char **p, const unsigned char *end, uint64_t *n) {
    *n = 0;
    for (int shift = 0; shift < 64 && *p < end; shift += 7) {
        unsigned char b = *(*p)++;
        *n |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

namespace {

bool append_compact_node(std::string &out, qx_value v, int depth) {
    int tag = qx_tag_of(v);
    out.push_back(static_cast<char>(tag));
    if (tag == QX_TAG_INTEGER) {
        uint64_t n = static_cast<uint64_t>(qx_unbox(v));
        append_varint(out, (n << 1) ^ (0 - (n >> 63)));
        return true;
    }
    uint32_t length = qx_length_of(v);
    append_varint(out, length);
    if (!qx_tag_holds_values(tag)) {
        out.append(static_cast<const char *>(v), length);
        return true;
    }
    if (depth >= kMaxValueDepth) return false;
    const qx_value *slot = qx_slots(v);
    for (size_t i = 0, n = qx_slot_count(v); i < n; ++i)
        if (!append_compact_node(out, slot[i], depth + 1)) return false;
    return true;
}

bool read_compact_node(const unsigned char **p, const unsigned char *end, qx_value *out,
                       int depth) {
    *out = nullptr;
    if (*p == end) return false;
    int tag = *(*p)++;
    uint64_t n;
    if (!read_varint(p, end, &n)) return false;
    if (tag == QX_TAG_INTEGER) {
        *out = qx_box_int64(static_cast<int64_t>((n >> 1) ^ (0 - (n & 1))));
        return qx_is_inline(*out) || *out != nullptr;
    }
    if (n > QX_MAX_LENGTH) return false;
    if (!qx_tag_holds_values(tag)) {
        if (static_cast<uint64_t>(end - *p) < n) return false;
        *out = qx_box_bytes(*p, n, tag);
        *p += n;
        return *out != nullptr;
    }
    size_t slots = n / sizeof(qx_value);
    // Every slot takes at least 2 bytes of input: refuse impossible counts early.
    if (depth >= kMaxValueDepth || slots > static_cast<size_t>(end - *p) / 2) return false;
    qx_value v = qx_alloc(n, tag);
    if (!v) return false;
    for (size_t i = 0; i < slots; ++i) {
        if (!read_compact_node(p, end, &qx_slots(v)[i], depth + 1)) {
            qx_free_tree(v);
            return false;
        }
    }
    *out = v;
    return true;
}

}  // namespace

bool append_compact(std::string &out, qx_value v) { return append_compact_node(out, v, 0); }

bool read_compact(const unsigned char **p, const unsigned char *end, qx_value *out) {
    return read_compact_node(p, end, out, 0);
}

}  // namespace qx
