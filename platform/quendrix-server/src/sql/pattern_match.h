// PostgreSQL's regular expression match (text ~ pattern) for the server's SQL: POSIX
// extended expressions over characters (UTF-8), with the escapes \d \s \w and their
// negations, bracket expressions with [:class:] names, bounds up to 255, (?:...), and a
// leading (?i) that makes letters match in either case.
// A search runs in time linear in the text (a simulation of every state at once, never
// backtracking) and asks every so many characters whether to stop, so that no pattern
// can hold a connection's thread: a backtracking matcher takes seconds on
// `(a|aa)*c` over a text of 10^5 characters. Back references are refused for that reason.
#pragma once

#include <locale.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qx {

class Pattern {
public:
    struct Instruction;
    struct CharClass;

    // The compiled `pattern`, or null with the reason in *error (PostgreSQL's words:
    // "parentheses () not balanced", "regular expression is too complex", ...).
    static std::unique_ptr<Pattern> compile(const std::string &pattern, std::string *error);

    // Whether `text` holds a match anywhere. `stop(arg)` is asked every few milliseconds
    // of work; when it answers true the search ends false with *stopped set.
    bool search(const char *text, size_t length, bool (*stop)(void *), void *arg, bool *stopped) const;

    // Where the longest match that starts at byte `start` of `text` ends; npos when none
    // starts there. `stop` as for search().
    size_t longest_match_at(const char *text, size_t length, size_t start, bool (*stop)(void *), void *arg,
                            bool *stopped) const;

    ~Pattern();

private:
    Pattern() = default;
    // `c` as the search compares it: in lower case when case is ignored.
    uint32_t fold(uint32_t c) const;
    // search() (from `start`, the first match) or, `anchored`, the longest match that
    // starts at `start`: where the match ends, npos for none.
    size_t run(const char *text, size_t length, size_t start, bool anchored, bool (*stop)(void *), void *arg,
               bool *stopped) const;
    bool ignore_case_ = false;
    std::vector<Instruction> program_;
    std::vector<CharClass> classes_;
    friend class PatternCompiler;
};

// Whether `text` is matched by the LIKE pattern `pattern`: % stands for any characters,
// _ for one, and `escape` (when not 0) makes the character after it stand for itself.
// Letters match in either case when `ignore_case` (ILIKE). Characters are UTF-8's. False
// with *error set when the pattern ends with the escape character. Time is at most the
// product of the two lengths: a % that fails to match is retried from one place later,
// never from every split of the text; `stop(arg)` is asked every so many steps, and when
// it answers true the match ends false with *stopped set.
bool like_match(const char *pattern, size_t pattern_length, const char *text, size_t text_length, uint32_t escape,
                bool ignore_case, std::string *error, bool (*stop)(void *) = nullptr, void *arg = nullptr,
                bool *stopped = nullptr);

// The C library's UTF-8 character classes and case (null when the system has none).
locale_t utf8_locale();

// The character of UTF-8 text at *at (a byte that starts no character is itself); *at
// moves past it.
uint32_t next_utf8_char(const char *s, size_t length, size_t *at);

}  // namespace qx
