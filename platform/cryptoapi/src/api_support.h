// Shared plumbing of the Windows API functions: the global state lock, the last-error
// shortcut, the two-call size/data copy and the test hooks every operation consults.
#ifndef CRYPTOAPI_API_SUPPORT_H
#define CRYPTOAPI_API_SUPPORT_H

#include <wincrypt.h>

#include <mutex>

namespace cryptoapi {

// Sets the thread's last error and returns FALSE, so failures read `return fail(code);`.
inline BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Every operation that touches handles or state holds this lock.
std::mutex &state_mutex();

// The Windows two-call pattern: a null buffer asks for the size (TRUE); a buffer that is
// too small gets the size and ERROR_MORE_DATA (FALSE); otherwise the data is copied.
BOOL copy_out(const void *src, DWORD size, void *dst, DWORD *len);

// Test hooks. `injected_failure` is called first thing by each operation: true means the
// operation must fail now (the last error is already set).
bool injected_failure(const char *operation);
bool quirk_enabled(int quirk);

}  // namespace cryptoapi

#endif
