#include "sql/pattern_match.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qx {

locale_t utf8_locale() {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return utf8;
}

struct Pattern::Instruction {
    enum Op { character, any, char_class, split, jump, line_start, line_end, match } op;
    uint32_t c = 0;  // character; or class index
    int x = 0, y = 0;  // split: both ways; jump: x
};

struct Pattern::CharClass {
    bool negated = false;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    std::vector<int (*)(wint_t, locale_t)> tests;  // [:alpha:] and the like

    bool holds(uint32_t c, locale_t utf8) const {
        bool in = false;
        for (const auto &r : ranges)
            if (c >= r.first && c <= r.second) in = true;
        for (auto test : tests)
            if (!in && utf8 && test(static_cast<wint_t>(c), utf8)) in = true;
        return in != negated;
    }
};

Pattern::~Pattern() = default;

uint32_t Pattern::fold(uint32_t c) const {
    locale_t utf8 = ignore_case_ ? utf8_locale() : nullptr;
    return utf8 ? static_cast<uint32_t>(towlower_l(static_cast<wint_t>(c), utf8)) : c;
}

namespace {

// Bounds above PostgreSQL's (and POSIX's) RE_DUP_MAX are refused, and so is a program
// that bounds and nesting would make larger than this many instructions.
constexpr int kMaxBound = 255;
constexpr size_t kMaxProgram = 10000;
constexpr int kMaxDepth = 100;
// States stepped over between two questions whether to stop (a few milliseconds).
constexpr size_t kWorkBetweenChecks = size_t{1} << 20;


int is_word(wint_t c, locale_t l) { return c == L'_' || iswalnum_l(c, l); }

// The next character of UTF-8 text at *at (a byte that starts no character is itself).
uint32_t next_char(const char *s, size_t length, size_t *at) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    uint32_t c = byte(*at);
    int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    uint32_t value = more == 3 ? c & 0x07 : more == 2 ? c & 0x0F : more == 1 ? c & 0x1F : c;
    for (int k = 1; k <= more; ++k) {
        if (*at + k >= length || (byte(*at + k) & 0xC0) != 0x80) {
            ++*at;
            return c;
        }
        value = value << 6 | (byte(*at + k) & 0x3F);
    }
    *at += 1 + static_cast<size_t>(more);
    return value;
}

struct Node {
    enum Kind { empty, literal, any, char_class, line_start, line_end, concat, alternation, repeat } kind = empty;
    uint32_t c = 0;  // literal; class index
    int min = 0, max = 0;  // repeat; max -1: no bound
    std::vector<Node> parts;
};

}  // namespace

class PatternCompiler {
public:
    PatternCompiler(const std::string &p, Pattern *out) : p_(p), out_(out) {}

    bool compile(std::string *error) {
        // (?i) first: letters match in either case (what ~* and !~* ask for).
        if (p_.compare(0, 4, "(?i)") == 0) {
            out_->ignore_case_ = true;
            at_ = 4;
        }
        Node root;
        if (!alternation(&root, 0)) return fail(error);
        if (at_ < p_.size()) {
            why_ = "parentheses () not balanced";
            return fail(error);
        }
        if (!emit(root)) return fail(error);
        add({Pattern::Instruction::match});
        return true;
    }

private:
    bool fail(std::string *error) {
        *error = "invalid regular expression: " + why_;
        return false;
    }
    bool error(const char *why) {
        why_ = why;
        return false;
    }
    bool more() const { return at_ < p_.size(); }
    char peek() const { return p_[at_]; }
    uint32_t take_char() { return next_char(p_.data(), p_.size(), &at_); }

    bool alternation(Node *out, int depth) {
        if (depth > kMaxDepth) return error("regular expression is too complex");
        Node first;
        if (!concatenation(&first, depth)) return false;
        if (!more() || peek() != '|') {
            *out = std::move(first);
            return true;
        }
        out->kind = Node::alternation;
        out->parts.push_back(std::move(first));
        while (more() && peek() == '|') {
            ++at_;
            Node next;
            if (!concatenation(&next, depth)) return false;
            out->parts.push_back(std::move(next));
        }
        return true;
    }

    bool concatenation(Node *out, int depth) {
        out->kind = Node::concat;
        while (more() && peek() != '|' && peek() != ')') {
            Node atom;
            if (!repetition(&atom, depth)) return false;
            out->parts.push_back(std::move(atom));
        }
        return true;
    }

