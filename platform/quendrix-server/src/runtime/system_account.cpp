// The names of the system's accounts, as the password database has them.
#include <pwd.h>

#include <string>
#include <vector>

#include "internal.h"

namespace qx {

bool system_account_name(uid_t uid, std::string *name) {
    std::vector<char> buffer(16384);
    passwd entry{}, *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    *name = found->pw_name;
    return true;
}

}  // namespace qx
