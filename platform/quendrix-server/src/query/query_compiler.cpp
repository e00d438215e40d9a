// The query compiler: a parse tree (see quendrix/query_tree.h) back to SQL text
// that SQLite runs. Trees can be built by hand in SQL, so every node is checked
// for its tag, its kind and the slots it is read at before it is read.
#include <sqlite3.h>

#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "quendrix/query_tree.h"

namespace {

constexpr int kMaxDepth = 200;

bool is_array(qx_value v) { return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_ARRAY; }

// The kind of a node (a tag-193 array whose slot 0 is an inline integer); -1 otherwise.
long kind_of(qx_value v) {
    if (!is_array(v) || qx_slot_count(v) < 1 || !qx_is_inline(qx_slots(v)[0])) return -1;
    return static_cast<long>(reinterpret_cast<uintptr_t>(qx_slots(v)[0]));
}

const char *comparison_operator(long kind) {
    switch (kind) {
        case QX_NODE_EQ: return " = ";
        case QX_NODE_NE: return " <> ";
        case QX_NODE_LT: return " < ";
        case QX_NODE_LE: return " <= ";
        case QX_NODE_GT: return " > ";
        case QX_NODE_GE: return " >= ";
        default: return nullptr;
    }
}

class Compiler {
public:
    bool compile(qx_value tree, std::string *out, std::string *error) {
        query(tree);
        if (!ok_) {
            *error = error_;
            return false;
        }
        *out = std::move(out_);
        return true;
    }

private:
    std::string out_;
    bool ok_ = true;
    std::string error_;
    int depth_ = 0;

    bool fail(const std::string &why) {
        if (ok_) error_ = why;
        ok_ = false;
        return false;
    }

    // A node of this kind with at least `slots` slots.
    bool node(qx_value v, long kind, size_t slots, const char *what) {
        if (kind_of(v) != kind) return fail(std::string("expected ") + what + " (kind " +
                                            std::to_string(kind) + ")");
        if (qx_slot_count(v) < slots)
            return fail(std::string(what) + " has " + std::to_string(qx_slot_count(v)) +
                        " slots, needs " + std::to_string(slots));
        return true;
    }

    // The text of a string value; false when it is no text or holds a zero byte,
    // which SQL text cannot carry.
    bool text(qx_value v, std::string *t, const char *what) {
        if (qx_is_inline(v) || qx_tag_of(v) != QX_TAG_STRING)
            return fail(std::string(what) + " is no text");
        t->assign(static_cast<const char *>(v), qx_length_of(v));
        if (t->find('\0') != std::string::npos)
            return fail(std::string(what) + " holds a zero byte");
        return true;
    }

    // A name as SQL: plain names as they are, others (dotted names, keywords) in
    // backquotes. Never in double quotes: SQLite reads a double-quoted name that
    // names no column as a string, so a wrong name would pass unnoticed.
    void name(const std::string &n) {
        bool plain = !n.empty() && !std::isdigit(static_cast<unsigned char>(n[0])) &&
                     !sqlite3_keyword_check(n.data(), static_cast<int>(n.size()));
        for (char c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') plain = false;
        if (plain) {
            out_ += n;
            return;
        }
        out_ += '`';
        for (char c : n) {
            if (c == '`') out_ += '`';
            out_ += c;
        }
        out_ += '`';
    }

    bool enter() {
        if (++depth_ > kMaxDepth) return fail("tree nested too deeply");
        return true;
    }

    void query(qx_value q) {
        if (!enter() || !node(q, QX_NODE_QUERY, 5, "a query node")) return;
        qx_value *slot = qx_slots(q);
        out_ += slot[1] ? "SELECT DISTINCT " : "SELECT ";
        qx_value selection = slot[2];
        if (!is_array(selection) || qx_slot_count(selection) == 0) {
            fail("a query needs a selection list of at least one item");
            return;
        }
        for (size_t i = 0; ok_ && i < qx_slot_count(selection); ++i) {
            if (i) out_ += ", ";
            expression(qx_slots(selection)[i]);
        }
        if (ok_ && slot[4]) from_where(slot[4]);
        --depth_;
    }

    void from_where(qx_value fw) {
        if (!node(fw, QX_NODE_FROM_WHERE, 3, "a from-where node")) return;
        qx_value from = qx_slots(fw)[1];
        qx_value where = qx_slots(fw)[2];
        if (from) {
            if (!is_array(from)) {
                fail("the from list is no list");
                return;
            }
            for (size_t i = 0; ok_ && i < qx_slot_count(from); ++i) {
                out_ += i ? ", " : " FROM ";
                from_entry(qx_slots(from)[i]);
            }
        }
        if (ok_ && where) {
            out_ += " WHERE ";
            expression(where);
        }
    }

    void from_entry(qx_value entry) {
        if (kind_of(entry) == QX_NODE_FROM_ENTRY) {
            if (!node(entry, QX_NODE_FROM_ENTRY, 2, "a from-entry node")) return;
            entry = qx_slots(entry)[1];
        }
        if (!node(entry, QX_NODE_TABLE, 2, "a table node")) return;
        std::string table, correlation;
        if (!text(qx_slots(entry)[1], &table, "a table name")) return;
        name(table);
        qx_value corr = qx_slot_count(entry) > 2 ? qx_slots(entry)[2] : nullptr;
        if (corr) {
            if (!text(corr, &correlation, "a correlation name")) return;
            out_ += " AS ";
            name(correlation);
        }
    }

    void literal_integer(int64_t n) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%" PRId64, n);
        out_ += buf;
    }

