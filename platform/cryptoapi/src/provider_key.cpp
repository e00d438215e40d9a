#include "crypt_objects.h"

namespace cryptoapi {

DWORD provider_key(ProviderObject &prov, DWORD key_spec, std::shared_ptr<SoftKey> &out) {
    std::shared_ptr<SoftKey> &cached = prov.cached_key(key_spec);
    if (!cached) {
        if (DWORD rc = load_key(prov.container_ref(), key_spec, cached); rc != 0) return rc;
    }
    out = cached;
    return 0;
}

}  // namespace cryptoapi
