// SQL's tokens as the server's own readers of statements need them (SET and SHOW, COPY,
// the types a statement's text implies): names, strings, numbers, parameters,
// operators and punctuation, each with where it starts. Blanks and comments are passed
// over.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qx {

struct SqlToken {
    enum Kind {
        word,         // a name or keyword as written
        quoted_name,  // "name", `name` or [name], without its quotes
        string,       // 'text', without its quotes
        number,
        parameter,    // $N, ?N or ? (by position); :name, @name and $name have number 0
        op,           // =, ==, <>, !=, <=, >=, ||, :: or any other single character
        punct,        // ( ) , . ;
    } kind;
    std::string text;  // a string's or quoted name's text has its doubled quotes read
    size_t at = 0;     // where it starts in the statement
    int parameter_number = 0;  // a parameter's

    // Whether it is the unquoted word `keyword` (in any case).
    bool is(const char *keyword) const;
    bool is_punct(char c) const { return kind == punct && text[0] == c; }
};

// The tokens of `sql`, up to its end or (when `stop_at_semicolon`) through its first ';'
// outside strings and names. False when a string or a quoted name does not end.
bool lex_sql(const std::string &sql, std::vector<SqlToken> *out, bool stop_at_semicolon = false);

// Where the section quoted by sql[at] (', ", ` or [) ends, past its closing quote; a
// doubled quote stands for itself (not in [...]). The text's end when it does not close.
size_t quoted_end(const std::string &sql, size_t at);

// Where token `t` of `sql` ends (a string's or quoted name's token text has lost its quotes).
size_t token_end(const std::string &sql, const SqlToken &t);

// The token that closes the parenthesis token `open` opens, before `to`; `to` (or the
// number of tokens) when none does.
size_t closing_parenthesis(const std::vector<SqlToken> &t, size_t open, size_t to = static_cast<size_t>(-1));

// A name as PostgreSQL reads it: folded to lower case unless quoted.
std::string folded_name(const SqlToken &t);

// Whether `sql` holds `needle` (written in lower case) in any case of its ASCII letters.
// The rewrites ask it before they lex a statement; it is several times quicker than
// strcasestr() on a short text.
bool mentions(const std::string &sql, const char *needle);

// Changes to a statement's text that do not overlap, made at once: a rewrite lexes the
// text once, notes each change it finds, and runs again over the result only for changes
// that contain others (a long statement is not lexed once per change).
class TextEdits {
public:
    // Notes that [from, to) becomes `text`, unless that overlaps a change already noted;
    // false then.
    bool add(size_t from, size_t to, std::string text);
    bool empty() const { return edits_.empty(); }
    // `sql` with the changes made.
    std::string applied(const std::string &sql) const;

private:
    struct Edit {
        size_t from, to;
        std::string text;
    };
    std::vector<Edit> edits_;  // in order of `from`
};

// `name` as a quoted name, its double quotes doubled.
std::string quoted_name(const std::string &name);

}  // namespace qx
