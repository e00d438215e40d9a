// call_srv called in-process as the server calls it: the sums, the single worker
// thread, concurrent callers, and the failures that the library's fault hooks
// provoke. The failure test comes first: it needs a process whose worker has not
// started yet (CTest runs each test in a process of its own).
#include <dirent.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "builtins.h"
#include "call_srv.h"

namespace {

struct Outcome {
    bool ok = false;
    int64_t sum = 0;
    std::string state, message;
};

// Calls call_srv with the two given argument values (freed here).
Outcome call_with(qx_value a, qx_value b) {
    qx_value args = qx_list(2, a, b);
    qx_value err = nullptr;
    qx_value result = qx_bif_call(call_srv, "call_srv", args, &err);
    qx_free_tree(args);
    Outcome o;
    if (err) {
        o.state = qx_error_state(err);
        o.message = qx_error_message(err);
        qx_free_tree(err);
        return o;
    }
    EXPECT_EQ(qx_tag_of(result), QX_TAG_INTEGER);
    o.ok = true;
    o.sum = qx_unbox(result);
    qx_free_tree(result);
    return o;
}

Outcome call(int32_t a, int32_t b) { return call_with(qx_box_int64(a), qx_box_int64(b)); }

int thread_count() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

class CallSrv : public testing::Test {
protected:
    void SetUp() override {
        if (!startup_lock) start_hook();
        // Sanitizer runtimes start a helper thread with the first thread; let that
        // happen before threads are counted.
        std::thread([] {}).join();
    }
};

TEST_F(CallSrv, FailedWorkerStartLeavesNothingAndTheNextCallStartsOne) {
    ASSERT_EQ(call_srv_worker_record, nullptr) << "needs a process of its own";
    int threads_before = thread_count();
    qx_test_inject_fault(QX_FAULT_THREAD_START, 1);
    Outcome o = call(2, 3);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.state, ".....");
    EXPECT_EQ(o.message, "Can't start the worker thread");
    EXPECT_EQ(call_srv_worker_record, nullptr);
    EXPECT_EQ(call_srv_request_queue, nullptr);
    EXPECT_EQ(thread_count(), threads_before);

    // The start-up lock was released (or this would hang) and a worker starts now.
    o = call(2, 3);
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_EQ(o.sum, 5);
    EXPECT_NE(call_srv_worker_record, nullptr);
    EXPECT_EQ(thread_count(), threads_before + 1);
}

TEST_F(CallSrv, SumsWrapIn32BitsAndOneWorkerServesEveryCall) {
    const struct {
        int32_t a, b;
        int64_t sum;
    } cases[] = {
        {2, 3, 5},
        {-7, 2, -5},
        {INT32_MAX, 1, INT32_MIN},
        {INT32_MIN, -1, INT32_MAX},
        {70000, 70000, 140000},  // operands and sum beyond the inline integers
        {-1, 1, 0},
    };
    int threads_after = thread_count() + (call_srv_worker_record ? 0 : 1);
    qx_value record = nullptr;
    for (const auto &c : cases) {
        Outcome o = call(c.a, c.b);
        ASSERT_TRUE(o.ok) << o.message;
        EXPECT_EQ(o.sum, c.sum) << c.a << " + " << c.b;
        if (!record) record = call_srv_worker_record;
        EXPECT_EQ(call_srv_worker_record, record);
    }
    EXPECT_EQ(thread_count(), threads_after);
    EXPECT_EQ(qx_tag_of(record), QX_TAG_RAW);
    EXPECT_EQ(qx_length_of(record), 2 * sizeof(void *));
    EXPECT_EQ(qx_slots(record)[1], call_srv_request_queue);
}

TEST_F(CallSrv, FailedRequestOrRefusedOperandQueuesNothing) {
    ASSERT_TRUE(call(1, 1).ok);  // the worker runs
    qx_test_inject_fault(QX_FAULT_SEMAPHORE_NEW, 1);
    Outcome o = call(2, 3);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.state, ".....");
    EXPECT_EQ(o.message, "Error creating a request");

    o = call_with(qx_box_string("two"), qx_box_int64(3));
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.state, "22023");

    EXPECT_EQ(qx_slots(call_srv_request_queue)[1], nullptr);
    // A stray request or wake-up would hand this call another caller's sum.
    o = call(40, 2);
    ASSERT_TRUE(o.ok) << o.message;
    EXPECT_EQ(o.sum, 42);
}

TEST_F(CallSrv, ConcurrentCallersEachGetTheirOwnSum) {
    constexpr int kThreads = 8, kCalls = 300;
    int threads_after = thread_count() + (call_srv_worker_record ? 0 : 1);
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([t, &wrong] {
            for (int i = 0; i < kCalls; ++i) {
                int32_t a = t * 100000 + i, b = INT32_MAX - t;  // sums wrap differently per caller
                int32_t expected = static_cast<int32_t>(static_cast<uint32_t>(a) +
                                                        static_cast<uint32_t>(b));
                Outcome o = call(a, b);
                if (!o.ok || o.sum != expected) ++wrong[t];
            }
        });
    }
    for (auto &c : callers) c.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "caller " << t;
    EXPECT_EQ(thread_count(), threads_after);  // the callers are gone, the worker stays
    EXPECT_EQ(qx_slots(call_srv_request_queue)[1], nullptr);
}

}  // namespace