    bool repetition(Node *out, int depth) {
        if (!atom(out, depth)) return false;
        while (more() && (peek() == '*' || peek() == '+' || peek() == '?' || peek() == '{')) {
            int min = 0, max = -1;
            char q = p_[at_++];
            if (q == '+') min = 1;
            if (q == '?') max = 1;
            if (q == '{' && !bounds(&min, &max)) return false;
            if (more() && peek() == '?') ++at_;  // a non-greedy form matches the same texts
            Node repeated;
            repeated.kind = Node::repeat;
            repeated.min = min;
            repeated.max = max;
            repeated.parts.push_back(std::move(*out));
            *out = std::move(repeated);
        }
        return true;
    }

    bool number(int *n) {
        if (!more() || !std::isdigit(static_cast<unsigned char>(peek()))) return false;
        long value = 0;
        while (more() && std::isdigit(static_cast<unsigned char>(peek())))
            value = std::min<long>(value * 10 + (p_[at_++] - '0'), kMaxBound + 1);
        *n = static_cast<int>(value);
        return true;
    }

    bool bounds(int *min, int *max) {
        if (!number(min)) return error("invalid repetition count(s)");
        *max = *min;
        if (more() && peek() == ',') {
            ++at_;
            *max = -1;
            if (more() && peek() != '}' && !number(max)) return error("invalid repetition count(s)");
        }
        if (!more() || peek() != '}') return error("braces {} not balanced");
        ++at_;
        if (*min > kMaxBound || *max > kMaxBound || (*max >= 0 && *max < *min))
            return error("invalid repetition count(s)");
        return true;
    }

    bool atom(Node *out, int depth) {
        char c = peek();
        if (c == '*' || c == '+' || c == '?' || c == '{') return error("quantifier operand invalid");
        if (c == '(') {
            ++at_;
            if (p_.compare(at_, 2, "?:") == 0) at_ += 2;
            if (!alternation(out, depth + 1)) return false;
            if (!more() || peek() != ')') return error("parentheses () not balanced");
            ++at_;
            return true;
        }
        ++at_;
        switch (c) {
            case '.': out->kind = Node::any; return true;
            case '^': out->kind = Node::line_start; return true;
            case '$': out->kind = Node::line_end; return true;
            case '[': return bracket(out);
            case '\\': return escape(out, false, nullptr);
            default:
                --at_;
                out->kind = Node::literal;
                out->c = take_char();
                return true;
        }
    }

    // After a backslash: a class escape (\d, \s, \w and negations), a control
    // character, or a character that stands for itself. In a bracket, *cls gets the
    // class's members instead.
    bool escape(Node *out, bool in_bracket, Pattern::CharClass *cls) {
        if (!more()) return error("invalid escape \\ sequence");
        char e = peek();
        if (std::isdigit(static_cast<unsigned char>(e))) return error("back references are not supported");
        if (e && std::strchr("dDsSwW", e)) {
            ++at_;
            Pattern::CharClass made;
            Pattern::CharClass &target = in_bracket ? *cls : made;
            if (in_bracket && std::isupper(static_cast<unsigned char>(e)))
                return error("invalid escape \\ sequence");  // a negated class inside a bracket
            int (*test)(wint_t, locale_t) = e == 'd' || e == 'D' ? iswdigit_l : e == 's' || e == 'S' ? iswspace_l : is_word;
            target.tests.push_back(test);
            if (!in_bracket) {
                made.negated = std::isupper(static_cast<unsigned char>(e));
                out->kind = Node::char_class;
                out->c = static_cast<uint32_t>(out_->classes_.size());
                out_->classes_.push_back(std::move(made));
            }
            return true;
        }
        uint32_t ch;
        switch (e) {
            case 'n': ch = '\n'; break;
            case 't': ch = '\t'; break;
            case 'r': ch = '\r'; break;
            case 'f': ch = '\f'; break;
            case 'v': ch = '\v'; break;
            default:
                if (std::isalpha(static_cast<unsigned char>(e))) return error("invalid escape \\ sequence");
                ch = 0;
        }
        if (ch) {
            ++at_;
        } else {
            ch = take_char();
        }
        if (in_bracket) {
            cls->ranges.push_back({ch, ch});
        } else {
            out->kind = Node::literal;
            out->c = ch;
        }
        return true;
    }

