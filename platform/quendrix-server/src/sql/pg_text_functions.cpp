// PostgreSQL's functions of text and numbers that SQLite lacks or answers otherwise,
// counted in characters (UTF-8) as PostgreSQL counts them: split_part(), repeat(),
// lpad(), rpad(), initcap(), reverse(), strpos(), concat(), concat_ws(), btrim(), chr(),
// ascii(), char_length(), octet_length(), translate(), starts_with(), left() and right()
// (which the statement's text calls pg_left() and pg_right(): both are keywords to
// SQLite), greatest() and least() (which pass over NULLs, where SQLite's max() and min()
// would give NULL), div(), mod() of integers as an integer, and random() in [0, 1), where
// SQLite's is a 64-bit integer; bool_and(), bool_or() and every(); encode(), decode()
// and to_hex().
#include <locale.h>
#include <sqlite3.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "internal.h"
#include "sql/pattern_match.h"

namespace {

std::string text_of(sqlite3_value *v) { return qx::value_text(v); }

bool any_null(int argc, sqlite3_value **argv) {
    for (int k = 0; k < argc; ++k)
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) return true;
    return false;
}

std::vector<uint32_t> chars_of(const std::string &s) {
    std::vector<uint32_t> out;
    out.reserve(s.size());
    for (size_t at = 0; at < s.size();) out.push_back(qx::next_utf8_char(s.data(), s.size(), &at));
    return out;
}

void append_utf8(std::string &out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf8_of(const std::vector<uint32_t> &chars, size_t from = 0, size_t to = SIZE_MAX) {
    std::string out;
    for (size_t k = from; k < std::min(to, chars.size()); ++k) append_utf8(out, chars[k]);
    return out;
}

void result_text(sqlite3_context *ctx, const std::string &s) {
    sqlite3_result_text64(ctx, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// Whether a result of `bytes` may be made; else the error is set, as PostgreSQL's limit.
bool fits(sqlite3_context *ctx, double bytes) {
    if (bytes <= sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1)) return true;
    qx::result_sql_error(ctx, {"54000", "", "requested length too large"});
    return false;
}

// split_part(text, delimiter, n): the nth field (from the end when n is negative).
void split_part(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]), delimiter = text_of(argv[1]);
    sqlite3_int64 n = sqlite3_value_int64(argv[2]);
    if (n == 0) return qx::result_sql_error(ctx, {"22023", "", "field position must not be zero"});
    std::vector<std::string> fields;
    if (delimiter.empty()) {
        fields.push_back(s);
    } else {
        size_t from = 0, at;
        while ((at = s.find(delimiter, from)) != std::string::npos) {
            fields.push_back(s.substr(from, at - from));
            from = at + delimiter.size();
        }
        fields.push_back(s.substr(from));
    }
    sqlite3_int64 count = static_cast<sqlite3_int64>(fields.size());
    sqlite3_int64 index = n > 0 ? n - 1 : count + n;
    result_text(ctx, index >= 0 && index < count ? fields[static_cast<size_t>(index)] : "");
}

void repeat(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]);
    sqlite3_int64 n = std::max<sqlite3_int64>(sqlite3_value_int64(argv[1]), 0);
    if (s.empty()) return result_text(ctx, "");  // however many times: not a loop of them
    if (!fits(ctx, static_cast<double>(s.size()) * static_cast<double>(n))) return;
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(n));
    for (sqlite3_int64 k = 0; k < n; ++k) out += s;
    result_text(ctx, out);
}

// lpad(text, length[, fill]) and rpad(): filled to `length` characters on that side, or
// cut to them (on the right, for both).
void pad(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    bool left = sqlite3_user_data(ctx) != nullptr;
    std::vector<uint32_t> s = chars_of(text_of(argv[0]));
    std::vector<uint32_t> fill = argc > 2 ? chars_of(text_of(argv[2])) : std::vector<uint32_t>{' '};
    sqlite3_int64 length = std::max<sqlite3_int64>(sqlite3_value_int64(argv[1]), 0);
    if (!fits(ctx, static_cast<double>(length) * 4)) return;
    size_t want = static_cast<size_t>(length);
    if (s.size() >= want || fill.empty()) return result_text(ctx, utf8_of(s, 0, want));
    std::vector<uint32_t> padding;
    for (size_t k = 0; padding.size() < want - s.size(); ++k) padding.push_back(fill[k % fill.size()]);
    result_text(ctx, left ? utf8_of(padding) + utf8_of(s) : utf8_of(s) + utf8_of(padding));
}

