// Portals: a bound statement stepped row by row, so that the client decides how
// many rows each Execute or FETCH sends and the rest waits in SQLite.
#include "network/portal.h"

#include <sqlite3.h>

#include <new>

#include "network/inferred_types.h"
#include "network/pg_types.h"
#include "sql/postgres_statements.h"
#include "sql/result_set.h"

namespace qx {
namespace pg {

void portal_receives_row(void *context, int n, qx_value *values) {
    // Runs inside SQLite, through a built-in: no exception may leave it.
    try {
        static_cast<Portal *>(context)->sent_row(n, values);
    } catch (const std::bad_alloc &) {
        raise_current("53200", nullptr, "out of memory sending a result row");
    }
}

}  // namespace pg
}  // namespace qx

namespace {

bool is_binary(const qx::pg::Formats &formats, size_t column) {
    if (formats.empty()) return false;
    if (formats.size() == 1) return formats[0] == 1;
    return column < formats.size() && formats[column] == 1;
}

void free_row(std::vector<qx_value> &values) {
    for (qx_value &v : values) qx_free_tree(v);
    values.clear();
}

// The values of the row the statement stands on, which the caller frees; false
// (and no values) when one is too large to carry: the row fails rather than
// reaching the client altered.
bool current_row(sqlite3_stmt *stmt, std::vector<qx_value> *values) {
    int n = sqlite3_column_count(stmt);
    values->assign(static_cast<size_t>(n), nullptr);
    bool fits = true;
    for (int i = 0; i < n; ++i) {
        if (!qx::value_from_sqlite(sqlite3_column_value(stmt, i), &(*values)[static_cast<size_t>(i)]))
            fits = false;
    }
    if (!fits) free_row(*values);
    return fits;
}

qx::SqlError too_large() {
    return {"54000", "",
            "a result value exceeds the largest value a client can receive (" +
                std::to_string(QX_MAX_LENGTH) + " bytes)"};
}

}  // namespace

