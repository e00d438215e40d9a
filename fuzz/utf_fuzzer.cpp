// The strict UTF-8 <-> UTF-16 conversions on any bytes: what one direction accepts the
// other gives back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::u16string wide;
    std::string narrow;
    if (cryptoapi::utf8_to_utf16(reinterpret_cast<const char *>(data), size, wide)) {
        if (!cryptoapi::utf16_to_utf8(wide.data(), wide.size(), narrow)) std::abort();
        if (narrow != std::string(reinterpret_cast<const char *>(data), size)) std::abort();
    }

    std::u16string units(size / 2, u'\0');
    std::memcpy(&units[0], data, units.size() * 2);
    if (cryptoapi::utf16_to_utf8(units.data(), units.size(), narrow)) {
        if (!cryptoapi::utf8_to_utf16(narrow.data(), narrow.size(), wide)) std::abort();
        if (wide != units) std::abort();
    }
    return 0;
}
