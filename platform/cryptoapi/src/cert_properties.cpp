#include "cert_properties.h"

#include <cstdlib>
#include <sstream>

#include "utf.h"

namespace cryptoapi {

std::string encode_value(const std::string &value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool decode_value(const std::string &text, std::string &out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        char digits[3] = {text[i + 1], text[i + 2], 0};
        char *end = nullptr;
        long v = std::strtol(digits, &end, 16);
        if (end != digits + 2) return false;
        out += static_cast<char>(v);
        i += 2;
    }
    return true;
}

std::string format_properties(const CertEntry &entry) {
    std::ostringstream out;
    if (entry.friendly_name) out << "friendly-name=" << encode_value(to_u8(*entry.friendly_name)) << "\n";
    if (entry.key_prov_info) {
        const KeyProvInfo &k = *entry.key_prov_info;
        out << "key-container=" << encode_value(to_u8(k.container)) << "\n"
            << "key-provider=" << encode_value(to_u8(k.provider)) << "\n"
            << "key-provider-type=" << k.provider_type << "\n"
            << "key-flags=" << k.flags << "\n"
            << "key-spec=" << k.key_spec << "\n";
    }
    return out.str();
}

void parse_properties(const std::string &text, CertEntry &entry) {
    std::istringstream in(text);
    std::string line;
    KeyProvInfo info;
    bool has_key = false;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        std::string value;
        if (!decode_value(line.substr(eq + 1), value)) continue;
        auto number = [&value] { return static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10)); };
        if (key == "friendly-name") {
            entry.friendly_name = to_u16(value);
        } else if (key == "key-container") {
            info.container = to_u16(value);
            has_key = true;
        } else if (key == "key-provider") {
            info.provider = to_u16(value);
        } else if (key == "key-provider-type") {
            info.provider_type = number();
        } else if (key == "key-flags") {
            info.flags = number();
        } else if (key == "key-spec") {
            info.key_spec = number();
        }
    }
    if (has_key) entry.key_prov_info = info;
}

}  // namespace cryptoapi
