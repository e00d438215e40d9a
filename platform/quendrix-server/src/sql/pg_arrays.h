// Arrays as the server keeps them: their text form, {1,"b c",NULL}.
#pragma once

#include <string>

namespace qx {

// Appends one element (not NULL) to an array's text: quoted when it is empty, reads as
// NULL, or holds what would end or split it (braces, commas, quotes, backslashes, blanks).
void append_array_element(std::string &out, const std::string &element);

}  // namespace qx