    bool bracket(Node *out) {
        Pattern::CharClass cls;
        if (more() && peek() == '^') {
            cls.negated = true;
            ++at_;
        }
        bool first = true;
        for (;;) {
            if (!more()) return error("brackets [] not balanced");
            if (peek() == ']' && !first) {
                ++at_;
                break;
            }
            first = false;
            if (p_.compare(at_, 2, "[:") == 0) {
                size_t end = p_.find(":]", at_ + 2);
                if (end == std::string::npos) return error("brackets [] not balanced");
                std::string name = p_.substr(at_ + 2, end - at_ - 2);
                static const struct {
                    const char *name;
                    int (*test)(wint_t, locale_t);
                } kNames[] = {{"alpha", iswalpha_l}, {"digit", iswdigit_l}, {"alnum", iswalnum_l},
                              {"upper", iswupper_l}, {"lower", iswlower_l}, {"space", iswspace_l},
                              {"punct", iswpunct_l}, {"xdigit", iswxdigit_l}, {"cntrl", iswcntrl_l},
                              {"print", iswprint_l}, {"graph", iswgraph_l}, {"blank", iswblank_l}};
                bool known = false;
                for (const auto &n : kNames)
                    if (name == n.name) {
                        cls.tests.push_back(n.test);
                        known = true;
                    }
                if (!known) return error("invalid character class");
                at_ = end + 2;
                continue;
            }
            if (peek() == '\\') {
                ++at_;
                if (!escape(nullptr, true, &cls)) return false;
                continue;
            }
            uint32_t low = take_char(), high = low;
            if (more() && peek() == '-' && at_ + 1 < p_.size() && p_[at_ + 1] != ']') {
                ++at_;
                high = take_char();
                if (high < low) return error("invalid character range");
            }
            cls.ranges.push_back({low, high});
        }
        out->kind = Node::char_class;
        out->c = static_cast<uint32_t>(out_->classes_.size());
        out_->classes_.push_back(std::move(cls));
        return true;
    }

    int add(Pattern::Instruction i) {
        out_->program_.push_back(i);
        return static_cast<int>(out_->program_.size()) - 1;
    }

    bool emit(const Node &n) {
        if (out_->program_.size() > kMaxProgram) return error("regular expression is too complex");
        using I = Pattern::Instruction;
        switch (n.kind) {
            case Node::empty: return true;
            case Node::literal: add({I::character, out_->fold(n.c)}); return true;
            case Node::any: add({I::any}); return true;
            case Node::char_class: add({I::char_class, n.c}); return true;
            case Node::line_start: add({I::line_start}); return true;
            case Node::line_end: add({I::line_end}); return true;
            case Node::concat:
                for (const Node &part : n.parts)
                    if (!emit(part)) return false;
                return true;
            case Node::alternation: {
                std::vector<int> jumps;
                for (size_t k = 0; k < n.parts.size(); ++k) {
                    int split = k + 1 < n.parts.size() ? add({I::split}) : -1;
                    if (split >= 0) out_->program_[split].x = split + 1;
                    if (!emit(n.parts[k])) return false;
                    if (split >= 0) {
                        jumps.push_back(add({I::jump}));
                        out_->program_[split].y = static_cast<int>(out_->program_.size());
                    }
                }
                for (int j : jumps) out_->program_[j].x = static_cast<int>(out_->program_.size());
                return true;
            }
            case Node::repeat: {
                const Node &body = n.parts[0];
                for (int k = 0; k < n.min; ++k)
                    if (!emit(body)) return false;
                if (n.max < 0) {  // then any number more
                    int split = add({I::split});
                    out_->program_[split].x = split + 1;
                    if (!emit(body)) return false;
                    int back = add({I::jump});
                    out_->program_[back].x = split;
                    out_->program_[split].y = static_cast<int>(out_->program_.size());
                    return true;
                }
                std::vector<int> splits;
                for (int k = n.min; k < n.max; ++k) {
                    int split = add({I::split});
                    out_->program_[split].x = split + 1;
                    splits.push_back(split);
                    if (!emit(body)) return false;
                }
                for (int s : splits) out_->program_[s].y = static_cast<int>(out_->program_.size());
                return true;
            }
        }
        return true;
    }

    const std::string &p_;
    Pattern *out_;
    size_t at_ = 0;
    std::string why_;
};

std::unique_ptr<Pattern> Pattern::compile(const std::string &pattern, std::string *error) {
    std::unique_ptr<Pattern> p(new Pattern);
    PatternCompiler compiler(pattern, p.get());
    if (!compiler.compile(error)) return nullptr;
    return p;
}

bool Pattern::search(const char *text, size_t length, bool (*stop)(void *), void *arg, bool *stopped) const {
    return run(text, length, 0, false, stop, arg, stopped) != std::string::npos;
}

size_t Pattern::longest_match_at(const char *text, size_t length, size_t start, bool (*stop)(void *), void *arg,
                                 bool *stopped) const {
    return run(text, length, start, true, stop, arg, stopped);
}

