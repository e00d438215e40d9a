#include "providers.h"

#include <strings.h>

#include <sstream>

#include "state_dir.h"

namespace cryptoapi {

namespace {

const std::vector<ProviderInfo> &builtin_providers() {
    static const std::vector<ProviderInfo> list = {
        {"Stand-in RSA Full Provider", PROV_RSA_FULL},
        {"Stand-in RSA AES Provider", PROV_RSA_AES},
        {"Stand-in DSS Provider", PROV_DSS},
        {"Stand-in RSA Strong Provider", PROV_RSA_FULL},
        {"Stand-in RSA Signature Provider", PROV_RSA_SIG},
        {"Stand-in DSS DH Provider", PROV_DSS_DH},
    };
    return list;
}

}  // namespace

std::vector<ProviderInfo> installed_providers() {
    std::string text;
    if (!read_file(state_home() + "/providers", text)) return builtin_providers();
    std::vector<ProviderInfo> list;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos) continue;
        char *stop = nullptr;
        unsigned long type = std::strtoul(line.c_str() + start, &stop, 10);
        if (stop != line.c_str() + end || type == 0) continue;
        size_t name_start = line.find_first_not_of(" \t", end);
        if (name_start == std::string::npos) continue;
        std::string name = line.substr(name_start);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r'))
            name.pop_back();
        list.push_back({name, static_cast<DWORD>(type)});
    }
    return list;
}

DWORD resolve_provider(const char *name, DWORD type, ProviderInfo &out) {
    auto list = installed_providers();
    if (name != nullptr && *name != '\0') {
        for (const auto &p : list) {
            if (strcasecmp(p.name.c_str(), name) == 0) {
                if (p.type != type) return NTE_PROV_TYPE_NO_MATCH;
                out = p;
                return 0;
            }
        }
        return NTE_KEYSET_NOT_DEF;
    }
    for (const auto &p : list) {
        if (p.type == type) {
            out = p;
            return 0;
        }
    }
    return NTE_PROV_TYPE_NOT_DEF;
}

bool provider_type_is_rsa(DWORD type) {
    return type == PROV_RSA_FULL || type == PROV_RSA_SIG || type == PROV_RSA_AES;
}

bool provider_type_is_dss(DWORD type) { return type == PROV_DSS || type == PROV_DSS_DH; }

}  // namespace cryptoapi
