#include "network/inferred_types.h"

#include <sqlite3.h>
#include <string.h>
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "network/pg_types.h"
#include "sql/pg_catalogue.h"
#include "sql/sql_lexer.h"

namespace qx {
namespace pg {
namespace {

struct Token {
    enum Kind { word, param, op, punct, other } kind;
    std::string text;  // a quoted name without its quotes
    int number = 0;    // a parameter's: 0 for a named one
};

bool is_word(const Token &t, const char *keyword) {
    return t.kind == Token::word && strcasecmp(t.text.c_str(), keyword) == 0;
}

// The statement's tokens, as far as they matter here: names (quoted or not),
// parameters, operators and punctuation; strings and numbers are just "something".
std::vector<Token> tokenize(const std::string &sql) {
    std::vector<SqlToken> lexed;
    lex_sql(sql, &lexed);  // an unterminated string ends the tokens, as it ends the statement
    std::vector<Token> out;
    for (const SqlToken &t : lexed) {
        switch (t.kind) {
            case SqlToken::word:
            case SqlToken::quoted_name: out.push_back({Token::word, t.text}); break;
            case SqlToken::parameter: out.push_back({Token::param, "", t.parameter_number}); break;
            case SqlToken::op: out.push_back({Token::op, t.text}); break;
            case SqlToken::punct: out.push_back({Token::punct, t.text}); break;
            default: out.push_back({Token::other, t.text});
        }
    }
    return out;
}

bool is_comparison(const Token &t) {
    static const char *const kOps[] = {"=", "==", "<>", "!=", "<", "<=", ">", ">="};
    if (t.kind == Token::op) {
        for (const char *op : kOps)
            if (t.text == op) return true;
        return false;
    }
    return is_word(t, "IS") || is_word(t, "LIKE") || is_word(t, "GLOB");
}

bool is_punct(const std::vector<Token> &t, long at, char c) {
    return at >= 0 && at < static_cast<long>(t.size()) && t[at].kind == Token::punct && t[at].text[0] == c;
}

// Words that end a table's name where an alias could stand.
bool is_clause_word(const Token &t) {
    static const char *const kWords[] = {"WHERE", "JOIN", "ON", "USING", "INNER", "LEFT", "RIGHT", "FULL", "CROSS",
                                         "NATURAL", "OUTER", "GROUP", "ORDER", "LIMIT", "SET", "VALUES", "DEFAULT",
                                         "SELECT", "UNION", "EXCEPT", "INTERSECT", "WINDOW", "HAVING", "RETURNING",
                                         "INDEXED", "NOT", "AS", "DO", "OFFSET"};
    for (const char *w : kWords)
        if (is_word(t, w)) return true;
    return t.kind != Token::word;
}

struct TableName {
    std::string schema, name;
};

class Columns {
public:
    Columns(sqlite3 *db, const std::vector<Token> &t) : db_(db) {
        // Tables after FROM (and the commas of its list), JOIN, UPDATE and INTO, each
        // with the alias it may have.
        for (size_t i = 0; i < t.size(); ++i) {
            bool from = is_word(t[i], "FROM");
            if (!(from || is_word(t[i], "JOIN") || is_word(t[i], "UPDATE") || is_word(t[i], "INTO"))) continue;
            for (size_t at = i + 1; at < t.size() && t[at].kind == Token::word;) {
                TableName table{"", t[at].text};
                if (is_punct(t, static_cast<long>(at) + 1, '.') && at + 2 < t.size() && t[at + 2].kind == Token::word) {
                    table = {t[at].text, t[at + 2].text};
                    at += 2;
                }
                ++at;
                tables_.push_back(table);
                aliases_[upper(table.name)] = table;
                if (at < t.size() && is_word(t[at], "AS")) ++at;
                if (at < t.size() && !is_clause_word(t[at])) aliases_[upper(t[at++].text)] = table;
                if (!from || !is_punct(t, static_cast<long>(at), ',')) break;
                ++at;
            }
        }
    }

