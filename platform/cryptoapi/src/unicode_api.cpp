// WideCharToMultiByte / MultiByteToWideChar: UTF-16 <-> UTF-8 (the ANSI code page here).
#include <windows.h>

#include <cstring>
#include <string>

#include "api_support.h"
#include "utf.h"

using cryptoapi::fail;

namespace {

bool code_page_ok(UINT cp) { return cp == CP_ACP || cp == CP_UTF8; }

// Writes `text` (already converted) following the Windows size-query rules: a zero
// output size asks for the size; a short output fails with ERROR_INSUFFICIENT_BUFFER.
template <class Char>
int emit(const std::basic_string<Char> &text, Char *out, int out_size) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int need = static_cast<int>(text.size());
    if (out_size == 0) return need;
    if (out == nullptr || out_size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (out_size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(Char));
    return need;
}

}  // namespace

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCSTR lpDefaultChar, BOOL *lpUsedDefaultChar) {
    if (cryptoapi::injected_failure("WideCharToMultiByte")) return 0;
    (void)lpDefaultChar;
    if (!code_page_ok(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0) {
        fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        fail(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t units;
    if (cchWideChar == -1) {
        units = 0;
        while (lpWideCharStr[units] != 0) ++units;
        ++units;  // the terminator is converted too
    } else {
        units = static_cast<size_t>(cchWideChar);
    }
    std::string out;
    if (!cryptoapi::utf16_to_utf8(lpWideCharStr, units, out)) {
        fail(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    return emit(out, lpMultiByteStr, cbMultiByte);
}

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (cryptoapi::injected_failure("MultiByteToWideChar")) return 0;
    if (!code_page_ok(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0) {
        fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwFlags != 0) {
        fail(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t bytes = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string out;
    if (!cryptoapi::utf8_to_utf16(lpMultiByteStr, bytes, out)) {
        fail(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return emit(out, lpWideCharStr, cchWideChar);
}
