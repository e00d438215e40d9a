// Command-line parsing: positional words and "--name value" / "--flag" options.
#ifndef CRYPTOAPI_ADMIN_ARGUMENTS_H
#define CRYPTOAPI_ADMIN_ARGUMENTS_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace admin {

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    std::string get(const std::string &name, const std::string &fallback = "") const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    bool flag(const std::string &name) const { return flags.count(name) != 0; }
};

// Parses `argv` against the options that take a value and the flags that do not.
// Anything else starting with "--" is an error (message in `error`).
bool parse_arguments(const std::vector<std::string> &argv, const std::set<std::string> &valued,
                     const std::set<std::string> &flags, Arguments &out, std::string &error);

}  // namespace admin

#endif
