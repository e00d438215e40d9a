// Built-ins as SQLite application-defined functions: arguments become server
// values, the built-in runs in the calling thread, and its result goes back to
// SQLite. Values without an SQL counterpart cross SQLite as marked BLOBs, so a
// vector made by one built-in reaches the next one intact; a plain BLOB that
// happens to begin with the marker crosses in the same form, so that it is never
// taken for a value.
#include <sqlite3.h>

#include <cstring>

#include "internal.h"

#ifndef SQLITE_RESULT_SUBTYPE
#define SQLITE_RESULT_SUBTYPE 0
#endif

namespace {

// Subtype that marks an SQL REAL which was a single-precision value.
constexpr unsigned kFloatSubtype = 'F';

struct Registered {
    std::string name;
    qx_bif_fn fn;
    qx_client *client;
};

}  // namespace

bool qx::value_from_sqlite(sqlite3_value *a, qx_value *out) {
    switch (sqlite3_value_type(a)) {
        case SQLITE_INTEGER:
            *out = qx_box_int64(sqlite3_value_int64(a));
            return qx_is_inline(*out) || *out;
        case SQLITE_FLOAT:
            *out = sqlite3_value_subtype(a) == kFloatSubtype
                       ? qx_box_float(static_cast<float>(sqlite3_value_double(a)))
                       : qx_box_double(sqlite3_value_double(a));
            return *out != nullptr;
        case SQLITE_TEXT: {
            const unsigned char *text = sqlite3_value_text(a);
            size_t n = static_cast<size_t>(sqlite3_value_bytes(a));
            *out = n > QX_MAX_LENGTH ? nullptr : qx_box_bytes(text, n, QX_TAG_STRING);
            return *out != nullptr;
        }
        case SQLITE_BLOB: {
            const void *bytes = sqlite3_value_blob(a);
            size_t n = static_cast<size_t>(sqlite3_value_bytes(a));
            bool ok = false;
            *out = qx::deserialize(bytes, n, &ok);
            if (ok) return true;
            *out = n > QX_MAX_LENGTH ? nullptr : qx_box_bytes(bytes, n, QX_TAG_BINARY);
            return *out != nullptr;
        }
        default:
            *out = qx_alloc(0, QX_TAG_NULL);
            return *out != nullptr;
    }
}

namespace {

void result_error(sqlite3_context *ctx, qx_value err) {
    std::string text = qx::encode_error(err);
    sqlite3_result_error(ctx, text.c_str(), static_cast<int>(text.size()));
}

void to_sqlite(sqlite3_context *ctx, qx_value v) {
    switch (qx_tag_of(v)) {
        case QX_TAG_INTEGER:
            sqlite3_result_int64(ctx, qx_unbox(v));
            return;
        case QX_TAG_NULL:
            sqlite3_result_null(ctx);
            return;
        case QX_TAG_DOUBLE:
            sqlite3_result_double(ctx, qx_unbox_double(v));
            return;
        case QX_TAG_FLOAT:
            sqlite3_result_double(ctx, qx_unbox_double(v));
            sqlite3_result_subtype(ctx, kFloatSubtype);
            return;
        case QX_TAG_STRING:
            sqlite3_result_text64(ctx, static_cast<const char *>(v), qx_length_of(v),
                                  SQLITE_TRANSIENT, SQLITE_UTF8);
            return;
        case QX_TAG_BINARY:
            if (!qx::has_value_marker(v, qx_length_of(v))) {
                sqlite3_result_blob64(ctx, v, qx_length_of(v), SQLITE_TRANSIENT);
                return;
            }
            break;
        default:
            break;
    }
    std::string bytes = qx::serialize(v);
    if (bytes.empty()) {
        qx_value err = qx_error_new("54000", nullptr,
                                    "A vector nested more than %d deep exceeds the server's limit",
                                    qx::kMaxValueDepth);
        result_error(ctx, err);
        qx_free_tree(err);
        return;
    }
    sqlite3_result_blob64(ctx, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void call_builtin(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    auto *reg = static_cast<Registered *>(sqlite3_user_data(ctx));
    qx_value args = qx_alloc(static_cast<size_t>(argc) * sizeof(qx_value), QX_TAG_ARRAY);
    for (int i = 0; i < argc; ++i) {
        if (!qx::value_from_sqlite(argv[i], &qx_slots(args)[i])) {
            qx_free_tree(args);
            qx_value err = qx_error_new("54000", nullptr,
                                        "%s: argument %d exceeds the server's limit of %u bytes",
                                        reg->name.c_str(), i + 1, QX_MAX_LENGTH);
            result_error(ctx, err);
            qx_free_tree(err);
            return;
        }
    }
    qx_value err = nullptr;
    qx_value result = qx::invoke(reg->fn, reg->name.c_str(), reg->client, args, &err);
    qx_free_tree(args);
    if (err) {
        result_error(ctx, err);
        qx_free_tree(err);
        return;
    }
    to_sqlite(ctx, result);
    qx_free_tree(result);
}

void forget(void *p) { delete static_cast<Registered *>(p); }

}  // namespace

namespace qx {

int function_argument_limit() {
    static const int limit = [] {
        sqlite3 *db = nullptr;
        int n = 127;  // SQLite's default, should the probe fail
        if (sqlite3_open(":memory:", &db) == SQLITE_OK)
            n = sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, -1);
        sqlite3_close(db);
        return n;
    }();
    return limit;
}

bool install_builtins(qx_client *client, std::string *error) {
    for (const Builtin &b : builtins()) {
        auto *reg = new Registered{b.name, b.fn, client};
        int rc = sqlite3_create_function_v2(
            client->db, b.name.c_str(), -1, SQLITE_UTF8 | SQLITE_SUBTYPE | SQLITE_RESULT_SUBTYPE,
            reg, call_builtin, nullptr, nullptr, forget);
        if (rc != SQLITE_OK) {
            if (error) *error = "cannot register " + b.name + ": " + sqlite3_errmsg(client->db);
            return false;
        }
    }
    return true;
}

namespace {

std::string encoded(const std::string &state, const std::string &native, const std::string &message) {
    return "\x1f" + state + "\x1f" + native + "\x1f" + message;
}

}  // namespace

std::string encode_error(qx_value err) {
    const char *native = qx_error_native_code(err);
    return encoded(qx_error_state(err), native ? native : "", qx_error_message(err));
}

long error_position(const SqlError &e, const std::string &query, size_t statement_at, bool compiled_as_sent,
                    const std::vector<std::pair<size_t, size_t>> &inserted) {
    if (e.position <= 0 || !(compiled_as_sent || !inserted.empty())) return 0;
    size_t end = statement_at + static_cast<size_t>(e.position) - 1;
    // Back to the query's own bytes: less what was inserted before the error.
    size_t shift = 0;
    for (const auto &piece : inserted) {
        if (piece.first + shift >= end) break;
        shift += std::min(piece.second, end - (piece.first + shift));
    }
    end -= shift;
    if (end > query.size()) return 0;
    long characters = 1;
    for (size_t i = 0; i < end; ++i)
        if ((static_cast<unsigned char>(query[i]) & 0xC0) != 0x80) ++characters;  // UTF-8 lead bytes
    return characters;
}

std::string value_text(sqlite3_value *v) {
    const unsigned char *t = sqlite3_value_text(v);
    return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_value_bytes(v))) : "";
}