namespace qx {
namespace pg {

Portal::Portal(qx_client *client, sqlite3_stmt *stmt, bool call_form)
    : client_(client), stmt_(stmt), call_form_(call_form) {}

Portal::~Portal() { sqlite3_finalize(stmt_); }

void Portal::own_columns(const std::vector<qx_value> &first) {
    columns_.clear();
    const int n = sqlite3_column_count(stmt_);
    const bool pinned = pinned_types_.size() == static_cast<size_t>(n);
    const std::vector<std::string> typing = typing_names(stmt_);
    for (int i = 0; i < n; ++i) {
        const char *name = sqlite3_column_name(stmt_, i);
        const qx_value *v = static_cast<size_t>(i) < first.size() ? &first[static_cast<size_t>(i)] : nullptr;
        columns_.push_back({name ? name : "column" + std::to_string(i + 1),
                            pinned ? pinned_types_[static_cast<size_t>(i)]
                                   : column_type(sqlite3_column_decltype(stmt_, i), v,
                                                 typing[static_cast<size_t>(i)].c_str())});
    }
}

void Portal::sent_row(int n, qx_value *values) {
    if (source_ == Source::own) {
        raise_current("42000", nullptr,
                      "a built-in cannot send result rows after the statement's own rows");
        return;
    }
    if (source_ == Source::undecided) {
        if (described_) {  // the client was told that no rows come
            raise_current("42000", nullptr,
                          "a built-in cannot send result rows from a statement without a result");
            return;
        }
        source_ = Source::sent;
        columns_.clear();
        for (int i = 0; i < n; ++i)
            columns_.push_back({"column" + std::to_string(i + 1), column_type(nullptr, &values[i])});
        returns_rows_ = described_ = true;
    } else if (static_cast<size_t>(n) != columns_.size()) {
        raise_current("21000", nullptr, "a result row of %d values in a result set of %zu columns",
                      n, columns_.size());
        return;
    }
    if (out_ && room_ != 0 && held_.empty()) {
        if (!send_row(n, values)) {
            raise_current("08006", nullptr, "the client connection is gone");
            return;
        }
        ++*count_;
        if (room_ > 0) --room_;
        return;
    }
    SqlError error;
    if (!held_.push(n, values, &error))
        raise_current(error.state.c_str(), nullptr, "%s", error.message.c_str());
}

bool Portal::send_row(int n, const qx_value *values) {
    Message m('D');
    m.int16(n);
    for (int i = 0; i < n; ++i)
        append_column(m, values[i], columns_[static_cast<size_t>(i)].type,
                      is_binary(*formats_, static_cast<size_t>(i)), row_);
    ++total_rows_;
    return out_->queue(m);
}

bool Portal::step(SqlError *error) {
    qx_set_row_receiver(portal_receives_row, this);
    int rc = sqlite3_step(stmt_);
    qx_set_row_receiver(nullptr, nullptr);
    if (rc == SQLITE_ROW) {
        if (call_form_ || source_ == Source::sent) return true;  // the sent rows are the result
        if (source_ == Source::undecided) {
            std::vector<qx_value> first;
            if (!current_row(stmt_, &first)) {
                done_ = true;
                *error = too_large();
                return false;
            }
            source_ = Source::own;
            own_columns(first);
            free_row(first);
            returns_rows_ = described_ = true;
        }
        on_row_ = true;
        return true;
    }
    done_ = true;
    if (rc == SQLITE_DONE) return true;
    *error = decode_error(sqlite3_errmsg(client_->db), sqlite3_extended_errcode(client_->db));
    return false;
}

bool Portal::describe(SqlError *error) {
    if (described_) return true;
    bool may_return_rows = call_form_ || sqlite3_column_count(stmt_) > 0;
    if (may_return_rows) {
        while (source_ == Source::undecided && !done_) {
            if (!step(error)) return false;
        }
    }
    if (source_ == Source::undecided) {
        returns_rows_ = !call_form_ && sqlite3_column_count(stmt_) > 0;
        own_columns({});
    }
    described_ = true;
    return true;
}

void Portal::queue_description(Output &out, const Formats &formats) const {
    if (!returns_rows_) {
        Message none('n');
        out.queue(none);
        return;
    }
    Message m('T');
    m.int16(static_cast<int>(columns_.size()));
    for (size_t i = 0; i < columns_.size(); ++i) {
        int32_t type = columns_[i].type;
        m.str(columns_[i].name).int32(0).int16(0).int32(type).int16(type_length(type)).int32(-1);
        m.int16(is_binary(formats, i) ? 1 : 0);
    }
    out.queue(m);
}

bool Portal::execute(Output &out, const Formats &formats, long max_rows, long *count,
                     bool *suspended, std::string *tag, SqlError *error) {
    *count = 0;
    *suspended = false;
    if (!describe(error)) return false;
    out_ = &out;
    formats_ = &formats;
    count_ = count;
    room_ = max_rows > 0 ? max_rows : -1;
    bool ok = true;
    for (;;) {
        std::vector<qx_value> held;
        while (!held_.empty() && room_ != 0) {
            if (!held_.pop(&held, error)) {
                done_ = true;
                ok = false;
                break;
            }
            bool sent = send_row(static_cast<int>(held.size()), held.data());
            free_row(held);
            if (!sent) break;
            ++*count;
            if (room_ > 0) --room_;
        }
        if (!ok) break;
        if (room_ == 0 && (!held_.empty() || !done_)) {
            *suspended = true;
            break;
        }
        if (on_row_) {
            std::vector<qx_value> row;
            if (!current_row(stmt_, &row)) {
                on_row_ = false;
                done_ = true;
                *error = too_large();
                ok = false;
                break;
            }
            bool sent = send_row(static_cast<int>(row.size()), row.data());
            free_row(row);
            on_row_ = false;
            if (!sent) {
                *error = {"08006", "", "the client connection is gone"};
                ok = false;
                break;
            }
            ++*count;
            if (room_ > 0) --room_;
            continue;
        }
        if (done_ && held_.empty()) break;
        if (!step(error)) {
            ok = false;
            break;
        }
    }
    out_ = nullptr;
    formats_ = nullptr;
    count_ = nullptr;
    if (ok && !*suspended) {
        if (done_tag_.empty()) done_tag_ = command_tag(stmt_, call_form_, returns_rows_, 0);
        // A select's tag counts the rows of this Execute, as PostgreSQL's does.
        *tag = done_tag_.compare(0, 7, "SELECT ") == 0 ? "SELECT " + std::to_string(*count) : done_tag_;
    }
    return ok;
}

}  // namespace pg
}  // namespace qx