// The simulation of every state at once. A search (not `anchored`) starts a match at
// every position from `start` and ends at the first match found; an anchored run starts
// one at `start` only and goes on while states live, to the longest match.
size_t Pattern::run(const char *text, size_t length, size_t start, bool anchored, bool (*stop)(void *), void *arg,
                    bool *stopped) const {
    *stopped = false;
    const size_t n = program_.size();
    std::vector<int> current, next, pending;
    std::vector<size_t> seen(n, 0);  // the step a state was last added in, plus one
    size_t step = 0, found = std::string::npos;
    locale_t utf8 = utf8_locale();
    // Adds state `pc` and what it reaches without a character, at a position that is
    // the text's start and/or end; true when that reaches the match (every state is
    // added all the same: a longer match may follow).
    auto add_state = [&](std::vector<int> &list, int pc, bool at_start, bool at_end) {
        bool matched = false;
        pending.assign(1, pc);
        while (!pending.empty()) {
            int k = pending.back();
            pending.pop_back();
            if (seen[k] == step + 1) continue;
            seen[k] = step + 1;
            const Instruction &i = program_[k];
            switch (i.op) {
                case Instruction::match: matched = true; break;
                case Instruction::jump: pending.push_back(i.x); break;
                case Instruction::split:
                    pending.push_back(i.y);
                    pending.push_back(i.x);
                    break;
                case Instruction::line_start:
                    if (at_start) pending.push_back(k + 1);
                    break;
                case Instruction::line_end:
                    if (at_end) pending.push_back(k + 1);
                    break;
                default: list.push_back(k);
            }
        }
        return matched;
    };
    size_t at = start, work = 0;
    if (add_state(current, 0, at == 0, at == length)) {
        if (!anchored) return at;
        found = at;
    }
    while (at < length && (!anchored || !current.empty())) {
        work += current.size() + 1;
        if (work >= kWorkBetweenChecks) {
            work = 0;
            if (stop && stop(arg)) {
                *stopped = true;
                return std::string::npos;
            }
        }
        uint32_t c = fold(next_char(text, length, &at));
        uint32_t upper = ignore_case_ && utf8 ? static_cast<uint32_t>(towupper_l(static_cast<wint_t>(c), utf8)) : c;
        ++step;
        next.clear();
        bool matched = false;
        for (int k : current) {
            const Instruction &i = program_[k];
            bool takes = i.op == Instruction::any || (i.op == Instruction::character && i.c == c) ||
                         (i.op == Instruction::char_class &&
                          (classes_[i.c].holds(c, utf8) || (upper != c && classes_[i.c].holds(upper, utf8))));
            if (takes && add_state(next, k + 1, false, at == length)) matched = true;
        }
        // A search starts a match at the next position too.
        if (!anchored && add_state(next, 0, false, at == length)) matched = true;
        if (matched) {
            if (!anchored) return at;
            found = at;
        }
        current.swap(next);
    }
    return found;
}

}  // namespace qx

namespace qx {

uint32_t next_utf8_char(const char *s, size_t length, size_t *at) { return next_char(s, length, at); }

bool like_match(const char *pattern, size_t pattern_length, const char *text, size_t text_length, uint32_t escape,
                bool ignore_case, std::string *error, bool (*stop)(void *), void *arg, bool *stopped) {
    if (stopped) *stopped = false;
    locale_t utf8 = ignore_case ? utf8_locale() : nullptr;
    auto fold = [utf8](uint32_t c) { return utf8 ? static_cast<uint32_t>(towlower_l(static_cast<wint_t>(c), utf8)) : c; };
    // The pattern as items: a character (>= 0), one character (kOne) or any (kAny).
    constexpr int64_t kOne = -1, kAny = -2;
    std::vector<int64_t> items;
    for (size_t at = 0; at < pattern_length;) {
        uint32_t c = next_char(pattern, pattern_length, &at);
        if (escape && c == escape) {
            if (at >= pattern_length) {
                if (error) *error = "LIKE pattern must not end with escape character";
                return false;
            }
            items.push_back(fold(next_char(pattern, pattern_length, &at)));
        } else if (c == '%') {
            if (items.empty() || items.back() != kAny) items.push_back(kAny);
        } else {
            items.push_back(c == '_' ? kOne : fold(c));
        }
    }
    std::vector<uint32_t> chars;
    chars.reserve(text_length);
    for (size_t at = 0; at < text_length;) chars.push_back(fold(next_char(text, text_length, &at)));
    size_t p = 0, t = 0, star = std::string::npos, resume = 0, work = 0;
    while (t < chars.size()) {
        if (++work >= kWorkBetweenChecks) {
            work = 0;
            if (stop && stop(arg)) {
                if (stopped) *stopped = true;
                return false;
            }
        }
        if (p < items.size() && (items[p] == kOne || items[p] == static_cast<int64_t>(chars[t]))) {
            ++p;
            ++t;
        } else if (p < items.size() && items[p] == kAny) {
            star = p++;
            resume = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < items.size() && items[p] == kAny) ++p;
    return p == items.size();
}

}  // namespace qx