    // The declared type of column `name` (of the table that `qualifier` names, when
    // given); false when no table, or tables that disagree, have it.
    bool declared(const std::string &qualifier, const std::string &name, std::string *type) const {
        std::vector<TableName> candidates;
        if (!qualifier.empty()) {
            auto it = aliases_.find(upper(qualifier));
            if (it == aliases_.end()) return false;
            candidates.push_back(it->second);
        } else {
            candidates = tables_;
        }
        bool found = false;
        for (const TableName &table : candidates) {
            const char *decl = nullptr;
            if (sqlite3_table_column_metadata(db_, table.schema.empty() ? nullptr : table.schema.c_str(),
                                              table.name.c_str(), name.c_str(), &decl, nullptr, nullptr, nullptr,
                                              nullptr) != SQLITE_OK)
                continue;
            std::string d = decl ? decl : "";
            if (found && d != *type) return false;
            *type = d;
            found = true;
        }
        return found;
    }

    // The columns of the table an INSERT names, in order.
    std::vector<std::string> of_table(const TableName &table) const {
        std::vector<std::string> names;
        sqlite3_stmt *list = nullptr;
        std::string sql = "SELECT name FROM pragma_table_info(?1" + std::string(table.schema.empty() ? ")" : ", ?2)");
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &list, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(list, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
            if (!table.schema.empty()) sqlite3_bind_text(list, 2, table.schema.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(list) == SQLITE_ROW)
                names.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(list, 0)));
        }
        sqlite3_finalize(list);
        return names;
    }

    const std::vector<TableName> &tables() const { return tables_; }

private:
    static std::string upper(const std::string &s) {
        std::string out = s;
        for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return out;
    }

