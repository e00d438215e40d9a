#include "utf.h"

namespace cryptoapi {

bool utf16_to_utf8(const char16_t *text, size_t units, std::string &out) {
    out.clear();
    for (size_t i = 0; i < units; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool utf8_to_utf16(const char *text, size_t bytes, std::u16string &out) {
    out.clear();
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < bytes) {
        unsigned char b = s[i];
        char32_t c;
        size_t extra;
        char32_t min;
        if (b < 0x80) {
            c = b, extra = 0, min = 0;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, extra = 1, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, extra = 2, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, extra = 3, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= bytes) return false;  // truncated sequence
        for (size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogate code points and values past U+10FFFF are not UTF-8.
        if (c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return true;
}

std::u16string to_u16(const std::string &utf8) {
    std::u16string out;
    if (!utf8_to_utf16(utf8.data(), utf8.size(), out)) out.clear();
    return out;
}

std::string to_u8(const std::u16string &utf16) {
    std::string out;
    if (!utf16_to_utf8(utf16.data(), utf16.size(), out)) out.clear();
    return out;
}

}  // namespace cryptoapi
