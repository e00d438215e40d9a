// The parser of select queries into parse trees (see quendrix/query_tree.h).
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "internal.h"
#include "quendrix/query_tree.h"

namespace {

constexpr int kMaxDepth = 200;

// Words that end or extend a clause; unquoted they are never names.
const char *const kReserved[] = {
    "ALL",   "AND",   "AS",    "BETWEEN", "BY",      "CASE",      "CROSS", "DISTINCT",
    "EXCEPT", "EXISTS", "FROM", "GROUP",  "HAVING",  "IN",        "INNER", "INTERSECT",
    "IS",    "JOIN",  "LEFT",  "LIKE",    "LIMIT",   "NATURAL",   "NOT",   "NULL",
    "OFFSET", "ON",   "OR",    "ORDER",   "RIGHT",   "SELECT",    "UNION", "USING",
    "WHERE",
};

enum class Tok { End, Name, String, Integer, Real, Symbol };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // a name (upper case unless quoted), string contents or symbol
    bool quoted = false;
    int64_t integer = 0;
    double real = 0;
    size_t at = 0;  // offset in the text, for messages
};

qx_value kind_of(int kind) { return qx_box_int64(kind); }

// A value that frees what it holds unless released.
class Owned {
public:
    explicit Owned(qx_value v = nullptr) : v_(v) {}
    ~Owned() { qx_free_tree(v_); }
    Owned(Owned &&o) noexcept : v_(o.release()) {}
    Owned &operator=(Owned &&o) noexcept {
        if (this != &o) {
            qx_free_tree(v_);
            v_ = o.release();
        }
        return *this;
    }
    qx_value get() const { return v_; }
    qx_value release() {
        qx_value v = v_;
        v_ = nullptr;
        return v;
    }

private:
    qx_value v_;
};

class Parser {
public:
    explicit Parser(const char *sql) : s_(sql) {}

    qx_value parse(std::string *error) {
        next();
        Owned q;
        if (ok_) q = query();
        if (ok_ && tok_.kind == Tok::Symbol && tok_.text == ";") next();
        if (ok_ && tok_.kind != Tok::End) fail("unexpected " + describe(tok_));
        if (!ok_) {
            *error = error_;
            return nullptr;
        }
        return q.release();
    }

private:
    const char *s_;
    size_t pos_ = 0;
    Token tok_;
    bool ok_ = true;
    std::string error_;
    int depth_ = 0;

    void fail(const std::string &why) {
        if (!ok_) return;
        ok_ = false;
        error_ = why;
    }

    static std::string describe(const Token &t) {
        switch (t.kind) {
            case Tok::End: return "end of text";
            case Tok::String: return "string '" + t.text + "'";
            case Tok::Name: return t.quoted ? "\"" + t.text + "\"" : t.text;
            default: return "\"" + t.text + "\"";
        }
    }

