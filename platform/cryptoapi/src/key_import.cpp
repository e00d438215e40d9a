#include "key_import.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "soft_key.h"
#include "store_index.h"
#include "utf.h"

namespace cryptoapi {

namespace {

std::string pending_dir() { return state_home() + "/pending"; }

// What a record must know to finish the import: where the key goes, and which
// certificate in which store tells that the import passed its point of no return.
struct Target {
    ContainerRef container;
    DWORD key_spec = 0;
    std::string store_name;
    std::string sha1;  // hex
};

std::string format_target(const Target &t) {
    std::ostringstream out;
    out << "location " << location_dir_name(t.container.location) << "\n"
        << "provider " << encode_name(t.container.provider) << "\n"
        << "type " << t.container.provider_type << "\n"
        << "container " << encode_name(t.container.container) << "\n"
        << "spec " << t.key_spec << "\n"
        << "store " << encode_name(t.store_name) << "\n"
        << "sha1 " << t.sha1 << "\n";
    return out.str();
}

bool parse_target(const std::string &text, Target &t) {
    std::istringstream in(text);
    std::string key, value, location, provider, container, store;
    int fields = 0;
    while (in >> key >> value) {
        ++fields;
        if (key == "location") location = value;
        else if (key == "provider") provider = value;
        else if (key == "type") t.container.provider_type = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "container") container = value;
        else if (key == "spec") t.key_spec = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "store") store = value;
        else if (key == "sha1") t.sha1 = value;
        else --fields;
    }
    if (fields != 7 || (location != "user" && location != "machine")) return false;
    t.container.location = location == "machine" ? Location::LocalMachine : Location::CurrentUser;
    return decode_name(provider, t.container.provider) && decode_name(container, t.container.container) &&
           decode_name(store, t.store_name) && t.sha1.size() == 40;
}

// Whether the certificate is in its store, linked to the record's key.
bool certificate_published(const Target &t) {
    std::shared_ptr<StoreData> store;
    if (!system_store_exists(t.container.location, t.store_name) ||
        open_system_store(t.container.location, t.store_name, CERT_STORE_READONLY_FLAG, store) != 0)
        return false;
    for (size_t i = 0; i < store->entries.size(); ++i) {
        EntrySummary s = store->entries.summary(i);
        if (s.removed || lower_hex(s.sha1.data(), s.sha1.size()) != t.sha1) continue;
        const auto &e = store->entries.at(i);
        if (!e->key_prov_info) continue;
        const KeyProvInfo &link = *e->key_prov_info;
        if (link.key_spec == t.key_spec && to_u8(link.container) == t.container.container) return true;
    }
    return false;
}

// Moves the record's key into its container (made if needed). A key of that spec that
// is there already stays: the certificate's key link is satisfied by it too.
bool move_key(const std::string &record, const Target &t) {
    DWORD rc = create_container(t.container);
    if (rc != 0 && rc != NTE_EXISTS) return false;
    std::string from = record + "/key.pem", to = key_file(t.container, t.key_spec);
    if (link(from.c_str(), to.c_str()) != 0 && errno != EEXIST) return false;
    crash_point();
    return true;
}

// The record's lock held by this process; -1 when another process holds it, or the
// record is gone (finished meanwhile).
int claim_record(const std::string &record) {
    std::string lock = record + "/lock";
    int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat held, named;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &held) != 0 || stat(lock.c_str(), &named) != 0 ||
        held.st_ino != named.st_ino) {
        close(fd);
        return -1;
    }
    return fd;
}

// Removes a record: the lock file last but for the folder, so that a record with a
// lock file is whole enough to be recognised, and one without is being removed.
void remove_record(const std::string &record) {
    for (const char *name : {"target", "key.pem"}) {
        unlink((record + "/" + name).c_str());
        crash_point();
    }
    for (const auto &name : list_dir(record))
        if (name != "lock") unlink((record + "/" + name).c_str());  // temporaries of a crash
    unlink((record + "/lock").c_str());
    rmdir(record.c_str());
}

