#include "arguments.h"

namespace admin {

bool parse_arguments(const std::vector<std::string> &argv, const std::set<std::string> &valued,
                     const std::set<std::string> &flags, Arguments &out, std::string &error) {
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string &a = argv[i];
        if (a == "-h" && flags.count("help") != 0) {  // the one short option
            out.flags.insert("help");
            continue;
        }
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string name = a.substr(2);
            std::string value;
            bool inline_value = false;
            if (size_t eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inline_value = true;
            }
            if (valued.count(name) != 0) {
                if (!inline_value) {
                    if (i + 1 >= argv.size()) {
                        error = "option --" + name + " needs a value";
                        return false;
                    }
                    value = argv[++i];
                }
                out.options[name] = value;
            } else if (flags.count(name) != 0 && !inline_value) {
                out.flags.insert(name);
            } else {
                error = "unknown option --" + name;
                return false;
            }
        } else {
            out.positional.push_back(a);
        }
    }
    return true;
}

}  // namespace admin