void result_sql_error(sqlite3_context *ctx, const SqlError &e) {
    std::string text = encoded(e.state, e.native_code, e.message);
    sqlite3_result_error(ctx, text.c_str(), static_cast<int>(text.size()));
}

SqlError decode_error(const char *message, int sqlite_code) {
    SqlError e;
    std::string m = message ? message : "";
    // SQLite's limit on the arguments of a function call is fixed when it is built;
    // say what it is, in the terms of a call.
    const std::string too_many = "too many arguments on function ";
    if (m.compare(0, too_many.size(), too_many) == 0) {
        e.state = "54023";
        e.message = m.substr(too_many.size()) + " takes at most " +
                    std::to_string(function_argument_limit()) + " arguments";
        return e;
    }
    if (!m.empty() && m[0] == '\x1f') {
        size_t a = m.find('\x1f', 1);
        size_t b = a == std::string::npos ? a : m.find('\x1f', a + 1);
        if (b != std::string::npos) {
            e.state = m.substr(1, a - 1);
            e.native_code = m.substr(a + 1, b - a - 1);
            e.message = m.substr(b + 1);
            return e;
        }
    }
    e.message = m;
    switch (sqlite_code & 0xFF) {
        case SQLITE_ERROR:
            // SQLite reports a function its authorizer denies as a plain error.
            e.state = m.compare(0, 14, "not authorized") == 0 ? "42501" : "42000";
            break;
        case SQLITE_PERM:
        case SQLITE_AUTH: e.state = "42501"; break;
        case SQLITE_BUSY:
            e.state = "40001";
            // A transaction that read before another's commit may not write over it:
            // what PostgreSQL's serializable transactions say then.
            if (sqlite_code == SQLITE_BUSY_SNAPSHOT) e.message = "could not serialize access due to concurrent update";
            break;
        case SQLITE_LOCKED: e.state = "40001"; break;
        case SQLITE_NOMEM: e.state = "53200"; break;
        case SQLITE_READONLY: e.state = "25006"; break;
        case SQLITE_INTERRUPT: e.state = "57014"; break;
        case SQLITE_IOERR: e.state = "58030"; break;
        case SQLITE_CORRUPT: e.state = "XX001"; break;
        case SQLITE_FULL: e.state = "53100"; break;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTADB: e.state = "08001"; break;
        case SQLITE_TOOBIG: e.state = "54000"; break;
        case SQLITE_CONSTRAINT:
            // PostgreSQL's states for the constraints both know, which drivers and
            // programs test for (a unique violation to retry as an update, say).
            switch (sqlite_code) {
                case SQLITE_CONSTRAINT_UNIQUE:
                case SQLITE_CONSTRAINT_PRIMARYKEY: e.state = "23505"; break;
                case SQLITE_CONSTRAINT_NOTNULL: e.state = "23502"; break;
                case SQLITE_CONSTRAINT_FOREIGNKEY: e.state = "23503"; break;
                case SQLITE_CONSTRAINT_CHECK: e.state = "23514"; break;
                default: e.state = "23000"; break;
            }
            break;
        case SQLITE_MISMATCH:
        case SQLITE_RANGE: e.state = "22023"; break;
        default: e.state = "HY000"; break;
    }
    return e;
}

}  // namespace qx

namespace qx {

bool install_function(qx_client *client, const char *name, qx_bif_fn fn, std::string *error) {
    auto *reg = new Registered{name, fn, client};
    int rc = sqlite3_create_function_v2(client->db, name, -1,
                                        SQLITE_UTF8 | SQLITE_SUBTYPE | SQLITE_RESULT_SUBTYPE, reg,
                                        call_builtin, nullptr, nullptr, forget);
    if (rc == SQLITE_OK) return true;
    if (error) *error = std::string("cannot register ") + name + ": " + sqlite3_errmsg(client->db);
    return false;
}

}  // namespace qx
