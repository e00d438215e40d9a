#include "state_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

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

void crash_point() {
    static const long crash_at = [] {
        const char *spec = std::getenv("CRYPTOAPI_CRASH_AT");
        return spec != nullptr ? std::strtol(spec, nullptr, 10) : 0L;
    }();
    static std::atomic<long> reached{0};
    if (crash_at > 0 && ++reached == crash_at) raise(SIGKILL);
}

namespace {

std::string describe_unsafe(const std::string &dir, const struct stat &st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "the state folder " + dir + " is owned by another user (uid " + std::to_string(st.st_uid) +
               "); refusing to use it";
    return "the state folder " + dir + " is writable by group or others (mode " + mode +
           "); refusing to use it (chmod go-w)";
}

bool unsafe(const struct stat &st, uid_t me) {
    return (st.st_uid != me && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace

bool refuse_unsafe_state(const std::string &path, const std::string &seen_path, const struct stat *seen) {
    std::string reason = unsafe_state_folder(path, seen_path, seen);
    if (reason.empty()) return false;
    // Said once per process and folder: callers only see ERROR_ACCESS_DENIED.
    static std::mutex mutex;
    static std::set<std::string> *said = new std::set<std::string>;
    std::lock_guard<std::mutex> lock(mutex);
    if (said->insert(reason).second) std::fprintf(stderr, "cryptoapi: %s\n", reason.c_str());
    return true;
}

std::string unsafe_state_folder(const std::string &path, const std::string &seen_path, const struct stat *seen) {
    std::string home = state_home();
    struct stat st;
    // The home itself may be reached through a symlink (a moved home folder); below it
    // nothing is followed.
    if (stat(home.c_str(), &st) != 0) return "";  // not made yet: it is made private
    const uid_t me = geteuid();
    if (unsafe(st, me)) return describe_unsafe(home, st);
    if (path.size() <= home.size() || path.compare(0, home.size(), home) != 0 || path[home.size()] != '/')
        return "";
    size_t pos = home.size();
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        std::string partial = path.substr(0, next);
        if (seen != nullptr && partial == seen_path)
            st = *seen;
        else if (lstat(partial.c_str(), &st) != 0)
            break;  // the rest is made private when needed
        if ((S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) && unsafe(st, me)) return describe_unsafe(partial, st);
        if (S_ISLNK(st.st_mode) && next != std::string::npos)
            return "the state folder " + partial + " is a symbolic link; refusing to use it";
        pos = next;
    }
    return "";
}

bool ensure_dir(const std::string &path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        if (!partial.empty() && partial != "/") {
            if (mkdir(partial.c_str(), 0700) == 0)
                crash_point();
            else if (errno != EEXIST)
                return false;
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
    crash_point();
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
    crash_point();
    if (ok && replace) {
        if (rename(tmp.c_str(), path.c_str()) != 0) ok = false;
        if (!ok) unlink(tmp.c_str());
        if (ok) crash_point();
        return ok;
    }
    int saved = 0;
    if (ok && link(tmp.c_str(), path.c_str()) != 0) {
        saved = errno;
        ok = false;
    }
    if (ok) crash_point();
    unlink(tmp.c_str());
    errno = saved;
    return ok;
}

bool write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool write_output_file(const std::string &path, const std::string &data, mode_t mode) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return false;
        return write_via_temporary(path, data, mode, true);
    }
    if (S_ISREG(st.st_mode)) return write_via_temporary(path, data, mode, true);
    // Whatever the name stands for is written to in place; what it turns out to be is
    // checked on the open file, so a swap after the lstat changes nothing.
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat opened;
    bool ok = fstat(fd, &opened) == 0;
    if (ok && !S_ISREG(opened.st_mode) && !S_ISCHR(opened.st_mode) && !S_ISFIFO(opened.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok && S_ISREG(opened.st_mode)) ok = ftruncate(fd, 0) == 0;
    if (ok) ok = write_all(fd, data);
    int saved = errno;
    if (close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

bool write_file_atomic(const std::string &path, const std::string &data, mode_t mode) {
    return write_via_temporary(path, data, mode, true);
}

bool write_file_exclusive(const std::string &path, const std::string &data, mode_t mode) {
    return write_via_temporary(path, data, mode, false);
}

bool read_file(const std::string &path, std::string &out) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return false;
    }
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool read_file_expecting(const std::string &path, size_t expected, std::string &out, struct stat *before) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    if (before != nullptr && fstat(fd, before) != 0) {
        close(fd);
        return false;
    }
    // One byte more than expected, so that a file of the expected size ends on a short read.
    out.resize(expected + 1);
    size_t done = 0;
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, &out[done], out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
        if (done < out.size()) break;
        out.resize(out.size() * 2);
    }
    close(fd);
    out.resize(ok ? done : 0);
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
    crash_point();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        for (const auto &n : list_dir(path)) remove_tree(path + "/" + n);
        return rmdir(path.c_str()) == 0;
    }
    return unlink(path.c_str()) == 0;
}

}  // namespace cryptoapi