// initcap(text): each word's first letter in upper case, the rest in lower case.
void initcap(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    locale_t utf8 = qx::utf8_locale();
    std::vector<uint32_t> s = chars_of(text_of(argv[0]));
    bool in_word = false;
    for (uint32_t &c : s) {
        wint_t w = static_cast<wint_t>(c);
        bool alnum = utf8 ? iswalnum_l(w, utf8) : std::isalnum(static_cast<int>(c & 0x7F));
        if (utf8) c = static_cast<uint32_t>(in_word ? towlower_l(w, utf8) : towupper_l(w, utf8));
        in_word = alnum;
    }
    result_text(ctx, utf8_of(s));
}

void reverse(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::vector<uint32_t> s = chars_of(text_of(argv[0]));
    std::reverse(s.begin(), s.end());
    result_text(ctx, utf8_of(s));
}

// strpos(text, part): where part first starts, in characters from 1; 0 when nowhere.
void strpos(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]), part = text_of(argv[1]);
    size_t at = s.find(part);
    if (at == std::string::npos) return sqlite3_result_int(ctx, 0);
    sqlite3_int64 characters = 1;
    for (size_t k = 0; k < at; ++k)
        if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) ++characters;
    sqlite3_result_int64(ctx, characters);
}

// concat(...) and concat_ws(separator, ...): the text of each value, NULLs passed over.
void concat(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    bool separated = sqlite3_user_data(ctx) != nullptr;
    if (separated && (argc == 0 || sqlite3_value_type(argv[0]) == SQLITE_NULL)) return sqlite3_result_null(ctx);
    std::string separator = separated ? text_of(argv[0]) : "", out;
    bool first = true;
    for (int k = separated ? 1 : 0; k < argc; ++k) {
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) continue;
        if (!first) out += separator;
        out += text_of(argv[k]);
        first = false;
    }
    result_text(ctx, out);
}

// btrim(text[, characters]): those characters (blanks) taken from both ends.
void btrim(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::vector<uint32_t> s = chars_of(text_of(argv[0]));
    std::vector<uint32_t> listed = argc > 1 ? chars_of(text_of(argv[1])) : std::vector<uint32_t>{' '};
    std::unordered_set<uint32_t> set(listed.begin(), listed.end());  // a long list costs no more per character
    auto in_set = [&set](uint32_t c) { return set.count(c) != 0; };
    size_t from = 0, to = s.size();
    while (from < to && in_set(s[from])) ++from;
    while (to > from && in_set(s[to - 1])) --to;
    result_text(ctx, utf8_of(s, from, to));
}

void chr(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    sqlite3_int64 code = sqlite3_value_int64(argv[0]);
    if (code == 0) return qx::result_sql_error(ctx, {"54000", "", "null character not permitted"});
    if (code < 0) return qx::result_sql_error(ctx, {"54000", "", "character number must be positive"});
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return qx::result_sql_error(ctx, {"54000", "", "requested character too large for encoding: " +
                                                           std::to_string(code)});
    std::string out;
    append_utf8(out, static_cast<uint32_t>(code));
    result_text(ctx, out);
}

void ascii(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]);
    size_t at = 0;
    sqlite3_result_int64(ctx, s.empty() ? 0 : qx::next_utf8_char(s.data(), s.size(), &at));
}

void char_length(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(chars_of(text_of(argv[0])).size()));
}

void octet_length(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    int bytes = sqlite3_value_type(argv[0]) == SQLITE_BLOB ? sqlite3_value_bytes(argv[0])
                                                           : static_cast<int>(text_of(argv[0]).size());
    sqlite3_result_int(ctx, bytes);
}

// translate(text, from, to): each character of `from` becomes the one in its place in
// `to`, or goes when `to` is shorter.
void translate(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::vector<uint32_t> s = chars_of(text_of(argv[0])), from = chars_of(text_of(argv[1])),
                          to = chars_of(text_of(argv[2])), out;
    std::unordered_map<uint32_t, size_t> place;  // each character's first place in `from`
    for (size_t k = from.size(); k-- > 0;) place[from[k]] = k;
    for (uint32_t c : s) {
        auto found = place.find(c);
        if (found == place.end()) out.push_back(c);
        else if (found->second < to.size()) out.push_back(to[found->second]);
    }
    result_text(ctx, utf8_of(out));
}

