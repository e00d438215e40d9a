#include "store_snapshots.h"

#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace cryptoapi {

namespace {

// At most this many stores and certificate files, and bytes of each, are kept; the least
// recently used go first.
constexpr size_t kMaxStores = 8;
constexpr size_t kMaxStoreBytes = 64u << 20;
constexpr size_t kMaxCertificates = 512;
constexpr size_t kMaxCertificateBytes = 4u << 20;

// A least-recently-used map from paths to what was read there, bounded in items and in
// the bytes the items hold.
template <typename Value>
class Recent {
public:
    Recent(size_t max_items, size_t max_bytes) : max_items_(max_items), max_bytes_(max_bytes) {}
    Value *find(const std::string &key) {
        auto it = index_.find(key);
        if (it == index_.end()) return nullptr;
        order_.splice(order_.begin(), order_, it->second);  // now the most recent
        return &it->second->value;
    }
    void put(const std::string &key, Value value, size_t bytes) {
        erase(key);
        if (bytes > max_bytes_) return;
        order_.push_front(Item{key, std::move(value), bytes});
        index_[key] = order_.begin();
        bytes_ += bytes;
        while (order_.size() > max_items_ || bytes_ > max_bytes_) {
            std::string oldest = order_.back().key;
            erase(oldest);
        }
    }
    void erase(const std::string &key) {
        auto it = index_.find(key);
        if (it == index_.end()) return;
        bytes_ -= it->second->bytes;
        order_.erase(it->second);
        index_.erase(it);
    }
    void clear() {
        index_.clear();
        order_.clear();
        bytes_ = 0;
    }

private:
    struct Item {
        std::string key;
        Value value;
        size_t bytes;
    };
    size_t max_items_, max_bytes_, bytes_ = 0;
    std::list<Item> order_;
    std::unordered_map<std::string, typename std::list<Item>::iterator> index_;
};

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether two stats of one path show the same file, unchanged.
bool unchanged(const struct stat &then, const struct stat &now) {
    return then.st_dev == now.st_dev && then.st_ino == now.st_ino && then.st_size == now.st_size &&
           then.st_mode == now.st_mode && then.st_uid == now.st_uid && same_time(then.st_mtim, now.st_mtim) &&
           same_time(then.st_ctim, now.st_ctim);
}

// Whether a stat taken after `now` may be trusted to change with any later change.
bool trustworthy(const struct timespec &now, const struct stat &st) {
    return settled(now, st.st_mtim) && settled(now, st.st_ctim);
}

struct StoreRead {
    struct stat st;
    std::shared_ptr<const IndexText> log;
};

struct CertificateRead {
    struct stat st;
    std::array<BYTE, 20> sha1;
    std::vector<BYTE> der;
};

struct Memory {
    std::mutex mutex;
    Recent<StoreRead> stores{kMaxStores, kMaxStoreBytes};
    Recent<CertificateRead> certificates{kMaxCertificates, kMaxCertificateBytes};
};

Memory &memory() {
    static Memory *m = new Memory;  // never destroyed: stores may be opened during exit
    return *m;
}

}  // namespace

FileLook look_at(const std::string &path, bool follow) {
    FileLook look;
    clock_gettime(CLOCK_REALTIME, &look.before);
    look.found = (follow ? stat(path.c_str(), &look.st) : lstat(path.c_str(), &look.st)) == 0;
    return look;
}

bool settled(const struct timespec &now, const struct timespec &time) {
    long long margin_ms = time.tv_nsec == 0 ? 2000 : 100;
    long long age_ms = (now.tv_sec - time.tv_sec) * 1000LL + (now.tv_nsec - time.tv_nsec) / 1000000LL;
    return age_ms > margin_ms;
}

std::shared_ptr<const IndexText> recall_store_log(const std::string &dir, const FileLook &look) {
    if (!look.found) return nullptr;
    Memory &m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    const StoreRead *read = m.stores.find(dir);
    if (read == nullptr) return nullptr;
    if (!unchanged(read->st, look.st)) {
        m.stores.erase(dir);
        return nullptr;
    }
    return read->log;
}

void remember_store(const std::string &dir, const FileLook &look, std::shared_ptr<const IndexText> log) {
    if (!look.found || !trustworthy(look.before, look.st) || !log) return;
    Memory &m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    size_t bytes = log->size;
    m.stores.put(dir, StoreRead{look.st, std::move(log)}, bytes);
}

void forget_store(const std::string &dir) {
    Memory &m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.stores.erase(dir);
}

bool recall_certificate(const std::string &path, const std::array<BYTE, 20> &sha1, std::vector<BYTE> &der) {
    Memory &m = memory();
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        const CertificateRead *read = m.certificates.find(path);
        if (read == nullptr || read->sha1 != sha1) return false;
    }
    // The stat is taken without the lock; the entry is checked again after it.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    std::lock_guard<std::mutex> lock(m.mutex);
    const CertificateRead *read = m.certificates.find(path);
    if (read == nullptr || read->sha1 != sha1) return false;
    if (!unchanged(read->st, st)) {
        m.certificates.erase(path);
        return false;
    }
    der = read->der;
    return true;
}

void remember_certificate(const std::string &path, const struct timespec &now, const struct stat &before,
                          const std::array<BYTE, 20> &sha1, const std::vector<BYTE> &der) {
    if (!trustworthy(now, before)) return;
    Memory &m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.certificates.put(path, CertificateRead{before, sha1, der}, der.size());
}

void forget_all_stores() {
    Memory &m = memory();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.stores.clear();
    m.certificates.clear();
}

}  // namespace cryptoapi
