#include "handles.h"

#include <unordered_map>

namespace cryptoapi {

namespace {

constexpr unsigned kKindBits = 3;

struct Registry {
    uintptr_t next_sequence = 1;
    std::unordered_map<uintptr_t, std::shared_ptr<void>> live;
    long per_kind[5] = {0, 0, 0, 0, 0};
    long certificates = 0;
    long double_releases = 0;
};

Registry &registry() {
    static Registry *r = new Registry;  // outlives every static destructor
    return *r;
}

uintptr_t kind_bits(HandleKind kind) { return static_cast<uintptr_t>(kind); }

}  // namespace

uintptr_t register_handle(HandleKind kind, std::shared_ptr<void> object) {
    Registry &r = registry();
    uintptr_t handle = (r.next_sequence++ << kKindBits) | kind_bits(kind);
    r.live.emplace(handle, std::move(object));
    ++r.per_kind[kind_bits(kind)];
    return handle;
}

std::shared_ptr<void> lookup_handle(HandleKind kind, uintptr_t handle) {
    if ((handle & ((1u << kKindBits) - 1)) != kind_bits(kind)) return nullptr;
    Registry &r = registry();
    auto it = r.live.find(handle);
    return it == r.live.end() ? nullptr : it->second;
}

ReleaseResult release_handle(HandleKind kind, uintptr_t handle) {
    Registry &r = registry();
    if ((handle & ((1u << kKindBits) - 1)) != kind_bits(kind)) return ReleaseResult::Invalid;
    auto it = r.live.find(handle);
    if (it == r.live.end()) {
        uintptr_t sequence = handle >> kKindBits;
        if (sequence >= 1 && sequence < r.next_sequence) {
            ++r.double_releases;
            return ReleaseResult::Twice;
        }
        return ReleaseResult::Invalid;
    }
    r.live.erase(it);
    --r.per_kind[kind_bits(kind)];
    return ReleaseResult::Released;
}

void count_certificate_references(long delta) { registry().certificates += delta; }

void count_double_release() { ++registry().double_releases; }

cryptoapi_handle_counts current_handle_counts() {
    Registry &r = registry();
    cryptoapi_handle_counts c;
    c.providers = r.per_kind[kind_bits(HandleKind::Provider)];
    c.keys = r.per_kind[kind_bits(HandleKind::Key)];
    c.hashes = r.per_kind[kind_bits(HandleKind::Hash)];
    c.stores = r.per_kind[kind_bits(HandleKind::Store)];
    c.certificates = r.certificates;
    c.double_releases = r.double_releases;
    return c;
}

}  // namespace cryptoapi
