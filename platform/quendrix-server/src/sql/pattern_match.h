// PostgreSQL's regular expression match (text ~ pattern) for the server's SQL: POSIX
// extended expressions over characters (UTF-8), with the escapes \d \s \w and their
// negations, bracket expressions with [:class:] names, bounds up to 255, (?:...), and a
// leading (?i) that makes letters match in either case.
// A search runs in time linear in the text (a simulation of every state at once, never
// backtracking) and asks every so many characters whether to stop, so that no pattern
// can hold a connection's thread: a backtracking matcher takes seconds on
// `(a|aa)*c` over a text of 10^5 characters. Back references are refused for that reason.
#pragma once

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

    ~Pattern();

private:
    Pattern() = default;
    // `c` as the search compares it: in lower case when case is ignored.
    uint32_t fold(uint32_t c) const;
    bool ignore_case_ = false;
    std::vector<Instruction> program_;
    std::vector<CharClass> classes_;
    friend class PatternCompiler;
};

}  // namespace qx
