// The forms in which drivers send parameters of PostgreSQL's date, time, uuid,
// numeric and JSON types, read into the text form PostgreSQL prints for them:
// the server stores those types as text, so that a value binds the same whether
// it came in binary or as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx {
namespace pg {

enum class BinaryText {
    converted,    // `text` holds the value's text form
    malformed,    // the bytes are no value of the type
    unsupported,  // a type whose binary form the server does not read
    not_textual,  // a type bound by value, not as text (integers, reals, bytea, ...)
};

BinaryText binary_parameter_text(int32_t oid, const char *data, size_t length, std::string &text);

// An array's binary form (of one dimension, of elements the server reads) as its text
// form, {1,2,"b c",NULL}: arrays are kept as their text.
BinaryText array_text(int32_t oid, const char *data, size_t length, std::string &text);

// A uuid's text in any form PostgreSQL reads (upper or lower case, with or without
// hyphens between groups of four digits, in braces or not) as the form it prints.
// False when the text is no uuid.
bool canonical_uuid(const std::string &in, std::string &out);

// Hexadecimal as the text forms write it (lower case) and read it (either case; -1
// for a character that is no digit).
void append_hex(std::string &out, const char *p, size_t n);
int hex_digit(char c);

}  // namespace pg
}  // namespace qx
