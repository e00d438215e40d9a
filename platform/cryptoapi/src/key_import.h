// Importing a private key with its certificate as one unit: after a crash at any point,
// the next operation sees both (the key in its container, the certificate linked to it
// in its store) or neither.
//
// The key is first written into a pending record ($CRYPTOAPI_HOME/pending/<id>/), which
// nothing else reads. Adding the certificate (with its key link, in one step) is the
// point of no return; the key is then moved into its container and the record removed.
// A record whose process died (its lock is free) is finished by the next operation: the
// key is moved if the certificate made it into the store, and dropped otherwise.
#ifndef CRYPTOAPI_KEY_IMPORT_H
#define CRYPTOAPI_KEY_IMPORT_H

#include <openssl/evp.h>
#include <wincrypt.h>

#include <optional>
#include <string>
#include <vector>

#include "cert_store.h"
#include "key_store.h"

namespace cryptoapi {

struct KeyImport {
    ContainerRef container;  // made if it does not exist
    DWORD key_spec = AT_KEYEXCHANGE;
    EVP_PKEY *key = nullptr;
    std::string store_name;  // a system store of the container's location
    std::vector<BYTE> certificate;
    std::optional<std::u16string> friendly_name;
};

// 0; CRYPT_E_EXISTS (the certificate is in the store already), NTE_EXISTS (the
// container holds a key of that spec), or ERROR_ACCESS_DENIED / NTE_FAIL.
DWORD import_key_with_certificate(const KeyImport &import);

// Finishes or drops the records of imports whose process died. Cheap when there are none.
void finish_pending_imports();

}  // namespace cryptoapi

#endif
