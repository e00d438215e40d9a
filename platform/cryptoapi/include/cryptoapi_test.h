/* Test interface of the CryptoAPI stand-in: make operations fail with a chosen Windows
 * error, imitate provider quirks, and count open handles. Not part of the Windows API. */
#ifndef CRYPTOAPI_TEST_H
#define CRYPTOAPI_TEST_H

#include <wincrypt.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Make the operation named `operation` (e.g. "CryptSignHashA") fail with `error` as the
 * last error, after `skip` further calls of it have succeeded, for `times` calls
 * (-1: until cleared). Also settable from the environment before the first call:
 * CRYPTOAPI_FAIL="CryptSignHashA=0x80090016[,Op=code...]". */
CRYPTOAPI_EXPORT void cryptoapi_test_fail(const char *operation, DWORD error, int skip, int times);
/* Clears every injected failure and quirk, and forgets the stores read (below). */
CRYPTOAPI_EXPORT void cryptoapi_test_reset(void);
/* Forgets the stores and certificates this process has read, so that the next open reads
 * its store's files again, as another process would: for tests that change a store's
 * index behind the library's back (a store whose folder is unchanged is otherwise opened
 * from what was read of it before). */
CRYPTOAPI_EXPORT void cryptoapi_test_forget_stores(void);

/* Provider quirks that callers have to cope with. */
enum cryptoapi_quirk {
    /* PP_ENUMCONTAINERS with CRYPT_FIRST and no buffer reports 0 as the longest name. */
    CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN = 1,
    /* The end of the container list is an empty name with the length unchanged,
     * instead of ERROR_NO_MORE_ITEMS. */
    CRYPTOAPI_QUIRK_EMPTY_NAME_AT_END = 2,
    /* PP_ENUMCONTAINERS reports a fixed maximum (CRYPTOAPI_FIXED_MAX_CONTAINER_LEN) at the
     * size query, and leaves each returned name's length at the buffer's length. */
    CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN = 4,
};
#define CRYPTOAPI_FIXED_MAX_CONTAINER_LEN 260
CRYPTOAPI_EXPORT void cryptoapi_test_set_quirk(int quirk, int on);

/* Handles that are open now: providers, keys, hashes, stores and certificate contexts
 * together, and each kind alone. Every handle must be released exactly once; releasing
 * one twice is counted as an error. */
typedef struct cryptoapi_handle_counts {
    long providers, keys, hashes, stores, certificates;
    long double_releases;
} cryptoapi_handle_counts;
CRYPTOAPI_EXPORT cryptoapi_handle_counts cryptoapi_test_handle_counts(void);
CRYPTOAPI_EXPORT long cryptoapi_test_open_handles(void);

#ifdef __cplusplus
}
#endif

#endif
