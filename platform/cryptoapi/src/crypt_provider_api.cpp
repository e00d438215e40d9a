// Providers and key containers: CryptAcquireContextA, CryptReleaseContext,
// CryptEnumProvidersA, CryptGetProvParam.
#include <pwd.h>
#include <unistd.h>
#include <cryptoapi_test.h>
#include <wincrypt.h>

#include <cstdlib>
#include <cstring>

#include "api_support.h"
#include "crypt_objects.h"
#include "handles.h"
#include "key_import.h"

using namespace cryptoapi;

namespace {

constexpr DWORD kAcquireFlags =
    CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;

// Without a container name a key set is the user's default one, named after the user.
std::string default_container_name() {
    if (const char *user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
    if (struct passwd *pw = getpwuid(getuid()); pw != nullptr) return pw->pw_name;
    return "default";
}

BOOL copy_string(const std::string &s, BYTE *data, DWORD *len) {
    return copy_out(s.c_str(), static_cast<DWORD>(s.size() + 1), data, len);
}

BOOL enumerate_containers(ProviderObject &prov, BYTE *data, DWORD *len, DWORD flags) {
    if (len == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if ((flags & CRYPT_FIRST) != 0 || !prov.enumeration_started) {
        if (refuse_unsafe_state(container_path({prov.location, prov.provider.name, "-", prov.provider.type})))
            return fail(ERROR_ACCESS_DENIED);
        finish_pending_imports();
        prov.enumeration = list_containers(prov.location, prov.provider.name, prov.provider.type);
        prov.enumeration_next = 0;
        prov.enumeration_started = true;
    }
    if (data == nullptr) {
        // The size query reports the longest name with its terminator.
        DWORD longest = 1;
        for (const auto &n : prov.enumeration)
            if (n.size() + 1 > longest) longest = static_cast<DWORD>(n.size() + 1);
        *len = quirk_enabled(CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN) ? 0 : longest;
        if (quirk_enabled(CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN)) *len = CRYPTOAPI_FIXED_MAX_CONTAINER_LEN;
        return TRUE;
    }
    if (prov.enumeration_next >= prov.enumeration.size()) {
        if (quirk_enabled(CRYPTOAPI_QUIRK_EMPTY_NAME_AT_END)) {
            if (*len > 0) data[0] = 0;
            return TRUE;  // an empty name, the length left as it was
        }
        return fail(ERROR_NO_MORE_ITEMS);
    }
    const std::string &name = prov.enumeration[prov.enumeration_next];
    if (quirk_enabled(CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN)) {
        // The name and its terminator; the length stays what the caller gave.
        DWORD given = *len;
        if (!copy_string(name, data, len)) return FALSE;
        *len = given;
    } else if (!copy_string(name, data, len)) {
        return FALSE;
    }
    ++prov.enumeration_next;
    return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags) {
    if (injected_failure("CryptAcquireContextA")) return FALSE;
    if (phProv == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if ((dwFlags & ~kAcquireFlags) != 0) return fail(NTE_BAD_FLAGS);
    bool verify = (dwFlags & CRYPT_VERIFYCONTEXT) != 0;
    bool create = (dwFlags & CRYPT_NEWKEYSET) != 0;
    bool remove = (dwFlags & CRYPT_DELETEKEYSET) != 0;
    if ((verify && (create || remove)) || (create && remove)) return fail(NTE_BAD_FLAGS);
    if (verify && szContainer != nullptr && *szContainer != '\0') return fail(NTE_BAD_FLAGS);

    std::lock_guard<std::mutex> lock(state_mutex());
    auto prov = std::make_shared<ProviderObject>();
    if (DWORD rc = resolve_provider(szProvider, dwProvType, prov->provider); rc != 0) return fail(rc);
    prov->location = (dwFlags & CRYPT_MACHINE_KEYSET) ? Location::LocalMachine : Location::CurrentUser;
    prov->verify_only = verify;
    if (!verify) {
        prov->container = (szContainer != nullptr && *szContainer != '\0') ? szContainer
                                                                             : default_container_name();
        ContainerRef ref = prov->container_ref();
        if (refuse_unsafe_state(container_path(ref))) return fail(ERROR_ACCESS_DENIED);
        finish_pending_imports();
        if (remove) {
            if (DWORD rc = delete_container(ref); rc != 0) return fail(rc);
            *phProv = 0;
            return TRUE;
        }
        if (create) {
            if (DWORD rc = create_container(ref); rc != 0) return fail(rc);
        } else if (!container_exists(ref)) {
            return fail(NTE_BAD_KEYSET);
        }
    }
    *phProv = register_handle(HandleKind::Provider, prov);
    return TRUE;
}

extern "C" BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (injected_failure("CryptReleaseContext")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    if (release_handle(HandleKind::Provider, hProv) != ReleaseResult::Released) return fail(NTE_BAD_UID);
    // As on Windows, nonzero flags are refused but the handle is released all the same.
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    return TRUE;
}

extern "C" BOOL WINAPI CryptEnumProvidersA(DWORD dwIndex, DWORD *pdwReserved, DWORD dwFlags,
                                           DWORD *pdwProvType, LPSTR szProvName, DWORD *pcbProvName) {
    if (injected_failure("CryptEnumProvidersA")) return FALSE;
    if (pdwReserved != nullptr || pcbProvName == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (dwFlags != 0) return fail(NTE_BAD_FLAGS);
    std::lock_guard<std::mutex> lock(state_mutex());
    auto providers = installed_providers();
    if (dwIndex >= providers.size()) return fail(ERROR_NO_MORE_ITEMS);
    const ProviderInfo &p = providers[dwIndex];
    if (pdwProvType != nullptr) *pdwProvType = p.type;
    return copy_string(p.name, reinterpret_cast<BYTE *>(szProvName), pcbProvName);
}

extern "C" BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                         DWORD dwFlags) {
    if (injected_failure("CryptGetProvParam")) return FALSE;
    std::lock_guard<std::mutex> lock(state_mutex());
    auto prov = lookup<ProviderObject>(HandleKind::Provider, hProv);
    if (!prov) return fail(NTE_BAD_UID);
    switch (dwParam) {
    case PP_ENUMCONTAINERS:
        if ((dwFlags & ~static_cast<DWORD>(CRYPT_FIRST | CRYPT_NEXT | CRYPT_MACHINE_KEYSET)) != 0)
            return fail(NTE_BAD_FLAGS);
        return enumerate_containers(*prov, pbData, pdwDataLen, dwFlags);
    case PP_NAME:
        return copy_string(prov->provider.name, pbData, pdwDataLen);
    case PP_CONTAINER:
        return copy_string(prov->container, pbData, pdwDataLen);
    case PP_PROVTYPE: {
        DWORD type = prov->provider.type;
        return copy_out(&type, sizeof type, pbData, pdwDataLen);
    }
    default:
        return fail(NTE_BAD_TYPE);
    }
}