void starts_with(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]), prefix = text_of(argv[1]);
    sqlite3_result_int(ctx, s.compare(0, prefix.size(), prefix) == 0);
}

// left(text, n) and right(text, n): the first (last) n characters; all but the last
// (first) -n when n is negative.
void left_right(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    bool left = sqlite3_user_data(ctx) != nullptr;
    std::vector<uint32_t> s = chars_of(text_of(argv[0]));
    sqlite3_int64 n = sqlite3_value_int64(argv[1]), size = static_cast<sqlite3_int64>(s.size());
    sqlite3_int64 keep = std::clamp<sqlite3_int64>(n >= 0 ? n : size + n, 0, size);
    result_text(ctx, left ? utf8_of(s, 0, static_cast<size_t>(keep))
                          : utf8_of(s, static_cast<size_t>(size - keep)));
}

bool is_number(sqlite3_value *v) {
    int type = sqlite3_value_type(v);
    return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
}

// Orders two values that are not NULL: numbers by value, else as SQLite orders them
// (numbers before text before BLOBs; text by its bytes).
int compare(sqlite3_value *a, sqlite3_value *b) {
    if (is_number(a) && is_number(b)) {
        if (sqlite3_value_type(a) == SQLITE_INTEGER && sqlite3_value_type(b) == SQLITE_INTEGER) {
            sqlite3_int64 x = sqlite3_value_int64(a), y = sqlite3_value_int64(b);
            return x < y ? -1 : x > y;
        }
        double x = sqlite3_value_double(a), y = sqlite3_value_double(b);
        return x < y ? -1 : x > y;
    }
    auto rank = [](sqlite3_value *v) { return is_number(v) ? 0 : sqlite3_value_type(v) == SQLITE_TEXT ? 1 : 2; };
    if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
    const void *x = rank(a) == 1 ? static_cast<const void *>(sqlite3_value_text(a)) : sqlite3_value_blob(a);
    const void *y = rank(b) == 1 ? static_cast<const void *>(sqlite3_value_text(b)) : sqlite3_value_blob(b);
    int nx = sqlite3_value_bytes(a), ny = sqlite3_value_bytes(b);
    int c = nx && ny ? std::memcmp(x, y, static_cast<size_t>(std::min(nx, ny))) : 0;
    return c ? c : nx < ny ? -1 : nx > ny;
}

// greatest(...) and least(...): the largest (smallest) value that is not NULL.
void extreme(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    bool greatest = sqlite3_user_data(ctx) != nullptr;
    sqlite3_value *best = nullptr;
    for (int k = 0; k < argc; ++k) {
        if (sqlite3_value_type(argv[k]) == SQLITE_NULL) continue;
        if (!best || (compare(argv[k], best) > 0) == greatest) best = argv[k];
    }
    if (best) sqlite3_result_value(ctx, best);
    else sqlite3_result_null(ctx);
}

// div(a, b): the quotient truncated towards zero; mod(a, b) of integers an integer with
// the sign of a (of other numbers SQLite's fmod()).
void div_mod(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    bool div = sqlite3_user_data(ctx) != nullptr;
    bool integers = sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER &&
                    sqlite3_value_numeric_type(argv[1]) == SQLITE_INTEGER;
    if (sqlite3_value_double(argv[1]) == 0) return qx::result_sql_error(ctx, {"22012", "", "division by zero"});
    if (integers) {
        sqlite3_int64 a = sqlite3_value_int64(argv[0]), b = sqlite3_value_int64(argv[1]);
        if (b == -1 && div && a == INT64_MIN) return qx::result_sql_error(ctx, {"22003", "", "bigint out of range"});
        if (b == -1) return sqlite3_result_int64(ctx, div ? -a : 0);
        return sqlite3_result_int64(ctx, div ? a / b : a % b);
    }
    double a = sqlite3_value_double(argv[0]), b = sqlite3_value_double(argv[1]);
    sqlite3_result_double(ctx, div ? std::trunc(a / b) : std::fmod(a, b));
}