    sqlite3 *db_;
    std::vector<TableName> tables_;
    std::map<std::string, TableName> aliases_;
};

// The column that ends at token `last` (a name, or qualifier '.' name), not a call.
bool column_ending_at(const std::vector<Token> &t, long last, std::string *qualifier, std::string *name) {
    if (last < 0 || t[last].kind != Token::word) return false;
    *name = t[last].text;
    qualifier->clear();
    if (is_punct(t, last - 1, '.') && last >= 2 && t[last - 2].kind == Token::word) *qualifier = t[last - 2].text;
    return true;
}

// The column that starts at token `first`, not a call.
bool column_starting_at(const std::vector<Token> &t, long first, std::string *qualifier, std::string *name) {
    long n = static_cast<long>(t.size());
    if (first >= n || t[first].kind != Token::word) return false;
    qualifier->clear();
    long last = first;
    if (is_punct(t, first + 1, '.') && first + 2 < n && t[first + 2].kind == Token::word) {
        *qualifier = t[first].text;
        last = first + 2;
    }
    if (is_punct(t, last + 1, '(')) return false;
    *name = t[last].text;
    return true;
}

// The type a result column of a cast to the type `oid` is sent as: integers as int8,
// floats as float8, bytea, and text types as text, as the server sends their values.
int32_t sent_type(int32_t oid) {
    switch (oid) {
        case kInt2Oid: case kInt4Oid: case kInt8Oid: case kOidOid: return kInt8Oid;
        case kFloat4Oid: case kFloat8Oid: return kFloat8Oid;
        case kByteaOid: return kByteaOid;
        case kTextOid: case kVarcharOid: case kBpcharOid: case kNameOid: case kCharOid: return kTextOid;
        default: return 0;
    }
}

// The type of a select-list item `t[from, to)` that is a cast (x::int, f(x)::text, perhaps
// with an alias after it), or 0.
int32_t cast_item_type(const std::vector<Token> &t, long from, long to) {
    auto past_parentheses = [&](long open) {
        for (long depth = 0; open < to; ++open) {
            if (is_punct(t, open, '(')) ++depth;
            if (is_punct(t, open, ')') && --depth == 0) return open + 1;
        }
        return to;
    };
    // The operand: a call, a parenthesis, a (qualified) name, a literal or a parameter.
    long at = from;
    if (at + 1 < to && t[at].kind == Token::word && is_punct(t, at + 1, '(')) {
        at = past_parentheses(at + 1);
    } else if (is_punct(t, at, '(')) {
        at = past_parentheses(at);
    } else if (at < to && (t[at].kind == Token::word || t[at].kind == Token::param || t[at].kind == Token::other)) {
        for (++at; is_punct(t, at, '.') && at + 1 < to && t[at + 1].kind == Token::word;) at += 2;
    } else {
        return 0;
    }
    // Its casts, the last of which gives the type.
    int32_t type = 0;
    while (at + 1 < to && t[at].kind == Token::op && t[at].text == "::" && t[at + 1].kind == Token::word) {
        std::string name = t[at + 1].text;
        at += 2;
        if (at < to && t[at].kind == Token::word && pg_type_oid(name + " " + t[at].text)) name += " " + t[at++].text;
        if (is_punct(t, at, '(')) at = past_parentheses(at);
        type = pg_type_oid(name);
    }
    long rest = to - at;
    if (!type || !(rest == 0 || (rest == 1 && t[at].kind == Token::word && !t[at].text.empty()) ||
                   (rest == 2 && is_word(t[at], "AS"))))
        return 0;  // no cast of the whole item, or more follows (an operator, array marks)
    return sent_type(type);
}

// The type that a select-list item `t[from, to)` always has, or 0.
int32_t item_type(const std::vector<Token> &t, long from, long to) {
    if (int32_t cast = cast_item_type(t, from, to)) return cast;
    if (to - from < 3 || t[from].kind != Token::word || !is_punct(t, from + 1, '(')) return 0;
    // The call must be the whole expression, perhaps with an alias after it.
    long close = from + 1;
    for (int depth = 0; close < to; ++close) {
        if (is_punct(t, close, '(')) ++depth;
        if (is_punct(t, close, ')') && --depth == 0) break;
    }
    long rest = to - close - 1;
    if (close >= to || !(rest == 0 || (rest == 1 && t[close + 1].kind == Token::word) ||
                         (rest == 2 && is_word(t[close + 1], "AS"))))
        return 0;
    if (is_word(t[from], "count") || is_word(t[from], "length")) return kInt8Oid;
    if (is_word(t[from], "avg") || is_word(t[from], "total")) return kFloat8Oid;
    if (is_word(t[from], "cast") && close - 2 > from && is_word(t[close - 2], "AS") &&
        t[close - 1].kind == Token::word) {
        int32_t type = column_type(t[close - 1].text.c_str(), nullptr);
        // A type without an affinity of its own (NUMERIC) gives no one type.
        std::string named = t[close - 1].text;
        for (char &c : named) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return type == kTextOid && named.find("TEXT") == std::string::npos && named.find("CHAR") == std::string::npos &&
                       named.find("CLOB") == std::string::npos
                   ? 0
                   : type;
    }
    return 0;
}

// The type a parameter at token `at` is cast to ($1::int, CAST($1 AS int)): 0 when it is
// not cast, or cast to an array (bound from its text) or a type the server does not know.
int32_t cast_type(const std::vector<Token> &t, long at) {
    long n = static_cast<long>(t.size()), type = 0;
    if (at + 2 < n && t[at + 1].kind == Token::op && t[at + 1].text == "::") type = at + 2;
    else if (at >= 2 && is_punct(t, at - 1, '(') && is_word(t[at - 2], "CAST") && at + 2 < n && is_word(t[at + 1], "AS"))
        type = at + 2;
    if (!type || t[type].kind != Token::word) return 0;
    std::string name = t[type].text;
    if (type + 1 < n && t[type + 1].kind == Token::word &&
        (is_word(t[type + 1], "precision") || is_word(t[type + 1], "varying")))
        name += " " + t[++type].text;
    // An array's marks, [] or [N], are read as a quoted name.
    if (type + 1 < n && t[type + 1].kind == Token::word &&
        (t[type + 1].text.empty() || std::isdigit(static_cast<unsigned char>(t[type + 1].text[0]))))
        return 0;
    return pg_type_oid(name);
}

}  // namespace

