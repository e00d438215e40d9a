// The patterns of the ~ operator, which any client writes: the input is a pattern, a
// newline, and a text to search. Compiling and searching must stay within memory and
// time whatever they are (libFuzzer's -timeout catches a slow search), and a match must be
// found from some start (regexp_replace()'s search) exactly when search() finds one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sql/pattern_match.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t newline = input.find('\n');
    std::string pattern = input.substr(0, newline);
    std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
    std::string error;
    std::unique_ptr<qx::Pattern> p = qx::Pattern::compile(pattern, &error);
    if (!p) {
        if (error.empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    bool stopped = false;
    bool found = p->search(text.data(), text.size(), nullptr, nullptr, &stopped);
    // regexp_replace()'s search: a match found from some start exactly when search() finds
    // one, ending within the text.
    bool found_at = false;
    for (size_t start = 0; start <= text.size(); ++start) {
        size_t end = p->longest_match_at(text.data(), text.size(), start, nullptr, nullptr, &stopped);
        if (end != std::string::npos && (end < start || end > text.size())) __builtin_trap();
        found_at = found_at || end != std::string::npos;
        size_t at = start;  // on to the next character, as search() steps
        if (at < text.size()) qx::next_utf8_char(text.data(), text.size(), &at);
        start = at > start ? at - 1 : start;
    }
    if (found != found_at) __builtin_trap();
    // A long text: the same pattern over many copies of the input's text.
    std::string long_text;
    for (int k = 0; k < 64 && long_text.size() < 65536; ++k) long_text += text.empty() ? "a" : text;
    p->search(long_text.data(), long_text.size(), nullptr, nullptr, &stopped);
    return 0;
}