// random(): a number in [0, 1) with 53 random bits.
void random_fraction(sqlite3_context *ctx, int, sqlite3_value **) {
    uint64_t bits = 0;
    sqlite3_randomness(sizeof bits, &bits);
    sqlite3_result_double(ctx, static_cast<double>(bits >> 11) * 0x1.0p-53);
}

// bool_and(x) (every(x)) and bool_or(x): whether all (any) of the group's values that
// are not NULL are true; NULL when there are none.
struct Truth {
    bool seen, value;
};

void truth_step(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *t = static_cast<Truth *>(sqlite3_aggregate_context(ctx, sizeof(Truth)));
    if (!t) return sqlite3_result_error_nomem(ctx);
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return;
    bool all = sqlite3_user_data(ctx) != nullptr, v = sqlite3_value_int64(argv[0]) != 0;
    t->value = t->seen ? (all ? t->value && v : t->value || v) : v;
    t->seen = true;
}

void truth_final(sqlite3_context *ctx) {
    auto *t = static_cast<Truth *>(sqlite3_aggregate_context(ctx, 0));
    if (!t || !t->seen) return sqlite3_result_null(ctx);
    sqlite3_result_int(ctx, t->value);
}

// encode(bytes, 'hex' | 'base64' | 'escape') and decode(text, format): bytes (a BLOB)
// written as text and read back.
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void encode(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    const auto *bytes = static_cast<const unsigned char *>(sqlite3_value_blob(argv[0]));
    size_t n = static_cast<size_t>(sqlite3_value_bytes(argv[0]));
    std::string format = text_of(argv[1]), out;
    for (char &c : format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (format == "hex") {
        static const char digits[] = "0123456789abcdef";
        for (size_t k = 0; k < n; ++k) {
            out += digits[bytes[k] >> 4];
            out += digits[bytes[k] & 15];
        }
    } else if (format == "base64") {
        for (size_t k = 0; k < n; k += 3) {
            uint32_t v = static_cast<uint32_t>(bytes[k]) << 16 | (k + 1 < n ? bytes[k + 1] << 8 : 0) |
                         (k + 2 < n ? bytes[k + 2] : 0);
            out += kBase64[v >> 18];
            out += kBase64[v >> 12 & 63];
            out += k + 1 < n ? kBase64[v >> 6 & 63] : '=';
            out += k + 2 < n ? kBase64[v & 63] : '=';
            if ((k + 3) % 57 == 0 && k + 3 < n) out += '\n';  // lines of 76, as PostgreSQL writes them
        }
    } else if (format == "escape") {
        for (size_t k = 0; k < n; ++k) {
            if (bytes[k] == '\\') {
                out += "\\\\";
            } else if (bytes[k] == 0 || bytes[k] >= 0x80) {
                char octal[8];
                std::snprintf(octal, sizeof octal, "\\%03o", bytes[k]);
                out += octal;
            } else {
                out += static_cast<char>(bytes[k]);
            }
        }
    } else {
        return qx::result_sql_error(ctx, {"22023", "", "unrecognized encoding: \"" + text_of(argv[1]) + "\""});
    }
    result_text(ctx, out);
}

void decode(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    std::string s = text_of(argv[0]), format = text_of(argv[1]), out;
    for (char &c : format) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (format == "hex") {
        for (size_t k = 0; k < s.size();) {
            if (std::isspace(static_cast<unsigned char>(s[k]))) {
                ++k;
                continue;
            }
            if (hex(s[k]) < 0 || k + 1 >= s.size() || hex(s[k + 1]) < 0)
                return qx::result_sql_error(ctx, {"22023", "", k + 1 >= s.size() && hex(s[k]) >= 0
                                                                   ? "invalid hexadecimal data: odd number of digits"
                                                                   : "invalid hexadecimal digit: \"" + s.substr(k, 1) + "\""});
            out += static_cast<char>(hex(s[k]) << 4 | hex(s[k + 1]));
            k += 2;
        }
    } else if (format == "base64") {
        uint32_t v = 0;
        int bits = 0, padding = 0;
        for (char c : s) {
            if (std::isspace(static_cast<unsigned char>(c))) continue;
            if (c == '=') {
                ++padding;
                continue;
            }
            const char *at = std::strchr(kBase64, c);
            if (!at || !c || padding)
                return qx::result_sql_error(ctx, {"22023", "", "invalid symbol \"" + std::string(1, c) +
                                                                   "\" found while decoding base64 sequence"});
            v = v << 6 | static_cast<uint32_t>(at - kBase64);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out += static_cast<char>(v >> bits & 0xFF);
            }
        }
    } else if (format == "escape") {
        for (size_t k = 0; k < s.size(); ++k) {
            if (s[k] == '\\' && k + 1 < s.size() && s[k + 1] == '\\') {
                out += '\\';
                ++k;
            } else if (s[k] == '\\' && k + 3 < s.size() && s[k + 1] >= '0' && s[k + 1] <= '3' && s[k + 2] >= '0' &&
                       s[k + 2] <= '7' && s[k + 3] >= '0' && s[k + 3] <= '7') {
                out += static_cast<char>((s[k + 1] - '0') << 6 | (s[k + 2] - '0') << 3 | (s[k + 3] - '0'));
                k += 3;
            } else if (s[k] == '\\') {
                return qx::result_sql_error(ctx, {"22P02", "", "invalid input syntax for type bytea"});
            } else {
                out += s[k];
            }
        }
    } else {
        return qx::result_sql_error(ctx, {"22023", "", "unrecognized encoding: \"" + text_of(argv[1]) + "\""});
    }
    sqlite3_result_blob64(ctx, out.data(), out.size(), SQLITE_TRANSIENT);
}

