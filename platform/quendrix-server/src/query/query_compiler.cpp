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
#include "query/query_compiler.h"

namespace {

constexpr int kMaxDepth = 400;

bool is_array(qx_value v) { return !qx_is_inline(v) && qx_tag_of(v) == QX_TAG_ARRAY; }

// The kind of a node (a tag-193 array whose slot 0 is an inline integer); -1 otherwise.
long kind_of(qx_value v) {
    if (!is_array(v) || qx_slot_count(v) < 1 || !qx_is_inline(qx_slots(v)[0])) return -1;
    return static_cast<long>(reinterpret_cast<uintptr_t>(qx_slots(v)[0]));
}

// SQLite's operator precedence, loosest first; the compiler writes parentheses only
// where an operand binds more loosely than its place requires.
enum Precedence {
    kOr = 1,
    kAnd,
    kNot,
    kEquality,    // = <> IS IN LIKE
    kRelational,  // < <= > >=
    kBitwise,
    kAdditive,
    kMultiplicative,
    kConcat,
    kUnary,
    kPrimary
};

struct Operator {
    long kind;
    const char *text;
    Precedence precedence;
    const char *what;
};

const Operator kBinary[] = {
    {QX_NODE_OR, " OR ", kOr, "a disjunction node"},
    {QX_NODE_AND, " AND ", kAnd, "a conjunction node"},
    {QX_NODE_EQ, " = ", kEquality, "a comparison node"},
    {QX_NODE_NE, " <> ", kEquality, "a comparison node"},
    {QX_NODE_LT, " < ", kRelational, "a comparison node"},
    {QX_NODE_LE, " <= ", kRelational, "a comparison node"},
    {QX_NODE_GT, " > ", kRelational, "a comparison node"},
    {QX_NODE_GE, " >= ", kRelational, "a comparison node"},
    {QX_NODE_ADD, " + ", kAdditive, "an arithmetic node"},
    {QX_NODE_SUBTRACT, " - ", kAdditive, "an arithmetic node"},
    {QX_NODE_MULTIPLY, " * ", kMultiplicative, "an arithmetic node"},
    {QX_NODE_DIVIDE, " / ", kMultiplicative, "an arithmetic node"},
    {QX_NODE_MODULO, " % ", kMultiplicative, "an arithmetic node"},
    {QX_NODE_CONCAT, " || ", kConcat, "an arithmetic node"},
};

const Operator *binary_operator(long kind) {
    for (const Operator &op : kBinary)
        if (op.kind == kind) return &op;
    return nullptr;
}

// SQLite's parser has a fixed stack (about 100 entries): every operand that waits
// for a parenthesis or a subquery to close holds some. These are upper bounds of what
// each construct holds, measured on SQLite's grammar, and the budget stays under the
// stack with room for the statement around a query.
constexpr int kStackBudget = 75;
constexpr int kStackPerParenthesis = 3;
constexpr int kStackPerList = 5;  // a call's or an IN list's "(" after earlier items
constexpr int kStackPerPrefix = 1;
constexpr int kStackPerSubquery = 12;

class Compiler {
public:
    explicit Compiler(const qx::QueryVisitor &visit) : visit_(visit) {}

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
    const qx::QueryVisitor &visit_;
    std::string out_;
    bool ok_ = true;
    std::string error_;
    int depth_ = 0;
    int stack_ = 0;

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

    // Holds `n` entries of SQLite's parser stack until the matching release.
    bool hold(int n) {
        stack_ += n;
        if (stack_ > kStackBudget) return fail("the query nests too deeply for SQLite's parser");
        return true;
    }

    // A subquery in parentheses: "(SELECT ...)".
    void subquery(qx_value q) {
        if (!hold(kStackPerSubquery)) return;
        out_ += '(';
        query(q);
        out_ += ')';
        stack_ -= kStackPerSubquery;
    }

    // An optional slot of a query node (null when the node has no such slot).
    static qx_value optional_slot(qx_value node, size_t i) {
        return i < qx_slot_count(node) ? qx_slots(node)[i] : nullptr;
    }

    bool list(qx_value v, const char *what) {
        if (!is_array(v)) return fail(std::string(what) + " is no list");
        return true;
    }

    void query(qx_value q) {
        if (!enter() || !node(q, QX_NODE_QUERY, 5, "a query node")) return;
        std::string why;
        if (visit_ && !visit_(q, &why)) {
            fail(why);
            return;
        }
        qx_value *slot = qx_slots(q);
        out_ += slot[1] ? "SELECT DISTINCT " : "SELECT ";
        qx_value selection = slot[2];
        if (!is_array(selection) || qx_slot_count(selection) == 0) {
            fail("a query needs a selection list of at least one item");
            return;
        }
        for (size_t i = 0; ok_ && i < qx_slot_count(selection); ++i) {
            if (i) out_ += ", ";
            qx_value item = qx_slots(selection)[i];
            if (kind_of(item) == QX_NODE_ALIAS) {
                std::string alias;
                if (!node(item, QX_NODE_ALIAS, 3, "an alias node")) return;
                expression(qx_slots(item)[1], kOr);
                if (!text(qx_slots(item)[2], &alias, "a column alias")) return;
                out_ += " AS ";
                name(alias);
            } else {
                expression(item, kOr);
            }
        }
        if (ok_ && slot[4]) from_where(slot[4]);
        clauses(q);
        --depth_;
    }

