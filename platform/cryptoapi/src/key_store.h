// Key containers on disk: one folder per container under its provider family and
// location, holding at most one private key per key spec as a 0600 PEM file. As on
// Windows, all RSA providers open the same containers, and so do all DSS providers.
#ifndef CRYPTOAPI_KEY_STORE_H
#define CRYPTOAPI_KEY_STORE_H

#include <openssl/evp.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "soft_key.h"
#include "state_dir.h"

namespace cryptoapi {

struct ContainerRef {
    Location location;
    std::string provider;
    std::string container;
    DWORD provider_type = 0;  // 0: looked up by the provider's name
};

// "rsa", "dss", or nullptr for a type of neither family.
const char *provider_family(DWORD type);
std::string container_path(const ContainerRef &ref);
std::string key_file(const ContainerRef &ref, DWORD key_spec);

bool container_exists(const ContainerRef &ref);
// 0, NTE_EXISTS or NTE_FAIL.
DWORD create_container(const ContainerRef &ref);
// 0, NTE_BAD_KEYSET or NTE_FAIL.
DWORD delete_container(const ContainerRef &ref);
// Container names a provider sees (those of its family), sorted.
std::vector<std::string> list_containers(Location location, const std::string &provider, DWORD provider_type = 0);

bool key_exists(const ContainerRef &ref, DWORD key_spec);
// 0, NTE_BAD_KEYSET (no container), NTE_NO_KEY or NTE_KEYSET_ENTRY_BAD (unreadable file).
DWORD load_key(const ContainerRef &ref, DWORD key_spec, std::shared_ptr<SoftKey> &out);
// Stores (or replaces) the key of a spec in an existing container: 0, NTE_BAD_KEYSET or NTE_FAIL.
DWORD save_key(const ContainerRef &ref, DWORD key_spec, EVP_PKEY *pkey);
// Removes one key of a container: 0 or NTE_NO_KEY.
DWORD delete_key(const ContainerRef &ref, DWORD key_spec);

}  // namespace cryptoapi

#endif
