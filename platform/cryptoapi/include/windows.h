/* The basic platform types and the two kernel services the engine uses, with the
 * Windows names and sizes: DWORD is 32-bit, handles are pointer-sized, WCHAR is a
 * UTF-16 code unit, CP_ACP is UTF-8 here. The last error is kept per thread. */
#ifndef CRYPTOAPI_WINDOWS_H
#define CRYPTOAPI_WINDOWS_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CRYPTOAPI_EXPORT __attribute__((visibility("default")))

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uintptr_t ULONG_PTR;
typedef char16_t WCHAR;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef BYTE *PBYTE;
typedef DWORD *PDWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Code pages: the "ANSI" code page is UTF-8 on this platform. */
#define CP_ACP 0
#define CP_UTF8 65001

/* Windows error codes (GetLastError). */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L

CRYPTOAPI_EXPORT DWORD WINAPI GetLastError(void);
CRYPTOAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode);

/* UTF-16 to the code page. cchWideChar -1 means "up to and with the terminator".
 * With cbMultiByte 0 it returns the size needed; 0 means failure (see GetLastError). */
CRYPTOAPI_EXPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                                int cchWideChar, LPSTR lpMultiByteStr,
                                                int cbMultiByte, LPCSTR lpDefaultChar,
                                                BOOL *lpUsedDefaultChar);
/* The code page to UTF-16, the same conventions. */
CRYPTOAPI_EXPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                                int cbMultiByte, LPWSTR lpWideCharStr,
                                                int cchWideChar);

#ifdef __cplusplus
}
#endif

#endif