    // GROUP BY, HAVING, ORDER BY and LIMIT, in the optional slots 5 to 8.
    void clauses(qx_value q) {
        qx_value group = optional_slot(q, 5), having = optional_slot(q, 6);
        qx_value order = optional_slot(q, 7), limit = optional_slot(q, 8);
        if (ok_ && group && list(group, "the group-by list")) {
            for (size_t i = 0; ok_ && i < qx_slot_count(group); ++i) {
                out_ += i ? ", " : " GROUP BY ";
                expression(qx_slots(group)[i], kOr);
            }
        }
        if (ok_ && having) {
            if (!group || qx_slot_count(group) == 0) {
                fail("HAVING needs a GROUP BY list");
                return;
            }
            out_ += " HAVING ";
            expression(having, kOr);
        }
        if (ok_ && order && list(order, "the order-by list")) {
            for (size_t i = 0; ok_ && i < qx_slot_count(order); ++i) {
                out_ += i ? ", " : " ORDER BY ";
                qx_value item = qx_slots(order)[i];
                if (kind_of(item) == QX_NODE_ORDER) {
                    if (!node(item, QX_NODE_ORDER, 3, "an ordering node")) return;
                    expression(qx_slots(item)[1], kOr);
                    if (qx_slots(item)[2]) out_ += " DESC";
                } else {
                    expression(item, kOr);
                }
            }
        }
        if (ok_ && limit && node(limit, QX_NODE_LIMIT, 3, "a limit node")) {
            out_ += " LIMIT ";
            expression(qx_slots(limit)[1], kOr);
            if (ok_ && qx_slots(limit)[2]) {
                out_ += " OFFSET ";
                expression(qx_slots(limit)[2], kOr);
            }
        }
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
            for (size_t i = 0; ok_ && i < qx_slot_count(from); ++i) from_entry(qx_slots(from)[i], i);
        }
        if (ok_ && where) {
            out_ += " WHERE ";
            expression(where, kOr);
        }
    }

    // A from-list entry: a table node, or a from-entry node whose slot 2 may join it
    // to the entries before it ("JOIN table ON condition").
    void from_entry(qx_value entry, size_t index) {
        qx_value join = nullptr;
        if (kind_of(entry) == QX_NODE_FROM_ENTRY) {
            if (!node(entry, QX_NODE_FROM_ENTRY, 2, "a from-entry node")) return;
            join = qx_slot_count(entry) > 2 ? qx_slots(entry)[2] : nullptr;
            entry = qx_slots(entry)[1];
        }
        long join_kind = join ? kind_of(join) : 0;
        if (join) {
            if (join_kind != QX_NODE_JOIN && join_kind != QX_NODE_LEFT_JOIN) {
                fail("a from entry's join is no join node");
                return;
            }
            if (!node(join, join_kind, 2, "a join node")) return;
            if (index == 0) {
                fail("the first from entry cannot join");
                return;
            }
            out_ += join_kind == QX_NODE_LEFT_JOIN ? " LEFT JOIN " : " JOIN ";
        } else {
            out_ += index ? ", " : " FROM ";
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
        if (join && qx_slots(join)[1]) {
            out_ += " ON ";
            expression(qx_slots(join)[1], kOr);
        }
    }

    void literal_integer(int64_t n) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%" PRId64, n);
        out_ += buf;
    }

    // How tightly an expression binds as the compiler writes it.
    static Precedence precedence_of(qx_value v) {
        if (qx_is_inline(v)) return static_cast<int64_t>(reinterpret_cast<uintptr_t>(v)) < 0 ? kUnary : kPrimary;
        switch (qx_tag_of(v)) {
            case QX_TAG_INTEGER: return qx_unbox(v) < 0 ? kUnary : kPrimary;
            case QX_TAG_DOUBLE:
            case QX_TAG_FLOAT: return std::signbit(qx_unbox_double(v)) ? kUnary : kPrimary;
            case QX_TAG_ARRAY: break;
            default: return kPrimary;
        }
        long kind = kind_of(v);
        if (const Operator *op = binary_operator(kind)) return op->precedence;
        switch (kind) {
            case QX_NODE_NOT: return kNot;
            case QX_NODE_NEGATE: return kUnary;
            case QX_NODE_IS_NULL:
            case QX_NODE_IS_NOT_NULL:
            case QX_NODE_LIKE:
            case QX_NODE_NOT_LIKE:
            case QX_NODE_IN:
            case QX_NODE_NOT_IN: return kEquality;
            default: return kPrimary;
        }
    }

