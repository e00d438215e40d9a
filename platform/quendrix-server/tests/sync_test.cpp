// Mutexes, semaphores and threads, and the injected creation failures.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <vector>

#include "quendrix/server.h"

namespace {

struct Counter {
    qx_mutex *lock;
    long value;
    qx_semaphore *done;
};

void add_many(void *p) {
    auto *c = static_cast<Counter *>(p);
    for (int i = 0; i < 20000; ++i) {
        qx_mutex_lock(c->lock);
        ++c->value;  // unsynchronised without the mutex: ThreadSanitizer would report it
        qx_mutex_unlock(c->lock);
    }
    qx_semaphore_signal(c->done);
}

TEST(Sync, MutexSerialisesThreadsAndSemaphoreCountsCompletions) {
    Counter c{qx_mutex_new(), 0, qx_semaphore_new(0)};
    std::vector<qx_thread *> threads;
    for (int i = 0; i < 4; ++i) {
        qx_thread *t = qx_thread_start(add_many, 100000, &c);
        ASSERT_NE(t, nullptr);
        threads.push_back(t);
    }
    for (int i = 0; i < 4; ++i) qx_semaphore_wait(c.done);  // one signal per thread
    qx_mutex_lock(c.lock);
    EXPECT_EQ(c.value, 80000);
    qx_mutex_unlock(c.lock);
    for (qx_thread *t : threads) qx_thread_join(t);
    qx_semaphore_free(c.done);
    qx_mutex_free(c.lock);
}

TEST(Sync, SignalsBeforeWaitsAreNotLost) {
    qx_semaphore *s = qx_semaphore_new(1);
    qx_semaphore_signal(s);
    qx_semaphore_signal(s);
    for (int i = 0; i < 3; ++i) qx_semaphore_wait(s);  // would hang if a count were lost
    qx_semaphore_free(s);
}

// A reply semaphore that its waiter frees as soon as the wait returns, as a
// caller waiting for a worker's answer does.
void signal_each(void *p) {
    auto *slot = static_cast<std::atomic<qx_semaphore *> *>(p);
    for (int i = 0; i < 2000; ++i) {
        qx_semaphore *s;
        while (!(s = slot->exchange(nullptr))) sched_yield();
        qx_semaphore_signal(s);
    }
}

TEST(Sync, WaiterMayFreeTheSemaphoreOnceItsWaitReturns) {
    std::atomic<qx_semaphore *> slot{nullptr};
    qx_thread *t = qx_thread_start(signal_each, 100000, &slot);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < 2000; ++i) {
        qx_semaphore *s = qx_semaphore_new(0);
        slot = s;
        qx_semaphore_wait(s);
        qx_semaphore_free(s);  // the signaller must be done with it (sanitizers check)
    }
    qx_thread_join(t);
}

struct Worker {
    qx_thread *self_seen;
    size_t stack_size;
    int wakeups;
    qx_semaphore *reply;
};

// Waits on its own wake-up semaphore, reached from its handle's first word.
void wake_up_three_times(void *p) {
    auto *w = static_cast<Worker *>(p);
    qx_thread *self = qx_thread_current();
    w->self_seen = self;
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &w->stack_size);
    pthread_attr_destroy(&attr);
    for (int i = 0; i < 3; ++i) {
        qx_semaphore_wait(self->record->wakeup);
        ++w->wakeups;
        qx_semaphore_signal(w->reply);
    }
}

TEST(Sync, ThreadHasItsWakeUpSemaphoreAndTheRequestedStack) {
    Worker w{nullptr, 0, 0, qx_semaphore_new(0)};
    qx_thread *t = qx_thread_start(wake_up_three_times, 100000, &w);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(t->record, nullptr);
    // Three wake-ups signalled at once are all delivered.
    for (int i = 0; i < 3; ++i) qx_semaphore_signal(t->record->wakeup);
    for (int i = 0; i < 3; ++i) qx_semaphore_wait(w.reply);
    qx_thread_join(t);
    EXPECT_EQ(w.wakeups, 3);
    EXPECT_EQ(w.self_seen, t);
    EXPECT_GE(w.stack_size, 100000u);
    EXPECT_EQ(qx_thread_current(), nullptr);  // this thread was not started by the server
    qx_semaphore_free(w.reply);
}

void nothing(void *) {}

TEST(Sync, InjectedFaultsFailTheNextCreationsOnly) {
    qx_test_inject_fault(QX_FAULT_THREAD_START, 2);
    EXPECT_EQ(qx_thread_start(nothing, 100000, nullptr), nullptr);
    EXPECT_EQ(qx_thread_start(nothing, 100000, nullptr), nullptr);
    qx_thread *t = qx_thread_start(nothing, 100000, nullptr);
    ASSERT_NE(t, nullptr);
    qx_thread_join(t);

    qx_test_inject_fault(QX_FAULT_SEMAPHORE_NEW, 1);
    EXPECT_EQ(qx_semaphore_new(0), nullptr);
    qx_semaphore *s = qx_semaphore_new(0);
    ASSERT_NE(s, nullptr);
    qx_semaphore_free(s);
}

}  // namespace
