#include "network/copy.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>

#include "network/parameter_forms.h"
#include "network/pg_types.h"
#include "sql/result_set.h"

namespace qx {
namespace pg {
namespace {

bool starts_copy_response(Output &out, char type, int columns, bool binary = false) {
    Message m(type);
    m.byte(binary ? 1 : 0).int16(columns);  // one format for every column
    for (int i = 0; i < columns; ++i) m.int16(binary ? 1 : 0);
    return out.queue(m) && out.flush();
}

// A bytea field in its text form (\x and hex digits) for a BLOB column: its bytes.
bool bytes_of(const std::string &text, std::string *bytes) {
    if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2) return false;
    bytes->clear();
    for (size_t i = 2; i < text.size(); i += 2) {
        int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        *bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

bool copy_in(const CopyCommand &c, qx_client *client, Output &out, CopySource &in, std::string *tag,
             SqlError *error, bool *lost) {
    sqlite3 *db = client->db;
    // The columns the rows fill, and which of them hold BLOBs.
    std::string list = c.columns.empty() ? "*" : c.columns.substr(1, c.columns.size() - 2);
    sqlite3_stmt *shape = nullptr;
    int rc = sqlite3_prepare_v2(db, ("SELECT " + list + " FROM " + c.table + " LIMIT 0").c_str(), -1, &shape, nullptr);
    if (rc != SQLITE_OK) return *error = decode_error(sqlite3_errmsg(db), rc), false;
    int n = sqlite3_column_count(shape);
    std::vector<std::string> names;
    std::vector<bool> blob;
    std::vector<int32_t> types;  // binary fields come in the types the columns are described with
    for (int i = 0; i < n; ++i) {
        std::string declared = sqlite3_column_decltype(shape, i) ? sqlite3_column_decltype(shape, i) : "";
        for (char &ch : declared) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        names.emplace_back(sqlite3_column_name(shape, i));
        blob.push_back(declared.find("BLOB") != std::string::npos);
        types.push_back(column_type(sqlite3_column_decltype(shape, i), nullptr));
    }
    sqlite3_finalize(shape);
    std::string insert = "INSERT INTO " + c.table + " " + c.columns + " VALUES (";
    for (int i = 0; i < n; ++i) insert += i ? ", ?" : "?";
    sqlite3_stmt *stmt = nullptr;
    rc = sqlite3_prepare_v2(db, (insert + ")").c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) return *error = decode_error(sqlite3_errmsg(db), rc), false;
    // All rows or none: a savepoint, which is a transaction of its own outside a block.
    rc = sqlite3_exec(db, "SAVEPOINT quendrix_copy", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return *error = decode_error(sqlite3_errmsg(db), rc), false;
    }
    long count = 0;
    std::string bytes;
    CopyReader reader(c, [&](std::vector<CopyField> &fields, long line, SqlError *e) {
        std::string where = " (COPY " + c.table + ", line " + std::to_string(line) + ")";
        if (c.binary && fields.size() != static_cast<size_t>(n)) {
            *e = {"22P04", "", "row field count is " + std::to_string(fields.size()) + ", expected " +
                                   std::to_string(n) + where};
            return false;
        }
        if (fields.size() != static_cast<size_t>(n)) {
            *e = {"22P04", "",
                  fields.size() < static_cast<size_t>(n) ? "missing data for column \"" + names[fields.size()] + "\"" + where
                                                         : "extra data after last expected column" + where};
            return false;
        }
        for (int i = 0; i < n; ++i) {
            const CopyField &f = fields[static_cast<size_t>(i)];
            if (c.binary) {
                if (!bind_parameter(stmt, i + 1, i + 1, types[static_cast<size_t>(i)], true, f ? f->data() : nullptr,
                                    f ? f->size() : 0, e)) {
                    e->message += where;
                    return false;
                }
            } else if (!f)
                sqlite3_bind_null(stmt, i + 1);
            else if (blob[static_cast<size_t>(i)] && bytes_of(*f, &bytes))
                sqlite3_bind_blob64(stmt, i + 1, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
            else
                sqlite3_bind_text64(stmt, i + 1, f->data(), f->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        int step = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (step != SQLITE_DONE) {
            *e = decode_error(sqlite3_errmsg(db), step);
            e->message += where;
            return false;
        }
        ++count;
        return true;
    });
    bool ok = starts_copy_response(out, 'G', n, c.binary);
    *lost = !ok;
    for (bool done = false; ok && !done;) {
        char type = 0;
        std::string body;
        if (!in.next_message(&type, &body)) {
            *lost = true;
            ok = false;
            break;
        }
        switch (type) {
            case 'd':
                ok = reader.feed(body.data(), body.size(), error);
                break;
            case 'c':
                ok = reader.finish(error);
                done = true;
                break;
            case 'f':
                *error = {"57014", "", "COPY from stdin failed: " + std::string(body.c_str())};
                ok = false;
                break;
            case 'H':  // Flush and Sync mean nothing during COPY
            case 'S':
                break;
            default:
                *error = {"08P01", "", std::string("unexpected message type '") + type + "' during COPY from stdin"};
                ok = false;
        }
    }
    sqlite3_finalize(stmt);
    if (ok) {
        rc = sqlite3_exec(db, "RELEASE quendrix_copy", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            *tag = "COPY " + std::to_string(count);
            return true;
        }
        *error = decode_error(sqlite3_errmsg(db), rc);
    }
    sqlite3_exec(db, "ROLLBACK TO quendrix_copy", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "RELEASE quendrix_copy", nullptr, nullptr, nullptr);
    return false;
}

// Rows of the query as CopyData, after a CopyOutResponse for its columns.
class CopySink : public ResultSink {
public:
    CopySink(const CopyCommand &c, Output &out) : c_(c), out_(out) {}
    bool begin(const std::vector<std::string> &columns) override {
        if (started_) return true;
        started_ = true;
        if (!starts_copy_response(out_, 'H', static_cast<int>(columns.size()))) return false;
        if (!c_.header) return true;
        fields_.assign(columns.begin(), columns.end());
        return send();
    }
    bool row(int n, const qx_value *values) override {
        fields_.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            if (qx_tag_of(values[i]) == QX_TAG_NULL) {
                fields_[static_cast<size_t>(i)].reset();
                continue;
            }
            std::string text;
            encode_value(text, values[i], value_type(values[i]), false);
            fields_[static_cast<size_t>(i)] = std::move(text);
        }
        ++rows_;
        return send();
    }
    void complete(const std::string &) override {}
    bool started() const { return started_; }
    long rows() const { return rows_; }

private:
    bool send() {
        line_.clear();
        append_copy_row(line_, c_, fields_);
        Message m('d');
        m.bytes(line_);
        return out_.queue(m);
    }

    const CopyCommand &c_;
    Output &out_;
    std::vector<CopyField> fields_;
    std::string line_;
    bool started_ = false;
    long rows_ = 0;
};

}  // namespace

bool run_copy(const CopyCommand &c, qx_client *client, Output &out, CopySource &in, StatementGate &gate,
              std::string *tag, SqlError *error, bool *connection_lost) {
    *connection_lost = false;
    if (!gate.admit(error)) return false;
    if (gate.block_failed()) {
        *error = {"25P02", "", "current transaction is aborted, commands ignored until end of transaction block"};
        return false;
    }
    if (c.from_stdin) {
        bool ok = copy_in(c, client, out, in, tag, error, connection_lost);
        gate.after(ok);  // a failed COPY fails the block it ran in
        return ok;
    }
    std::string query = c.query.empty() ? "SELECT " + (c.columns.empty() ? std::string("*")
                                                                          : c.columns.substr(1, c.columns.size() - 2)) +
                                              " FROM " + c.table
                                        : c.query;
    CopySink sink(c, out);
    StatementRunner runner(client, &sink);
    runner.set_hooks(&gate);
    int statements = 0;
    if (!runner.run(query, error, &statements)) return false;
    if (!sink.started() && !sink.begin({})) return false;
    Message done('c');
    out.queue(done);
    *tag = "COPY " + std::to_string(sink.rows());
    return true;
}

}  // namespace pg
}  // namespace qx