    // An expression in a place that needs at least `min` precedence: in parentheses
    // when it binds more loosely.
    void expression(qx_value v, int min) {
        if (!ok_ || !enter()) return;
        bool parenthesize = precedence_of(v) < min;
        if (parenthesize) {
            if (!hold(kStackPerParenthesis)) return;
            out_ += '(';
        }
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
        if (parenthesize) {
            out_ += ')';
            stack_ -= kStackPerParenthesis;
        }
        --depth_;
    }

    // A prefix operator and its operand, which waits on SQLite's stack.
    void prefix(const char *op, qx_value operand, int min) {
        if (!hold(kStackPerPrefix)) return;
        out_ += op;
        size_t at = out_.size();
        expression(operand, min);
        // "- -1" must not read as "--", the start of a comment.
        if (ok_ && out_.compare(at, 1, "-") == 0 && out_[at - 1] == '-') out_.insert(at, " ");
        stack_ -= kStackPerPrefix;
    }

    void arguments(qx_value args, const char *what) {
        if (!list(args, what)) return;
        for (size_t i = 0; ok_ && i < qx_slot_count(args); ++i) {
            if (i) out_ += ", ";
            expression(qx_slots(args)[i], kOr);
        }
    }

    void node_expression(qx_value v) {
        long kind = kind_of(v);
        qx_value *slot = qx_slots(v);
        if (const Operator *op = binary_operator(kind)) {
            if (!node(v, kind, 3, op->what)) return;
            // Left-associative: the left operand may bind as loosely as the operator.
            expression(slot[1], op->precedence);
            out_ += op->text;
            expression(slot[2], op->precedence + 1);
            return;
        }
        switch (kind) {
            case QX_NODE_NOT:
                if (node(v, kind, 2, "a negation node")) prefix("NOT ", slot[1], kNot);
                return;
            case QX_NODE_NEGATE:
                if (node(v, kind, 2, "a sign node")) prefix("-", slot[1], kUnary);
                return;
            case QX_NODE_EXISTS:
                if (!node(v, kind, 3, "an existence node")) return;
                out_ += "EXISTS ";
                subquery(slot[2]);
                return;
            case QX_NODE_SUBQUERY:
                if (node(v, kind, 2, "a subquery node")) subquery(slot[1]);
                return;
            case QX_NODE_IS_NULL:
            case QX_NODE_IS_NOT_NULL:
                if (!node(v, kind, 2, "a null test node")) return;
                expression(slot[1], kEquality);
                out_ += kind == QX_NODE_IS_NULL ? " IS NULL" : " IS NOT NULL";
                return;
            case QX_NODE_LIKE:
            case QX_NODE_NOT_LIKE:
                if (!node(v, kind, 4, "a pattern node")) return;
                expression(slot[1], kEquality);
                out_ += kind == QX_NODE_LIKE ? " LIKE " : " NOT LIKE ";
                expression(slot[2], kBitwise);
                if (ok_ && slot[3]) {
                    out_ += " ESCAPE ";
                    expression(slot[3], kBitwise);
                }
                return;
            case QX_NODE_IN:
            case QX_NODE_NOT_IN:
                if (!node(v, kind, 4, "a membership node")) return;
                expression(slot[1], kEquality);
                out_ += kind == QX_NODE_IN ? " IN " : " NOT IN ";
                if (slot[3]) {
                    subquery(slot[3]);
                } else if (slot[2]) {
                    if (!hold(kStackPerList)) return;
                    out_ += '(';
                    arguments(slot[2], "an IN list");
                    out_ += ')';
                    stack_ -= kStackPerList;
                } else {
                    fail("a membership node needs a list or a query");
                }
                return;
            case QX_NODE_FUNCTION: {
                if (!node(v, kind, 4, "a function node")) return;
                std::string fn;
                if (!text(slot[1], &fn, "a function name")) return;
                name(fn);
                if (!hold(kStackPerList)) return;
                out_ += slot[3] ? "(DISTINCT " : "(";
                arguments(slot[2], "a function's argument list");
                out_ += ')';
                stack_ -= kStackPerList;
                return;
            }
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

namespace qx {

bool compile_query(qx_value tree, std::string *out, std::string *error, const QueryVisitor &visit_query) {
    return Compiler(visit_query).compile(tree, out, error);
}

}  // namespace qx

extern "C" {

qx_value qx_query_text(qx_value tree, qx_value *error_out) {
    if (error_out) *error_out = nullptr;
    std::string sql, why;
    if (qx::compile_query(tree, &sql, &why)) {
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
