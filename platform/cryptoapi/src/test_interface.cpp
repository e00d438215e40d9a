// The test interface: injected failures, provider quirks, handle counts, and the handle
// report written at exit for tests that run another program against this library.
#include <cryptoapi_test.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "api_support.h"
#include "handles.h"
#include "store_snapshots.h"

namespace {

struct InjectedFailure {
    DWORD error;
    int skip;
    int times;  // -1: until cleared
};

struct Hooks {
    std::mutex mutex;
    std::map<std::string, InjectedFailure> failures;
    int quirks = 0;
};

Hooks &hooks() {
    static Hooks *h = new Hooks;
    return *h;
}

int quirk_by_name(const std::string &name) {
    if (name == "zero-max-len") return CRYPTOAPI_QUIRK_ZERO_MAX_CONTAINER_LEN;
    if (name == "empty-name-end") return CRYPTOAPI_QUIRK_EMPTY_NAME_AT_END;
    if (name == "fixed-max-len") return CRYPTOAPI_QUIRK_FIXED_MAX_CONTAINER_LEN;
    return 0;
}

// CRYPTOAPI_FAIL="Op=code[:skip[:times]],..." and CRYPTOAPI_QUIRKS="name,...", read once.
void load_environment_locked(Hooks &h) {
    if (const char *spec = std::getenv("CRYPTOAPI_FAIL")) {
        std::stringstream items(spec);
        std::string item;
        while (std::getline(items, item, ',')) {
            size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0) continue;
            std::string op = item.substr(0, eq);
            const char *rest = item.c_str() + eq + 1;
            char *end = nullptr;
            InjectedFailure f{static_cast<DWORD>(std::strtoul(rest, &end, 0)), 0, -1};
            if (end == rest) continue;
            if (*end == ':') f.skip = static_cast<int>(std::strtol(end + 1, &end, 10));
            if (*end == ':') f.times = static_cast<int>(std::strtol(end + 1, &end, 10));
            h.failures[op] = f;
        }
    }
    if (const char *spec = std::getenv("CRYPTOAPI_QUIRKS")) {
        std::stringstream items(spec);
        std::string item;
        while (std::getline(items, item, ',')) h.quirks |= quirk_by_name(item);
    }
}

Hooks &loaded_hooks() {
    static std::once_flag once;
    Hooks &h = hooks();
    std::call_once(once, [&h] {
        std::lock_guard<std::mutex> lock(h.mutex);
        load_environment_locked(h);
    });
    return h;
}

__attribute__((destructor)) void write_handle_report() {
    const char *path = std::getenv("CRYPTOAPI_HANDLE_REPORT");
    if (path == nullptr || *path == '\0') return;
    cryptoapi_handle_counts c = cryptoapi_test_handle_counts();
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) return;
    std::fprintf(f,
                 "providers=%ld\nkeys=%ld\nhashes=%ld\nstores=%ld\ncertificates=%ld\n"
                 "double_releases=%ld\nopen=%ld\n",
                 c.providers, c.keys, c.hashes, c.stores, c.certificates, c.double_releases,
                 c.providers + c.keys + c.hashes + c.stores + c.certificates);
    std::fclose(f);
}

}  // namespace

namespace cryptoapi {

bool injected_failure(const char *operation) {
    Hooks &h = loaded_hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto it = h.failures.find(operation);
    if (it == h.failures.end()) return false;
    InjectedFailure &f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.times == 0) return false;
    if (f.times > 0) --f.times;
    SetLastError(f.error);
    return true;
}

bool quirk_enabled(int quirk) {
    Hooks &h = loaded_hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    return (h.quirks & quirk) != 0;
}

}  // namespace cryptoapi

extern "C" void cryptoapi_test_fail(const char *operation, DWORD error, int skip, int times) {
    if (operation == nullptr) return;
    Hooks &h = loaded_hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.failures[operation] = InjectedFailure{error, skip < 0 ? 0 : skip, times};
}

extern "C" void cryptoapi_test_reset(void) {
    Hooks &h = loaded_hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.failures.clear();
    h.quirks = 0;
    cryptoapi::forget_all_stores();
}

extern "C" void cryptoapi_test_forget_stores(void) { cryptoapi::forget_all_stores(); }

extern "C" void cryptoapi_test_set_quirk(int quirk, int on) {
    Hooks &h = loaded_hooks();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (on)
        h.quirks |= quirk;
    else
        h.quirks &= ~quirk;
}

extern "C" cryptoapi_handle_counts cryptoapi_test_handle_counts(void) {
    std::lock_guard<std::mutex> lock(cryptoapi::state_mutex());
    return cryptoapi::current_handle_counts();
}

extern "C" long cryptoapi_test_open_handles(void) {
    cryptoapi_handle_counts c = cryptoapi_test_handle_counts();
    return c.providers + c.keys + c.hashes + c.stores + c.certificates;
}