// to_hex(n): an integer in hexadecimal (a negative one as its 64 bits).
void to_hex(sqlite3_context *ctx, int argc, sqlite3_value **argv) {
    if (any_null(argc, argv)) return sqlite3_result_null(ctx);
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(sqlite3_value_int64(argv[0])));
    result_text(ctx, buffer);
}

}  // namespace

namespace qx {

bool install_text_functions(sqlite3 *db, std::string *error) {
    static char yes = 1;
    const struct {
        const char *name;
        int arguments;
        void (*call)(sqlite3_context *, int, sqlite3_value **);
        void *flag;
        bool deterministic;
    } functions[] = {
        {"split_part", 3, split_part, nullptr, true},   {"repeat", 2, repeat, nullptr, true},
        {"lpad", 2, pad, &yes, true},                   {"lpad", 3, pad, &yes, true},
        {"rpad", 2, pad, nullptr, true},                {"rpad", 3, pad, nullptr, true},
        {"initcap", 1, initcap, nullptr, true},         {"reverse", 1, reverse, nullptr, true},
        {"strpos", 2, strpos, nullptr, true},           {"concat", -1, concat, nullptr, true},
        {"concat_ws", -1, concat, &yes, true},          {"btrim", 1, btrim, nullptr, true},
        {"btrim", 2, btrim, nullptr, true},             {"chr", 1, chr, nullptr, true},
        {"ascii", 1, ascii, nullptr, true},             {"char_length", 1, char_length, nullptr, true},
        {"character_length", 1, char_length, nullptr, true}, {"octet_length", 1, octet_length, nullptr, true},
        {"translate", 3, translate, nullptr, true},     {"starts_with", 2, starts_with, nullptr, true},
        {"pg_left", 2, left_right, &yes, true},         {"pg_right", 2, left_right, nullptr, true},
        {"greatest", -1, extreme, &yes, true},          {"least", -1, extreme, nullptr, true},
        {"div", 2, div_mod, &yes, true},                {"mod", 2, div_mod, nullptr, true},
        {"random", 0, random_fraction, nullptr, false},
        {"encode", 2, encode, nullptr, true},           {"decode", 2, decode, nullptr, true},
        {"to_hex", 1, to_hex, nullptr, true},
    };
    for (const char *name : {"bool_and", "every", "bool_or"}) {
        void *all = std::strcmp(name, "bool_or") != 0 ? &yes : nullptr;
        if (sqlite3_create_function_v2(db, name, 1, SQLITE_UTF8, all, nullptr, truth_step, truth_final, nullptr) !=
            SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + name + "(): " + sqlite3_errmsg(db);
            return false;
        }
    }
    for (const auto &f : functions) {
        int flags = SQLITE_UTF8 | (f.deterministic ? SQLITE_DETERMINISTIC : 0);
        if (sqlite3_create_function_v2(db, f.name, f.arguments, flags, f.flag, f.call, nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
            if (error) *error = std::string("cannot create ") + f.name + "(): " + sqlite3_errmsg(db);
            return false;
        }
    }
    return true;
}

}  // namespace qx