namespace {

// The items of the first select list of `t` outside parentheses, as token ranges; false
// for a list with a '*'.
bool select_list_items(const std::vector<Token> &t, std::vector<std::pair<long, long>> *items) {
    long n = static_cast<long>(t.size()), at = 0;
    int depth = 0;
    // The first SELECT outside parentheses (after a WITH clause's).
    for (; at < n; ++at) {
        if (is_punct(t, at, '(')) ++depth;
        if (is_punct(t, at, ')')) --depth;
        if (depth == 0 && is_word(t[at], "SELECT")) break;
    }
    if (at >= n) return false;
    ++at;
    if (at < n && (is_word(t[at], "DISTINCT") || is_word(t[at], "ALL"))) ++at;
    long from = at;
    for (depth = 0; at <= n; ++at) {
        bool end = at == n || (depth == 0 && (is_word(t[at], "FROM") || is_word(t[at], "WHERE") ||
                                               is_word(t[at], "GROUP") || is_word(t[at], "ORDER") ||
                                               is_word(t[at], "LIMIT") || is_word(t[at], "UNION") ||
                                               is_word(t[at], "EXCEPT") || is_word(t[at], "INTERSECT") ||
                                               is_word(t[at], "WINDOW") || is_punct(t, at, ';')));
        if (end || (depth == 0 && is_punct(t, at, ','))) {
            items->emplace_back(from, at);
            from = at + 1;
            if (end) break;
            continue;
        }
        if (t[at].kind == Token::op && t[at].text == "*" && depth == 0 &&
            (at == from || is_punct(t, at - 1, '.')))
            return false;  // a star: the columns are not the list's
        if (is_punct(t, at, '(')) ++depth;
        if (is_punct(t, at, ')')) --depth;
    }
    return true;
}

}  // namespace

std::vector<int32_t> infer_result_types(const std::string &sql, int columns) {
    std::vector<int32_t> types(static_cast<size_t>(std::max(columns, 0)), 0);
    std::vector<Token> t = tokenize(sql);
    std::vector<std::pair<long, long>> items;
    if (!select_list_items(t, &items) || static_cast<long>(items.size()) != columns) return types;
    for (size_t i = 0; i < items.size(); ++i) types[i] = item_type(t, items[i].first, items[i].second);
    return types;
}

std::vector<std::string> source_columns(const std::string &sql, int columns) {
    std::vector<std::string> names(static_cast<size_t>(std::max(columns, 0)));
    std::vector<Token> t = tokenize(sql);
    std::vector<std::pair<long, long>> items;
    if (!select_list_items(t, &items) || static_cast<long>(items.size()) != columns) return names;
    for (size_t i = 0; i < items.size(); ++i) {
        long at = items[i].first, to = items[i].second;
        if (at >= to || t[at].kind != Token::word) continue;
        while (at + 2 < to && is_punct(t, at + 1, '.') && t[at + 2].kind == Token::word) at += 2;
        long rest = to - at - 1;
        if (rest == 0 || (rest == 1 && t[at + 1].kind == Token::word) ||
            (rest == 2 && is_word(t[at + 1], "AS") && t[at + 2].kind == Token::word))
            names[i] = t[at].text;
    }
    return names;
}

std::vector<std::string> typing_names(sqlite3_stmt *stmt) {
    const int n = sqlite3_column_count(stmt);
    const char *sql = sqlite3_sql(stmt);
    std::vector<std::string> names;
    if (sql && std::strstr(sql, "pg_")) names = source_columns(sql, n);
    names.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const char *name = sqlite3_column_name(stmt, i);
        if (names[static_cast<size_t>(i)].empty() && name) names[static_cast<size_t>(i)] = name;
    }
    return names;
}

std::vector<int32_t> parameter_casts(const std::string &sql, int parameters) {
    std::vector<int32_t> types(static_cast<size_t>(std::max(parameters, 0)), 0);
    if (sql.find("::") == std::string::npos && strcasestr(sql.c_str(), "cast") == nullptr) return types;
    std::vector<Token> t = tokenize(sql);
    for (long i = 0; i < static_cast<long>(t.size()); ++i) {
        int number = t[i].number;
        if (t[i].kind == Token::param && number >= 1 && number <= parameters && !types[static_cast<size_t>(number - 1)])
            types[static_cast<size_t>(number - 1)] = cast_type(t, i);
    }
    return types;
}

