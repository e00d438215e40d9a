// Handle bookkeeping. A handle is an id (never reused) that carries its kind in the low
// bits, so a released or foreign handle is recognised, and a handle released a second
// time is counted instead of touching freed memory. Callers hold state_mutex().
#ifndef CRYPTOAPI_HANDLES_H
#define CRYPTOAPI_HANDLES_H

#include <cryptoapi_test.h>

#include <cstdint>
#include <memory>

namespace cryptoapi {

enum class HandleKind : uintptr_t { Provider = 1, Key = 2, Hash = 3, Store = 4 };

uintptr_t register_handle(HandleKind kind, std::shared_ptr<void> object);
std::shared_ptr<void> lookup_handle(HandleKind kind, uintptr_t handle);

template <class T>
std::shared_ptr<T> lookup(HandleKind kind, uintptr_t handle) {
    return std::static_pointer_cast<T>(lookup_handle(kind, handle));
}

enum class ReleaseResult { Released, Twice, Invalid };
// Forgets a handle. Releasing one that was already released counts a double release.
ReleaseResult release_handle(HandleKind kind, uintptr_t handle);

// Certificate contexts are counted by their outstanding references.
void count_certificate_references(long delta);
void count_double_release();

cryptoapi_handle_counts current_handle_counts();

}  // namespace cryptoapi

#endif