    // Reads the next token into tok_.
    void next() {
        tok_ = Token();
        for (;;) {
            while (s_[pos_] && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            if (s_[pos_] == '-' && s_[pos_ + 1] == '-') {
                while (s_[pos_] && s_[pos_] != '\n') ++pos_;
            } else if (s_[pos_] == '/' && s_[pos_ + 1] == '*') {
                const char *end = std::strstr(s_ + pos_ + 2, "*/");
                pos_ = end ? static_cast<size_t>(end - s_) + 2 : std::strlen(s_);
            } else {
                break;
            }
        }
        tok_.at = pos_;
        char c = s_[pos_];
        if (!c) return;
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
            static_cast<unsigned char>(c) >= 0x80) {
            size_t start = pos_;
            while (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_' ||
                   s_[pos_] == '$' || static_cast<unsigned char>(s_[pos_]) >= 0x80)
                ++pos_;
            tok_.kind = Tok::Name;
            tok_.text.assign(s_ + start, pos_ - start);
            for (char &ch : tok_.text)
                if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
            return;
        }
        if (c == '"' || c == '\'') {
            tok_.kind = c == '"' ? Tok::Name : Tok::String;
            tok_.quoted = true;
            ++pos_;
            for (;;) {
                if (!s_[pos_]) {
                    fail(std::string("unterminated ") + (c == '"' ? "quoted name" : "string"));
                    return;
                }
                if (s_[pos_] == c) {
                    if (s_[pos_ + 1] != c) break;
                    ++pos_;
                }
                tok_.text += s_[pos_++];
            }
            ++pos_;
            if (tok_.kind == Tok::Name && tok_.text.empty()) fail("empty quoted name");
            return;
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            (c == '.' && std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])))) {
            size_t start = pos_;
            while (std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            bool real = false;
            if (s_[pos_] == '.') {
                real = true;
                ++pos_;
                while (std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
            }
            if (s_[pos_] == 'e' || s_[pos_] == 'E') {
                size_t e = pos_ + 1;
                if (s_[e] == '+' || s_[e] == '-') ++e;
                if (std::isdigit(static_cast<unsigned char>(s_[e]))) {
                    real = true;
                    pos_ = e;
                    while (std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
                }
            }
            tok_.text.assign(s_ + start, pos_ - start);
            if (std::isalpha(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_') {
                fail("malformed number " + tok_.text + s_[pos_]);
                return;
            }
            errno = 0;
            if (real) {
                tok_.kind = Tok::Real;
                tok_.real = std::strtod(tok_.text.c_str(), nullptr);
                // Too large a number reads as infinity, which no SQL literal can carry.
                if (!std::isfinite(tok_.real)) fail("number " + tok_.text + " is out of the double range");
            } else {
                tok_.kind = Tok::Integer;
                tok_.integer = std::strtoll(tok_.text.c_str(), nullptr, 10);
                if (errno == ERANGE) fail("integer " + tok_.text + " is out of the 64-bit range");
            }
            return;
        }
        static const char *const two_char[] = {"<>", "<=", ">=", "!=", "=="};
        for (const char *op : two_char) {
            if (c == op[0] && s_[pos_ + 1] == op[1]) {
                tok_.kind = Tok::Symbol;
                tok_.text = op;
                pos_ += 2;
                return;
            }
        }
        if (std::strchr("=<>(),.*;-", c)) {
            tok_.kind = Tok::Symbol;
            tok_.text = std::string(1, c);
            ++pos_;
            return;
        }
        fail(std::string("unexpected character '") + c + "'");
    }

    bool is_word(const char *w) const {
        return tok_.kind == Tok::Name && !tok_.quoted && tok_.text == w;
    }
    bool is_symbol(const char *sym) const { return tok_.kind == Tok::Symbol && tok_.text == sym; }
    bool reserved() const {
        if (tok_.kind != Tok::Name || tok_.quoted) return false;
        for (const char *w : kReserved)
            if (tok_.text == w) return true;
        return false;
    }
    bool is_name() const { return tok_.kind == Tok::Name && !reserved(); }

    void expect_symbol(const char *sym) {
        if (!ok_) return;
        if (!is_symbol(sym)) {
            fail(std::string("expected \"") + sym + "\" near " + describe(tok_));
            return;
        }
        next();
    }

    // A name, for messages when something else came.
    std::string expect_name(const char *what) {
        if (!ok_) return "";
        if (!is_name()) {
            fail(std::string("expected ") + what + " near " + describe(tok_));
            return "";
        }
        std::string n = tok_.text;
        next();
        return n;
    }

    Owned query() {
        if (!is_word("SELECT")) {
            fail("expected SELECT near " + describe(tok_));
            return Owned();
        }
        if (++depth_ > kMaxDepth) {
            fail("query nested too deeply");
            return Owned();
        }
        next();
        Owned distinct;
        if (is_word("DISTINCT")) {
            distinct = Owned(qx_box_int64(1));
            next();
        } else if (is_word("ALL")) {
            next();
        }
        std::vector<Owned> items;
        do {
            if (!items.empty()) next();
            if (is_symbol("*")) {
                next();
                items.emplace_back(column(nullptr, "*"));
            } else {
                items.push_back(expression());
            }
        } while (ok_ && is_symbol(","));
        for (const Owned &item : items)
            if (ok_ && !is_star(item.get()) && holds_star(item.get()))
                fail("name.* stands only as a selection item of its own");
        Owned from_where;
        if (ok_ && (is_word("FROM") || is_word("WHERE"))) from_where = from_and_where();
        Owned selection = list_of(items);
        --depth_;
        if (!ok_) return Owned();
        return Owned(qx_list(5, kind_of(QX_NODE_QUERY), distinct.release(), selection.release(),
                             nullptr, from_where.release()));
    }

    Owned from_and_where() {
        std::vector<Owned> entries;
        if (is_word("FROM")) {
            do {
                next();
                entries.push_back(from_entry());
            } while (ok_ && is_symbol(","));
        }
        Owned where;
        if (ok_ && is_word("WHERE")) {
            next();
            where = expression();
            // A where condition of the integer 0 would read as "no condition":
            // keep its meaning as NOT 1.
            if (ok_ && !where.get()) where = Owned(qx_list(2, kind_of(QX_NODE_NOT), qx_box_int64(1)));
            if (ok_ && holds_star(where.get())) fail("name.* cannot stand in a condition");
        }
        Owned from = list_of(entries);
        if (!ok_) return Owned();
        return Owned(qx_list(9, kind_of(QX_NODE_FROM_WHERE), from.release(), where.release(),
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    }

    Owned from_entry() {
        std::string name = expect_name("a table name");
        while (ok_ && is_symbol(".")) {
            next();
            name += "." + expect_name("a table name");
        }
        Owned correlation;
        if (ok_ && is_word("AS")) {
            next();
            correlation = Owned(qx_box_string(expect_name("a correlation name").c_str()));
        } else if (ok_ && is_name()) {
            correlation = Owned(qx_box_string(tok_.text.c_str()));
            next();
        }
        if (!ok_) return Owned();
        qx_value table = qx_list(5, kind_of(QX_NODE_TABLE), qx_box_string(name.c_str()),
                                 correlation.release(), qx_box_int64(0), qx_box_int64(0));
        return Owned(qx_list(3, kind_of(QX_NODE_FROM_ENTRY), table, nullptr));
    }

    static Owned column(const char *qualifier, const char *name) {
        return Owned(qx_list(3, kind_of(QX_NODE_COLUMN), qualifier ? qx_box_string(qualifier) : nullptr,
                             qx_box_string(name)));
    }

    // Whether v is a column node for all columns (name "*").
    static bool is_star(qx_value v) {
        if (qx_is_inline(v) || qx_tag_of(v) != QX_TAG_ARRAY || qx_slot_count(v) < 3 ||
            qx_slots(v)[0] != kind_of(QX_NODE_COLUMN))
            return false;
        qx_value name = qx_slots(v)[2];
        return qx_length_of(name) == 1 && *static_cast<const char *>(name) == '*';
    }

    // Whether an all-columns node stands anywhere in this condition, where the
    // compiled text could not carry it. A subquery's own selection is its own.
    static bool holds_star(qx_value v) {
        if (is_star(v)) return true;
        if (qx_is_inline(v) || qx_tag_of(v) != QX_TAG_ARRAY || qx_slot_count(v) < 2) return false;
        qx_value kind = qx_slots(v)[0];
        if (kind == kind_of(QX_NODE_EXISTS) || kind == kind_of(QX_NODE_COLUMN)) return false;
        for (size_t i = 1; i < qx_slot_count(v); ++i)
            if (holds_star(qx_slots(v)[i])) return true;
        return false;
    }

    static Owned list_of(std::vector<Owned> &items) {
        qx_value list = qx_alloc(items.size() * sizeof(qx_value), QX_TAG_ARRAY);
        if (list)
            for (size_t i = 0; i < items.size(); ++i) qx_slots(list)[i] = items[i].release();
        return Owned(list);
    }

    Owned binary(int kind, Owned left, Owned right) {
        if (!ok_) return Owned();
        return Owned(qx_list(4, kind_of(kind), left.release(), right.release(), nullptr));
    }

    Owned expression() {
        if (++depth_ > kMaxDepth) {
            fail("condition nested too deeply");
            return Owned();
        }
        Owned left = conjunction();
        while (ok_ && is_word("OR")) {
            next();
            Owned right = conjunction();
            left = binary(QX_NODE_OR, std::move(left), std::move(right));
        }
        --depth_;
        return left;
    }

    Owned conjunction() {
        Owned left = negation();
        while (ok_ && is_word("AND")) {
            next();
            Owned right = negation();
            left = binary(QX_NODE_AND, std::move(left), std::move(right));
        }
        return left;
    }

    Owned negation() {
        if (!is_word("NOT")) return comparison();
        if (++depth_ > kMaxDepth) {
            fail("condition nested too deeply");
            return Owned();
        }
        next();
        Owned operand = negation();
        --depth_;
        if (!ok_) return Owned();
        return Owned(qx_list(2, kind_of(QX_NODE_NOT), operand.release()));
    }

    struct Op {
        const char *symbol;
        int kind;
    };

    Owned comparison() {
        Owned left = operand();
        static const Op ops[] = {{"=", QX_NODE_EQ},  {"==", QX_NODE_EQ}, {"<>", QX_NODE_NE},
                                {"!=", QX_NODE_NE}, {"<", QX_NODE_LT},  {"<=", QX_NODE_LE},
                                {">", QX_NODE_GT},  {">=", QX_NODE_GE}};
        for (const Op &op : ops) {
            if (ok_ && is_symbol(op.symbol)) {
                next();
                Owned right = operand();
                return binary(op.kind, std::move(left), std::move(right));
            }
        }
        return left;
    }

    Owned operand() {
        if (!ok_) return Owned();
        switch (tok_.kind) {
            case Tok::Integer: {
                Owned v(qx_box_int64(tok_.integer));
                next();
                return v;
            }
            case Tok::Real: {
                Owned v(qx_box_double(tok_.real));
                next();
                return v;
            }
            case Tok::String: {
                Owned v(qx_box_bytes(tok_.text.data(), tok_.text.size(), QX_TAG_STRING));
                next();
                return v;
            }
            default:
                break;
        }
        if (is_symbol("-")) {
            next();
            if (tok_.kind == Tok::Integer) {
                int64_t n = -tok_.integer;  // the token is never negative
                next();
                return Owned(qx_box_int64(n));
            }
            if (tok_.kind == Tok::Real) {
                double d = -tok_.real;
                next();
                return Owned(qx_box_double(d));
            }
            fail("expected a number after \"-\" near " + describe(tok_));
            return Owned();
        }
        if (is_word("NULL")) {
            next();
            return Owned(qx_alloc(0, QX_TAG_NULL));
        }
        if (is_word("EXISTS")) {
            next();
            expect_symbol("(");
            Owned q = ok_ ? query() : Owned();
            expect_symbol(")");
            if (!ok_) return Owned();
            return Owned(qx_list(5, kind_of(QX_NODE_EXISTS), nullptr, q.release(), nullptr, nullptr));
        }
        if (is_symbol("(")) {
            next();
            if (is_word("SELECT")) {
                fail("subqueries are supported only after EXISTS");
                return Owned();
            }
            Owned e = expression();
            expect_symbol(")");
            return ok_ ? std::move(e) : Owned();
        }
        if (!is_name()) {
            fail("expected a column or a literal near " + describe(tok_));
            return Owned();
        }
        std::vector<std::string> parts{tok_.text};
        bool all_columns = false;
        next();
        if (is_symbol("(")) {
            fail("function calls are not supported: " + parts[0]);
            return Owned();
        }
        while (ok_ && is_symbol(".")) {
            next();
            if (is_symbol("*")) {
                next();
                parts.push_back("*");
                all_columns = true;
                break;
            }
            parts.push_back(expect_name("a column name"));
        }
        // A tree names all columns by "*": a quoted name "*" would turn into them.
        if (ok_ && !all_columns && parts.back() == "*") fail("\"*\" cannot be a column name");
        if (!ok_) return Owned();
        std::string qualifier;
        for (size_t i = 0; i + 1 < parts.size(); ++i) qualifier += (i ? "." : "") + parts[i];
        return column(parts.size() > 1 ? qualifier.c_str() : nullptr, parts.back().c_str());
    }
};

}  // namespace

extern "C" {

qx_value qx_query_parse(const char *sql, qx_value *error_out) {
    if (error_out) *error_out = nullptr;
    std::string why;
    qx_value tree = sql ? Parser(sql).parse(&why) : nullptr;
    if (!sql) why = "no query text";
    if (tree) return tree;
    qx_value err = qx_error_new("42000", nullptr, "sql_parse: %s", why.c_str());
    if (error_out)
        *error_out = err;
    else
        qx_free_tree(err);
    return nullptr;
}

}  // extern "C"