    void expression(qx_value v) {
        if (!ok_ || !enter()) return;
        if (qx_is_inline(v)) {
            literal_integer(static_cast<int64_t>(reinterpret_cast<uintptr_t>(v)));
        } else {
            switch (qx_tag_of(v)) {
                case QX_TAG_INTEGER: literal_integer(qx_unbox(v)); break;
                case QX_TAG_DOUBLE:
                case QX_TAG_FLOAT: {
                    double d = qx_unbox_double(v);
                    if (!std::isfinite(d)) {
                        fail("a number that is not finite has no SQL literal");
                        break;
                    }
                    char buf[40];
                    std::snprintf(buf, sizeof buf, "%.17g", d);
                    out_ += buf;
                    if (!std::strpbrk(buf, ".e")) out_ += ".0";
                    break;
                }
                case QX_TAG_STRING: {
                    std::string t;
                    if (!text(v, &t, "a string literal")) break;
                    out_ += '\'';
                    for (char c : t) {
                        if (c == '\'') out_ += '\'';
                        out_ += c;
                    }
                    out_ += '\'';
                    break;
                }
                case QX_TAG_NULL: out_ += "NULL"; break;
                case QX_TAG_ARRAY: node_expression(v); break;
                default:
                    fail(std::string("a value of type ") + qx_tag_name(qx_tag_of(v)) +
                         " cannot stand in a query");
            }
        }
        --depth_;
    }

    void node_expression(qx_value v) {
        long kind = kind_of(v);
        qx_value *slot = qx_slots(v);
        if (const char *op = comparison_operator(kind)) {
            if (!node(v, kind, 3, "a comparison node")) return;
            out_ += '(';
            expression(slot[1]);
            out_ += op;
            expression(slot[2]);
            out_ += ')';
            return;
        }
        switch (kind) {
            case QX_NODE_AND:
            case QX_NODE_OR:
                if (!node(v, kind, 3, kind == QX_NODE_AND ? "a conjunction node" : "a disjunction node"))
                    return;
                out_ += '(';
                expression(slot[1]);
                out_ += kind == QX_NODE_AND ? " AND " : " OR ";
                expression(slot[2]);
                out_ += ')';
                return;
            case QX_NODE_NOT:
                if (!node(v, kind, 2, "a negation node")) return;
                out_ += "(NOT ";
                expression(slot[1]);
                out_ += ')';
                return;
            case QX_NODE_EXISTS:
                if (!node(v, kind, 3, "an existence node")) return;
                out_ += "EXISTS (";
                query(slot[2]);
                out_ += ')';
                return;
            case QX_NODE_COLUMN: {
                if (!node(v, kind, 3, "a column node")) return;
                std::string qualifier, column;
                if (slot[1]) {
                    if (!text(slot[1], &qualifier, "a column qualifier")) return;
                    name(qualifier);
                    out_ += '.';
                }
                if (!text(slot[2], &column, "a column name")) return;
                if (column == "*")
                    out_ += '*';
                else
                    name(column);
                return;
            }
            default:
                fail(kind < 0 ? std::string("an array that is no node cannot stand in a condition")
                              : "node kind " + std::to_string(kind) + " cannot stand in a condition");
        }
    }
};

}  // namespace

extern "C" {

qx_value qx_query_text(qx_value tree, qx_value *error_out) {
    if (error_out) *error_out = nullptr;
    std::string sql, why;
    if (Compiler().compile(tree, &sql, &why)) {
        if (sql.size() <= QX_MAX_LENGTH) return qx_box_bytes(sql.data(), sql.size(), QX_TAG_STRING);
        why = "the query's text exceeds the server's value limit";
    }
    qx_value err = qx_error_new("42000", nullptr, "sql_text: %s", why.c_str());
    if (error_out)
        *error_out = err;
    else
        qx_free_tree(err);
    return nullptr;
}

}  // extern "C"
