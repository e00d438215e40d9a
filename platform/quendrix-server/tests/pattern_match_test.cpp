// PostgreSQL's ~ operator as the server matches it: what matches, what is refused, and
// that a search takes time linear in its text whatever the pattern.
#include "sql/pattern_match.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// "match", "no match", or the compile error.
std::string outcome(const std::string &pattern, const std::string &text) {
    std::string error;
    std::unique_ptr<qx::Pattern> p = qx::Pattern::compile(pattern, &error);
    if (!p) return error;
    bool stopped = false;
    bool found = p->search(text.data(), text.size(), nullptr, nullptr, &stopped);
    return found ? "match" : "no match";
}

TEST(PatternMatch, MatchesAsPosixExtendedExpressionsOverCharacters) {
    const std::string deep = std::string(200, '(') + "a" + std::string(200, ')');
    const struct {
        const char *pattern, *text, *result;
    } cases[] = {
        {"b", "abc", "match"},
        {"^b", "abc", "no match"},
        {"c$", "abc", "match"},
        {"^$", "", "match"},
        {"", "anything", "match"},
        {"^(f|g)(?:o+)$", "foo", "match"},
        {"^a|b$", "xb", "match"},
        {"^[a-z]+[[:digit:]]{2}$", "ab12", "match"},
        {"^[a-z]+[[:digit:]]{2}$", "ab123", "no match"},
        {"^x{2,3}$", "xxxx", "no match"},
        {"^x{2,}$", "xxxx", "match"},
        {"^x?y*z+$", "zz", "match"},
        {"[^abc]", "abc", "no match"},
        {"[]a]", "]", "match"},
        {"[a-]", "-", "match"},
        {"a\\.b", "a.b", "match"},
        {"a\\.b", "axb", "no match"},
        {"\\d\\s\\w", "1 _", "match"},
        {"\\D", "123", "no match"},
        {"[\\d.]+$", "1.5", "match"},
        {"^.$", "é", "match"},  // a character, not a byte
        {"^[[:upper:]]$", "É", "match"},
        {"^[à-ÿ]$", "é", "match"},
        {"a\\nb", "a\nb", "match"},
        {"^(pg_toast)", "pg_toast_1", "match"},
        // (?i) first: either case.
        {"(?i)^abc$", "ABC", "match"},
        {"(?i)^[A-C]+$", "abc", "match"},
        {"(?i)^été$", "ÉTÉ", "match"},
        {"^abc$", "ABC", "no match"},
        // Refused, in PostgreSQL's words.
        {"(a", "a", "invalid regular expression: parentheses () not balanced"},
        {"a)", "a", "invalid regular expression: parentheses () not balanced"},
        {"[a", "a", "invalid regular expression: brackets [] not balanced"},
        {"*a", "a", "invalid regular expression: quantifier operand invalid"},
        {"a{3,2}", "a", "invalid regular expression: invalid repetition count(s)"},
        {"a{256}", "a", "invalid regular expression: invalid repetition count(s)"},
        {"a{1", "a", "invalid regular expression: braces {} not balanced"},
        {"[z-a]", "a", "invalid regular expression: invalid character range"},
        {"[[:nosuch:]]", "a", "invalid regular expression: invalid character class"},
        {"\\q", "q", "invalid regular expression: invalid escape \\ sequence"},
        {"(a)\\1", "aa", "invalid regular expression: back references are not supported"},
        {"((a{255}){255}){255}", "a", "invalid regular expression: regular expression is too complex"},
        {deep.c_str(), "a", "invalid regular expression: regular expression is too complex"},
    };
    for (const auto &k : cases) EXPECT_EQ(outcome(k.pattern, k.text), k.result) << k.pattern << " on " << k.text;
}

// Patterns that keep a backtracking matcher busy for hours on texts that make them fail
// late (glibc's took 13 s for the first on 10^5 characters): each is one pass here, and
// the test would not end otherwise.
TEST(PatternMatch, NoPatternMakesASearchBacktrack) {
    const std::string text = std::string(200000, 'a') + "b";
    for (const char *pattern : {"(a|aa)*c", "(a*)*c", "(a{100})*c", "^(a|a?)+$"})
        EXPECT_EQ(outcome(pattern, text), "no match") << pattern;
}

// A long search asks whether to stop, and stops when told.
TEST(PatternMatch, ALongSearchStopsWhenAsked) {
    std::string error;
    std::unique_ptr<qx::Pattern> p = qx::Pattern::compile("(a{100}){20}c", &error);
    ASSERT_TRUE(p) << error;
    const std::string text(2000000, 'a');
    int asked = 0;
    bool stopped = false;
    auto stop_at_third = [](void *count) { return ++*static_cast<int *>(count) == 3; };
    EXPECT_FALSE(p->search(text.data(), text.size(), stop_at_third, &asked, &stopped));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(asked, 3);
}

}  // namespace
