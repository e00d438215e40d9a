// The text form of a certificate's properties (the .props file, also kept in the store
// index) and the percent-encoding that keeps any value on one line without spaces.
#ifndef CRYPTOAPI_CERT_PROPERTIES_H
#define CRYPTOAPI_CERT_PROPERTIES_H

#include <string>

#include "cert_store.h"

namespace cryptoapi {

// Bytes up to and including space, '%' and DEL become %XX.
std::string encode_value(const std::string &value);
bool decode_value(const std::string &text, std::string &out);

// "key=value" lines for the friendly name and key provider information; empty if none.
std::string format_properties(const CertEntry &entry);
// Sets the entry's properties from that text (lines it does not know are passed over).
void parse_properties(const std::string &text, CertEntry &entry);

}  // namespace cryptoapi

#endif