std::vector<int32_t> infer_parameter_types(sqlite3 *db, const std::string &sql, int parameters) {
    std::vector<int32_t> types(static_cast<size_t>(std::max(parameters, 0)), 0);
    std::vector<Token> t = tokenize(sql);
    Columns columns(db, t);
    auto give = [&](int number, const std::string &qualifier, const std::string &name) {
        std::string declared;
        if (number < 1 || number > parameters || types[static_cast<size_t>(number - 1)]) return;
        if (columns.declared(qualifier, name, &declared))
            types[static_cast<size_t>(number - 1)] = column_type(declared.c_str(), nullptr);
    };
    long n = static_cast<long>(t.size());
    for (long i = 0; i < n; ++i) {
        if (t[i].kind != Token::param || t[i].number < 1) continue;
        int number = t[i].number;
        std::string qualifier, name;
        int cast_to = 0;
        if (i >= 1 && (is_word(t[i - 1], "LIMIT") || is_word(t[i - 1], "OFFSET"))) {
            if (number <= parameters) types[static_cast<size_t>(number - 1)] = kInt8Oid;
        } else if ((cast_to = cast_type(t, i)) != 0) {
            if (number <= parameters) types[static_cast<size_t>(number - 1)] = cast_to;  // $1::int, CAST($1 AS int)
        } else if (i >= 2 && is_comparison(t[i - 1]) && column_ending_at(t, i - 2, &qualifier, &name)) {
            give(number, qualifier, name);  // column = $1
        } else if (i + 2 < n && is_comparison(t[i + 1]) && column_starting_at(t, i + 2, &qualifier, &name)) {
            give(number, qualifier, name);  // $1 = column
        } else if (i >= 2 && is_word(t[i - 1], "BETWEEN") && column_ending_at(t, i - 2, &qualifier, &name)) {
            give(number, qualifier, name);  // column BETWEEN $1 ...
        } else if (i >= 4 && is_word(t[i - 1], "AND") && is_word(t[i - 3], "BETWEEN") &&
                   column_ending_at(t, i - 4, &qualifier, &name)) {
            give(number, qualifier, name);  // ... AND $2
        } else {
            // column [NOT] IN (..., $1, ...): back over the list to its parenthesis.
            long at = i - 1;
            while (at >= 0 && (is_punct(t, at, ',') || t[at].kind == Token::param)) --at;
            if (is_punct(t, at, '(') && at >= 2 && is_word(t[at - 1], "IN") &&
                column_ending_at(t, is_word(t[at - 2], "NOT") ? at - 3 : at - 2, &qualifier, &name))
                give(number, qualifier, name);
        }
    }
    // INSERT INTO table [(columns)] VALUES (...), (...): a parameter that is a whole
    // value takes its column's type.
    for (long i = 0; i + 1 < n; ++i) {
        if (!is_word(t[i], "INTO") || columns.tables().empty()) continue;
        long at = i + 1;
        TableName table{"", t[at].text};
        if (is_punct(t, at + 1, '.') && at + 2 < n) {
            table = {t[at].text, t[at + 2].text};
            at += 2;
        }
        ++at;
        if (at < n && is_word(t[at], "AS")) at += 2;
        std::vector<std::string> names;
        if (is_punct(t, at, '(')) {
            for (++at; at < n && !is_punct(t, at, ')'); ++at)
                if (t[at].kind == Token::word) names.push_back(t[at].text);
            ++at;
        } else {
            names = columns.of_table(table);
        }
        if (at >= n || !is_word(t[at], "VALUES")) break;
        for (++at; at < n && is_punct(t, at, '(');) {
            size_t position = 0;
            for (++at; at < n && !is_punct(t, at, ')'); ++position) {
                long start = at;
                int depth = 0;
                while (at < n && (depth > 0 || (!is_punct(t, at, ',') && !is_punct(t, at, ')')))) {
                    if (is_punct(t, at, '(')) ++depth;
                    if (is_punct(t, at, ')')) --depth;
                    ++at;
                }
                if (at == start + 1 && t[start].kind == Token::param && position < names.size())
                    give(t[start].number, table.name, names[position]);
                if (is_punct(t, at, ',')) ++at;
            }
            ++at;
            if (!is_punct(t, at, ',')) break;
            ++at;
        }
        break;
    }
    return types;
}

}  // namespace pg
}  // namespace qx
