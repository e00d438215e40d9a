// Strict UTF-8 <-> UTF-16 conversion (lone surrogates and malformed UTF-8 are refused).
#ifndef CRYPTOAPI_UTF_H
#define CRYPTOAPI_UTF_H

#include <cstddef>
#include <string>

namespace cryptoapi {

bool utf16_to_utf8(const char16_t *text, size_t units, std::string &out);
bool utf8_to_utf16(const char *text, size_t bytes, std::u16string &out);

// Conveniences for valid text (invalid input yields an empty string).
std::u16string to_u16(const std::string &utf8);
std::string to_u8(const std::u16string &utf16);

}  // namespace cryptoapi

#endif
