// Helpers shared by the administration commands.
#ifndef CRYPTOAPI_ADMIN_SUPPORT_H
#define CRYPTOAPI_ADMIN_SUPPORT_H

#include <wincrypt.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "arguments.h"
#include "providers.h"
#include "state_dir.h"

namespace admin {

// A command failure with the message shown to the user; the tool exits with 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command-line mistake (missing or malformed arguments); the tool exits with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Refuses (Failure) a state folder other users could write to, and finishes imports
// that a crash interrupted, before any command touches the state.
void prepare_state(const Arguments &args);

// The largest input file read (a PKCS #12 file or a certificate).
constexpr size_t kMaxInputFile = 16 * 1024 * 1024;

// "0x80090016" with the Windows name where it is one the tool expects.
std::string error_text(DWORD code);

cryptoapi::Location location_of(const Arguments &args);
DWORD location_store_flag(const Arguments &args);

// The provider named by --provider (must hold `dsa` or RSA keys), or the default one.
cryptoapi::ProviderInfo choose_provider(const Arguments &args, bool dsa);
// "exchange" / "signature" (or the default for the algorithm).
DWORD choose_key_spec(const Arguments &args, bool dsa);
const char *key_spec_name(DWORD spec);
// "an exchange key" / "a signature key".
std::string with_article(DWORD spec);

// Reads a whole input file, refusing one larger than kMaxInputFile.
std::string read_whole_file(const std::string &path);
std::string sha1_hex(const BYTE *data, size_t length);

// Opens a system store; `create` makes it if needed, otherwise it must exist.
HCERTSTORE open_system_store(const std::string &name, const Arguments &args, bool create);

// UTF-16 copies for the CryptoAPI structures.
std::u16string wide(const std::string &utf8);

}  // namespace admin

#endif
