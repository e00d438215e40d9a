// The installed providers. Without a `providers` file in the state folder the built-in
// list applies; the file (one "TYPE NAME" line each, '#' comments) replaces it, so a
// machine can have other providers or none. The first provider of a type is its default.
#ifndef CRYPTOAPI_PROVIDERS_H
#define CRYPTOAPI_PROVIDERS_H

#include <wincrypt.h>

#include <string>
#include <vector>

namespace cryptoapi {

struct ProviderInfo {
    std::string name;
    DWORD type;
};

std::vector<ProviderInfo> installed_providers();

// Finds the provider a CryptAcquireContext call means: by name (case-insensitive, the
// type must match) or, with no name, the type's default. Returns 0 or the Windows error.
DWORD resolve_provider(const char *name, DWORD type, ProviderInfo &out);

// Which key algorithms a provider type holds.
bool provider_type_is_rsa(DWORD type);
bool provider_type_is_dss(DWORD type);

}  // namespace cryptoapi

#endif
