// Mutexes, counting semaphores and threads for built-ins, plus the test hook
// that makes thread or semaphore creation fail.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"

struct qx_mutex {
    std::mutex m;
};

// A counting semaphore is a POSIX semaphore: signal and wait are one atomic operation
// each, entering the kernel only to wake or park a waiter, so a hand-off between two
// threads costs one wake-up and no lock convoy. A waiter may free the semaphore as
// soon as its wait returns: once the count is raised, signalling touches the
// semaphore's memory only through the kernel's wake call, which is harmless on
// memory that has been freed.
struct qx_semaphore {
    sem_t sem;
};

namespace {

// The library's thread record: the public part first, so that the handle's first
// word reaches the wake-up semaphore through it.
struct ThreadRecord {
    qx_thread_record pub;
    pthread_t id;
    void (*fn)(void *);
    void *arg;
    qx_thread handle;
};

std::atomic<int> failing_thread_starts{0};
std::atomic<int> failing_semaphores{0};
thread_local qx_thread *current_thread = nullptr;

// Consumes one injected failure of that kind, if any is pending.
bool take_fault(std::atomic<int> &pending) {
    int n = pending.load();
    while (n > 0)
        if (pending.compare_exchange_weak(n, n - 1)) return true;
    return false;
}

qx_semaphore *new_semaphore(unsigned count) {
    auto *s = new qx_semaphore;
    if (sem_init(&s->sem, 0, count) != 0) {
        delete s;
        return nullptr;
    }
    return s;
}

void *thread_main(void *p) {
    auto *rec = static_cast<ThreadRecord *>(p);
    current_thread = &rec->handle;
    rec->fn(rec->arg);
    return nullptr;
}

}  // namespace

extern "C" {

qx_mutex *qx_mutex_new(void) { return new qx_mutex; }
void qx_mutex_lock(qx_mutex *m) { m->m.lock(); }
void qx_mutex_unlock(qx_mutex *m) { m->m.unlock(); }
void qx_mutex_free(qx_mutex *m) { delete m; }

qx_semaphore *qx_semaphore_new(int count) {
    if (take_fault(failing_semaphores)) return nullptr;
    return new_semaphore(count < 0 ? 0 : static_cast<unsigned>(count));
}

void qx_semaphore_wait(qx_semaphore *s) {
    while (sem_wait(&s->sem) != 0 && errno == EINTR) {
    }
}

void qx_semaphore_signal(qx_semaphore *s) { sem_post(&s->sem); }

void qx_semaphore_free(qx_semaphore *s) {
    if (!s) return;
    sem_destroy(&s->sem);
    delete s;
}

qx_thread *qx_thread_start(void (*fn)(void *), size_t stack_size, void *arg) {
    if (!fn || take_fault(failing_thread_starts)) return nullptr;
    return qx::start_thread(fn, stack_size, arg);
}

qx_thread *qx_thread_current(void) { return current_thread; }

}  // extern "C"

qx_thread *qx::start_thread(void (*fn)(void *), size_t stack_size, void *arg) {
    if (!fn) return nullptr;
    auto *rec = new ThreadRecord{};
    rec->pub.wakeup = new_semaphore(0);
    if (!rec->pub.wakeup) {
        delete rec;
        return nullptr;
    }
    rec->fn = fn;
    rec->arg = arg;
    rec->handle.record = &rec->pub;

    // The stack is at least what was asked for, rounded up to whole pages and to
    // the platform's minimum.
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t stack = stack_size < static_cast<size_t>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN
                                                                        : stack_size;
    stack = (stack + page - 1) / page * page;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // The thread starts with SIGINT and SIGTERM blocked: they are meant for the thread
    // that waits for them (the shell's key reader, the listener's wait for clients), and
    // one taken by another thread would not end that wait.
    sigset_t stop_signals, saved_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &saved_mask);
    bool ok = pthread_attr_setstacksize(&attr, stack) == 0 &&
              pthread_create(&rec->id, &attr, thread_main, rec) == 0;
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    pthread_attr_destroy(&attr);
    if (!ok) {
        qx_semaphore_free(rec->pub.wakeup);
        delete rec;
        return nullptr;
    }
    return &rec->handle;
}

extern "C" {

void qx_thread_join(qx_thread *t) {
    if (!t) return;
    auto *rec = reinterpret_cast<ThreadRecord *>(t->record);
    pthread_join(rec->id, nullptr);
    qx_semaphore_free(rec->pub.wakeup);
    delete rec;
}

void qx_test_inject_fault(int fault, int count) {
    if (fault == QX_FAULT_THREAD_START) failing_thread_starts = count;
    if (fault == QX_FAULT_SEMAPHORE_NEW) failing_semaphores = count;
}

}  // extern "C"

namespace qx {

void apply_test_faults(char **envp) {
    static const char kName[] = "QUENDRIX_TEST_FAULTS=";
    for (char **e = envp; e && *e; ++e) {
        if (std::strncmp(*e, kName, sizeof kName - 1) != 0) continue;
        std::string spec = *e + sizeof kName - 1;
        size_t pos = 0;
        while (pos <= spec.size()) {
            size_t end = spec.find(',', pos);
            if (end == std::string::npos) end = spec.size();
            std::string item = spec.substr(pos, end - pos);
            size_t colon = item.find(':');
            int count = colon == std::string::npos ? 1 : std::atoi(item.c_str() + colon + 1);
            std::string kind = item.substr(0, colon);
            if (kind == "thread") qx_test_inject_fault(QX_FAULT_THREAD_START, count);
            if (kind == "semaphore") qx_test_inject_fault(QX_FAULT_SEMAPHORE_NEW, count);
            pos = end + 1;
        }
    }
}

}  // namespace qx
