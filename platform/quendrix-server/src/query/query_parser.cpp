// The parser of select queries into parse trees (see quendrix/query_tree.h).
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "internal.h"
#include "quendrix/query_tree.h"
#include "query/query_compiler.h"

namespace {

constexpr int kMaxDepth = 200;

// Words that end or extend a clause; unquoted they are never names.
const char *const kReserved[] = {
    "ALL",   "AND",   "AS",    "ASC",     "BETWEEN", "BY",        "CASE",  "CROSS",  "DESC", "DISTINCT", "ESCAPE",
    "EXCEPT", "EXISTS", "FROM", "GROUP",  "HAVING",  "IN",        "INNER", "INTERSECT",
    "IS",    "JOIN",  "LEFT",  "LIKE",    "LIMIT",   "NATURAL",   "NOT",   "NULL",
    "OFFSET", "ON",   "OR",    "ORDER",   "OUTER",   "RIGHT",   "SELECT",    "UNION", "USING",
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
        // A tree the compiler cannot write (one nested too deeply for SQLite) is refused
        // here, so that every query this parser accepts runs.
        std::string text, why;
        if (ok_ && !qx::compile_query(q.get(), &text, &why)) fail(why);
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
        static const char *const two_char[] = {"<>", "<=", ">=", "!=", "==", "||"};
        for (const char *op : two_char) {
            if (c == op[0] && s_[pos_ + 1] == op[1]) {
                tok_.kind = Tok::Symbol;
                tok_.text = op;
                pos_ += 2;
                return;
            }
        }
        if (std::strchr("=<>(),.*;-+/%", c)) {
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
                Owned item = expression();
                if (ok_ && !is_star(item.get()) && holds_star(item.get()))
                    fail("name.* stands only as a selection item of its own");
                if (ok_ && (is_word("AS") || is_name())) {
                    if (is_star(item.get())) fail("name.* takes no alias");
                    if (is_word("AS")) next();
                    std::string alias = expect_name("a column alias");
                    if (ok_)
                        item = Owned(qx_list(3, kind_of(QX_NODE_ALIAS), item.release(),
                                             qx_box_string(alias.c_str())));
                }
                items.push_back(std::move(item));
            }
        } while (ok_ && is_symbol(","));
        Owned from_where;
        if (ok_ && (is_word("FROM") || is_word("WHERE"))) from_where = from_and_where();
        Owned group, having, order, limit;
        if (ok_ && is_word("GROUP")) {
            next();
            if (!is_word("BY")) fail("expected BY near " + describe(tok_));
            group = expression_list();
        }
        if (ok_ && is_word("HAVING")) {
            if (!group.get()) fail("HAVING needs a GROUP BY list");
            next();
            having = condition();
        }
        if (ok_ && is_word("ORDER")) {
            next();
            if (!is_word("BY")) fail("expected BY near " + describe(tok_));
            order = order_list();
        }
        if (ok_ && is_word("LIMIT")) limit = limit_clause();
        Owned selection = list_of(items);
        --depth_;
        if (!ok_) return Owned();
        if (group.get() || order.get() || limit.get())
            return Owned(qx_list(9, kind_of(QX_NODE_QUERY), distinct.release(), selection.release(),
                                 nullptr, from_where.release(), group.release(), having.release(),
                                 order.release(), limit.release()));
        return Owned(qx_list(5, kind_of(QX_NODE_QUERY), distinct.release(), selection.release(),
                             nullptr, from_where.release()));
    }

    // A where, having or ON condition. One of the integer 0 would read as "no
    // condition": keep its meaning as NOT 1.
    Owned condition() {
        Owned c = expression();
        if (ok_ && !c.get()) c = Owned(qx_list(2, kind_of(QX_NODE_NOT), qx_box_int64(1)));
        if (ok_ && holds_star(c.get())) fail("name.* cannot stand in a condition");
        return c;
    }

    // The expressions after GROUP BY (the current token is BY).
    Owned expression_list() {
        std::vector<Owned> items;
        do {
            next();
            items.push_back(expression());
            if (ok_ && holds_star(items.back().get())) fail("name.* cannot stand in a GROUP BY list");
        } while (ok_ && is_symbol(","));
        return ok_ ? list_of(items) : Owned();
    }

    // The items after ORDER BY (the current token is BY): an expression, or an
    // ordering node when it is DESC.
    Owned order_list() {
        std::vector<Owned> items;
        do {
            next();
            Owned e = expression();
            if (ok_ && holds_star(e.get())) fail("name.* cannot stand in an ORDER BY list");
            if (ok_ && is_word("ASC")) {
                next();
            } else if (ok_ && is_word("DESC")) {
                next();
                e = Owned(qx_list(3, kind_of(QX_NODE_ORDER), e.release(), qx_box_int64(1)));
            }
            items.push_back(std::move(e));
        } while (ok_ && is_symbol(","));
        return ok_ ? list_of(items) : Owned();
    }

    Owned limit_clause() {
        next();
        Owned count = expression();
        Owned offset;
        if (ok_ && is_word("OFFSET")) {
            next();
            offset = expression();
        } else if (ok_ && is_symbol(",")) {
            fail("LIMIT takes OFFSET, not a comma");
        }
        if (ok_ && (holds_star(count.get()) || holds_star(offset.get()))) fail("name.* cannot stand in LIMIT");
        if (!ok_) return Owned();
        return Owned(qx_list(3, kind_of(QX_NODE_LIMIT), count.release(), offset.release()));
    }

    Owned from_and_where() {
        std::vector<Owned> entries;
        if (is_word("FROM")) {
            next();
            entries.push_back(from_entry(nullptr));
            for (;;) {
                if (!ok_) break;
                if (is_symbol(",")) {
                    next();
                    entries.push_back(from_entry(nullptr));
                    continue;
                }
                int join = join_kind();
                if (!join) break;
                entries.push_back(from_entry(&join));
            }
        }
        Owned where;
        if (ok_ && is_word("WHERE")) {
            next();
            where = condition();
        }
        Owned from = list_of(entries);
        if (!ok_) return Owned();
        return Owned(qx_list(9, kind_of(QX_NODE_FROM_WHERE), from.release(), where.release(),
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    }

    // At JOIN, INNER JOIN, CROSS JOIN or LEFT [OUTER] JOIN: reads it and returns the
    // join node's kind; 0 elsewhere.
    int join_kind() {
        int kind = QX_NODE_JOIN;
        if (is_word("INNER") || is_word("CROSS")) {
            next();
        } else if (is_word("LEFT")) {
            next();
            if (is_word("OUTER")) next();
            kind = QX_NODE_LEFT_JOIN;
        } else if (!is_word("JOIN")) {
            return 0;
        }
        if (!is_word("JOIN")) {
            fail("expected JOIN near " + describe(tok_));
            return 0;
        }
        next();
        return kind;
    }

    // A from entry; a joined one (join_kind set) carries its join node in slot 2.
    Owned from_entry(const int *join_kind) {
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
        Owned join;
        if (ok_ && join_kind) {
            Owned on;
            if (is_word("ON")) {
                next();
                on = condition();
            }
            if (ok_) join = Owned(qx_list(2, kind_of(*join_kind), on.release()));
        }
        if (!ok_) return Owned();
        qx_value table = qx_list(5, kind_of(QX_NODE_TABLE), qx_box_string(name.c_str()),
                                 correlation.release(), qx_box_int64(0), qx_box_int64(0));
        return Owned(qx_list(3, kind_of(QX_NODE_FROM_ENTRY), table, join.release()));
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
        if (kind == kind_of(QX_NODE_EXISTS) || kind == kind_of(QX_NODE_COLUMN) ||
            kind == kind_of(QX_NODE_SUBQUERY) || kind == kind_of(QX_NODE_FUNCTION) ||
            kind == kind_of(QX_NODE_IN) || kind == kind_of(QX_NODE_NOT_IN))
            return holds_star_in_operand(v);
        if (kind == kind_of(QX_NODE_ALIAS)) return holds_star(qx_slots(v)[1]);
        for (size_t i = 1; i < qx_slot_count(v); ++i)
            if (holds_star(qx_slots(v)[i])) return true;
        return false;
    }

    // The parts of a subquery, function or membership node outside its own query and
    // count(*): an IN operand or a function argument other than a lone "*".
    static bool holds_star_in_operand(qx_value v) {
        qx_value kind = qx_slots(v)[0];
        if (kind == kind_of(QX_NODE_IN) || kind == kind_of(QX_NODE_NOT_IN)) {
            if (holds_star(qx_slots(v)[1])) return true;
            qx_value values = qx_slots(v)[2];
            for (size_t i = 0; values && i < qx_slot_count(values); ++i)
                if (holds_star(qx_slots(values)[i])) return true;
            return false;
        }
        if (kind == kind_of(QX_NODE_FUNCTION)) {
            qx_value args = qx_slots(v)[2];
            for (size_t i = 0; i < qx_slot_count(args); ++i) {
                qx_value a = qx_slots(args)[i];
                bool lone_star = is_star(a) && qx_slot_count(args) == 1 && !qx_slots(a)[1];
                if (!lone_star && holds_star(a)) return true;
            }
        }
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

    struct Op {
        const char *symbol;
        int kind;
    };

    // Counts one more level of nesting (a parenthesis, a subquery, an operator of a
    // chain); false, with the parse failed, past the limit that keeps the tree within
    // what the compiler and SQLite read.
    bool deeper(int levels = 1) {
        depth_ += levels;
        if (depth_ > kMaxDepth) {
            fail("condition nested too deeply");
            return false;
        }
        return true;
    }

    // A chain of left-associative operators of one precedence: operand (op operand)*.
    template <typename Next>
    Owned chain(Next next_level, const Op *ops, size_t n_ops) {
        Owned left = (this->*next_level)();
        int links = 0;
        for (;;) {
            const Op *found = nullptr;
            for (size_t i = 0; ok_ && i < n_ops; ++i)
                if (std::isalpha(static_cast<unsigned char>(ops[i].symbol[0])) ? is_word(ops[i].symbol)
                                                                             : is_symbol(ops[i].symbol))
                    found = &ops[i];
            if (!found) break;
            ++links;
            if (!deeper()) break;
            next();
            Owned right = (this->*next_level)();
            left = binary(found->kind, std::move(left), std::move(right));
        }
        depth_ -= links;
        return left;
    }

    Owned expression() {
        if (!deeper()) return Owned();
        static const Op ops[] = {{"OR", QX_NODE_OR}};
        Owned e = chain(&Parser::conjunction, ops, 1);
        --depth_;
        return e;
    }

    Owned conjunction() {
        static const Op ops[] = {{"AND", QX_NODE_AND}};
        return chain(&Parser::negation, ops, 1);
    }

    Owned negation() {
        if (!is_word("NOT")) return predicate();
        if (!deeper()) return Owned();
        next();
        Owned operand = negation();
        --depth_;
        if (!ok_) return Owned();
        return Owned(qx_list(2, kind_of(QX_NODE_NOT), operand.release()));
    }

    // A comparison, IS [NOT] NULL, [NOT] LIKE or [NOT] IN on an arithmetic operand.
    Owned predicate() {
        Owned left = additive();
        static const Op ops[] = {{"=", QX_NODE_EQ},  {"==", QX_NODE_EQ}, {"<>", QX_NODE_NE},
                                {"!=", QX_NODE_NE}, {"<", QX_NODE_LT},  {"<=", QX_NODE_LE},
                                {">", QX_NODE_GT},  {">=", QX_NODE_GE}};
        for (const Op &op : ops) {
            if (ok_ && is_symbol(op.symbol)) {
                next();
                Owned right = additive();
                return binary(op.kind, std::move(left), std::move(right));
            }
        }
        if (!ok_) return Owned();
        if (is_word("IS")) {
            next();
            bool negated = is_word("NOT");
            if (negated) next();
            if (!is_word("NULL")) {
                fail("expected NULL after IS near " + describe(tok_));
                return Owned();
            }
            next();
            return Owned(qx_list(2, kind_of(negated ? QX_NODE_IS_NOT_NULL : QX_NODE_IS_NULL),
                                 left.release()));
        }
        bool negated = false;
        if (is_word("NOT")) {
            next();
            negated = true;
            if (!is_word("LIKE") && !is_word("IN")) {
                fail("expected LIKE or IN after NOT near " + describe(tok_));
                return Owned();
            }
        }
        if (is_word("LIKE")) {
            next();
            Owned pattern = additive();
            Owned escape;
            if (ok_ && is_word("ESCAPE")) {
                next();
                escape = additive();
            }
            if (!ok_) return Owned();
            return Owned(qx_list(4, kind_of(negated ? QX_NODE_NOT_LIKE : QX_NODE_LIKE), left.release(),
                                 pattern.release(), escape.release()));
        }
        if (is_word("IN")) return membership(std::move(left), negated);
        return left;
    }

    // [NOT] IN (value, ...) or [NOT] IN (query); the current token is IN.
    Owned membership(Owned operand, bool negated) {
        next();
        expect_symbol("(");
        if (!ok_ || !deeper()) return Owned();
        Owned values, q;
        if (is_word("SELECT")) {
            q = query();
        } else {
            std::vector<Owned> items;
            while (ok_ && !is_symbol(")")) {
                if (!items.empty()) expect_symbol(",");
                items.push_back(expression());
            }
            values = list_of(items);
        }
        --depth_;
        expect_symbol(")");
        if (!ok_) return Owned();
        return Owned(qx_list(4, kind_of(negated ? QX_NODE_NOT_IN : QX_NODE_IN), operand.release(),
                             values.release(), q.release()));
    }

    Owned additive() {
        static const Op ops[] = {{"+", QX_NODE_ADD}, {"-", QX_NODE_SUBTRACT}};
        return chain(&Parser::multiplicative, ops, 2);
    }

    Owned multiplicative() {
        static const Op ops[] = {{"*", QX_NODE_MULTIPLY}, {"/", QX_NODE_DIVIDE}, {"%", QX_NODE_MODULO}};
        return chain(&Parser::concatenation, ops, 3);
    }

    Owned concatenation() {
        static const Op ops[] = {{"||", QX_NODE_CONCAT}};
        return chain(&Parser::unary, ops, 1);
    }

    // A sign before a number makes a negative literal; before anything else, a sign node.
    Owned unary() {
        if (!ok_) return Owned();
        if (is_symbol("+")) {
            next();
            return unary();
        }
        if (!is_symbol("-")) return operand();
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
        if (!deeper()) return Owned();
        Owned e = unary();
        --depth_;
        if (!ok_) return Owned();
        return Owned(qx_list(2, kind_of(QX_NODE_NEGATE), e.release()));
    }

    // name(arguments) after the name; the current token is "(".
    Owned function_call(const std::string &fn) {
        next();
        if (!deeper()) return Owned();
        Owned distinct;
        std::vector<Owned> args;
        if (is_word("DISTINCT")) {
            next();
            distinct = Owned(qx_box_int64(1));
        }
        if (is_symbol("*") && !distinct.get()) {
            next();
            args.push_back(column(nullptr, "*"));
        } else {
            while (ok_ && !is_symbol(")")) {
                if (!args.empty()) expect_symbol(",");
                args.push_back(expression());
                if (ok_ && holds_star(args.back().get())) fail("name.* cannot be an argument");
            }
            if (ok_ && distinct.get() && args.size() != 1)
                fail("DISTINCT in a call takes exactly one argument");
        }
        --depth_;
        expect_symbol(")");
        Owned list = list_of(args);
        if (!ok_) return Owned();
        return Owned(qx_list(4, kind_of(QX_NODE_FUNCTION), qx_box_string(fn.c_str()), list.release(),
                             distinct.release()));
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
                Owned q = query();
                expect_symbol(")");
                if (!ok_) return Owned();
                return Owned(qx_list(2, kind_of(QX_NODE_SUBQUERY), q.release()));
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
        if (is_symbol("(")) return function_call(parts[0]);
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