// Whether the process that made a record (its id starts with the process id) is gone.
bool maker_gone(const std::string &name) {
    long pid = std::strtol(name.c_str() + (name[0] == '.' ? 1 : 0), nullptr, 10);
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::string new_record_id() {
    static std::atomic<unsigned> counter{0};
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char id[64];
    std::snprintf(id, sizeof id, "%ld-%lld%09ld-%u", static_cast<long>(getpid()), static_cast<long long>(now.tv_sec),
                  now.tv_nsec, counter++);
    return id;
}

}  // namespace

void finish_pending_imports() {
    std::string dir = pending_dir();
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // Every record is a folder, so a folder that holds no folders (a link count of two:
    // itself and its "." entry) holds no record, and need not be listed. Some file
    // systems do not count folders (one or zero); those are listed.
    if (st.st_nlink == 2) return;
    for (const auto &name : list_dir(dir)) {
        std::string record = dir + "/" + name;
        int fd = claim_record(record);
        if (fd < 0) {
            // Without a lock file a record is either being made (under its temporary name,
            // by a live process) or was being removed: only the first is left alone.
            if (!path_exists(record + "/lock") && (name[0] != '.' || maker_gone(name))) remove_record(record);
            continue;
        }
        // A record still under its temporary name never reached the store; its lock may be
        // free for a moment before its maker takes it.
        if (name[0] == '.' && !maker_gone(name)) {
            close(fd);
            continue;
        }
        std::string text;
        Target target;
        bool whole = name[0] != '.' && read_file(record + "/target", text) && parse_target(text, target);
        if (whole && certificate_published(target) && !move_key(record, target)) {
            close(fd);  // kept for a later try
            continue;
        }
        remove_record(record);
        close(fd);
    }
}

DWORD import_key_with_certificate(const KeyImport &import) {
    if (key_exists(import.container, import.key_spec)) return NTE_EXISTS;
    std::string pem = private_pem(import.key);
    if (pem.empty()) return NTE_FAIL;
    Target target{import.container, import.key_spec, import.store_name, ""};
    std::array<BYTE, 20> digest = sha1_of(import.certificate);
    target.sha1 = lower_hex(digest.data(), digest.size());

    // The record is made under a temporary name and renamed whole.
    std::string id = new_record_id();
    std::string temporary = pending_dir() + "/." + id, record = pending_dir() + "/" + id;
    if (!ensure_dir(temporary)) return ERROR_ACCESS_DENIED;
    int lock = open((temporary + "/lock").c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        if (lock >= 0) close(lock);
        remove_tree(temporary);
        return ERROR_ACCESS_DENIED;
    }
    bool written = write_file_atomic(temporary + "/key.pem", pem, 0600) &&
                   write_file_atomic(temporary + "/target", format_target(target), 0600);
    OPENSSL_cleanse(&pem[0], pem.size());
    if (!written || rename(temporary.c_str(), record.c_str()) != 0) {
        remove_record(temporary);
        close(lock);
        return ERROR_ACCESS_DENIED;
    }
    crash_point();

    std::shared_ptr<StoreData> store;
    DWORD rc = open_system_store(import.container.location, import.store_name, 0, store);
    std::shared_ptr<CertEntry> entry;
    if (rc == 0) {
        CertEntry properties;
        properties.friendly_name = import.friendly_name;
        KeyProvInfo link;
        link.container = to_u16(import.container.container);
        link.provider = to_u16(import.container.provider);
        link.provider_type = import.container.provider_type;
        link.flags = import.container.location == Location::LocalMachine ? CRYPT_MACHINE_KEYSET : 0;
        link.key_spec = import.key_spec;
        properties.key_prov_info = link;
        rc = add_certificate(*store, import.certificate.data(), static_cast<DWORD>(import.certificate.size()),
                             CERT_STORE_ADD_NEW, entry, &properties);
    }
    // Past this point the certificate is in the store: the key must follow. Should that
    // fail now, the record stays and the next operation finishes it.
    if (rc == 0 && !move_key(record, target)) {
        close(lock);
        return 0;
    }
    remove_record(record);
    close(lock);
    return rc;
}

}  // namespace cryptoapi
