#include "state_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace cryptoapi {

std::string state_home() {
    const char *home = std::getenv("CRYPTOAPI_HOME");
    if (home != nullptr && *home != '\0') return home;
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/cryptoapi";
    const char *user_home = std::getenv("HOME");
    if (user_home == nullptr || *user_home == '\0') {
        struct passwd *pw = getpwuid(getuid());
        user_home = pw != nullptr ? pw->pw_dir : "/tmp";
    }
    return std::string(user_home) + "/.local/share/cryptoapi";
}

std::string location_dir_name(Location loc) {
    return loc == Location::LocalMachine ? "machine" : "user";
}

std::string encode_name(const std::string &name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool decode_name(const std::string &component, std::string &name) {
    name.clear();
    for (size_t i = 0; i < component.size(); ++i) {
        if (component[i] != '%') {
            name += component[i];
            continue;
        }
        if (i + 2 >= component.size()) return false;
        int v = 0;
        for (int k = 1; k <= 2; ++k) {
            char c = component[i + k];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        name += static_cast<char>(v);
        i += 2;
    }
    return !name.empty();
}

bool ensure_dir(const std::string &path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        if (!partial.empty() && partial != "/") {
            if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
        pos = next;
    }
    return is_dir(path);
}

namespace {

// Writes a temporary file beside `path` and moves it into place: by rename (replacing)
// or by link (refusing to replace).
bool write_via_temporary(const std::string &path, const std::string &data, mode_t mode, bool replace) {
    static std::atomic<unsigned> counter{0};
    std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    fchmod(fd, mode);  // the umask must not widen or narrow what was asked for
    size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && replace) {
        if (rename(tmp.c_str(), path.c_str()) != 0) ok = false;
        if (!ok) unlink(tmp.c_str());
        return ok;
    }
    int saved = 0;
    if (ok && link(tmp.c_str(), path.c_str()) != 0) {
        saved = errno;
        ok = false;
    }
    unlink(tmp.c_str());
    errno = saved;
    return ok;
}

}  // namespace

bool write_file_atomic(const std::string &path, const std::string &data, mode_t mode) {
    return write_via_temporary(path, data, mode, true);
}

bool write_file_exclusive(const std::string &path, const std::string &data, mode_t mode) {
    return write_via_temporary(path, data, mode, false);
}

bool read_file(const std::string &path, std::string &out) {
    out.clear();
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool path_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool remove_tree(const std::string &path) {
    if (is_dir(path)) {
        for (const auto &n : list_dir(path)) remove_tree(path + "/" + n);
        return rmdir(path.c_str()) == 0;
    }
    return unlink(path.c_str()) == 0;
}

}  // namespace cryptoapi
