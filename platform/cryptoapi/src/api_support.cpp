#include "api_support.h"

#include <cstring>

namespace cryptoapi {

std::mutex &state_mutex() {
    // Never destroyed: handles may still be released from other libraries' exit code.
    static std::mutex *m = new std::mutex;
    return *m;
}

BOOL copy_out(const void *src, DWORD size, void *dst, DWORD *len) {
    if (len == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dst == nullptr) {
        *len = size;
        return TRUE;
    }
    if (*len < size) {
        *len = size;
        return fail(ERROR_MORE_DATA);
    }
    if (size > 0) std::memcpy(dst, src, size);
    *len = size;
    return TRUE;
}

}  // namespace cryptoapi
