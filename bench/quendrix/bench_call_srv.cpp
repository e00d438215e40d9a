// call_srv's round trip against its floor, and its throughput as callers are added.
// The floor is the cheapest cross-thread round trip there is: two threads passing a
// turn back and forth through a pair of POSIX semaphores. A call_srv call hands its
// operands to the worker thread and waits for the answer, so one call can be no
// cheaper than one such round trip; "ratio" is call_srv's time per call over it.
#include <benchmark/benchmark.h>
#include <semaphore.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "builtins.h"
#include "call_srv.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds per round trip of two threads taking turns through two semaphores.
double ping_pong(int round_trips) {
    sem_t ping, pong;
    sem_init(&ping, 0, 0);
    sem_init(&pong, 0, 0);
    std::thread partner([&] {
        for (int i = 0; i < round_trips; ++i) {
            sem_wait(&ping);
            sem_post(&pong);
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < round_trips; ++i) {
        sem_post(&ping);
        sem_wait(&pong);
    }
    double took = seconds_since(start);
    partner.join();
    sem_destroy(&ping);
    sem_destroy(&pong);
    return took / round_trips;
}

// One call_srv call as the server makes it; false when it failed.
bool call_once(int32_t a, int32_t b) {
    qx_value args = qx_list(2, qx_box_int64(a), qx_box_int64(b));
    qx_value err = nullptr;
    qx_value result = qx_bif_call(call_srv, "call_srv", args, &err);
    qx_free_tree(args);
    bool ok = !err && qx_unbox(result) == static_cast<int64_t>(a) + b;
    qx_free_tree(err);
    qx_free_tree(result);
    return ok;
}

// Context switches (voluntary and forced) of the whole process so far.
long context_switches() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

void BM_CallSrvRoundTripAgainstPingPong(benchmark::State &state) {
    if (!startup_lock) start_hook();
    if (!call_once(1, 2)) {  // starts the worker outside the measurement
        state.SkipWithError("call_srv failed");
        return;
    }
    const int calls = 20000;
    double server = 0, floor = 0;
    long switches = 0;
    for (auto _ : state) {
        floor += ping_pong(calls);
        long before = context_switches();
        auto start = Clock::now();
        for (int i = 0; i < calls; ++i) call_once(i, 1);
        server += seconds_since(start) / calls;
        switches += context_switches() - before;
    }
    state.counters["call_srv_ns"] = 1e9 * server / state.iterations();
    state.counters["ping_pong_ns"] = 1e9 * floor / state.iterations();
    state.counters["ratio"] = server / floor;
    state.counters["switches_per_call"] =
        static_cast<double>(switches) / (static_cast<double>(calls) * state.iterations());
}
BENCHMARK(BM_CallSrvRoundTripAgainstPingPong)->Unit(benchmark::kMillisecond)->Iterations(5);

// Calls per second with state.range(0) threads calling at once; "one_caller_calls_per_s"
// is the throughput of one caller measured in the same run, so "scaling" above 1 means
// added callers add calls; "switches_per_call" counts the process's context switches
// during the concurrent calls (fewer than one a call when the worker serves requests
// that are already waiting without sleeping).
void BM_CallSrvConcurrentCallers(benchmark::State &state) {
    if (!startup_lock) start_hook();
    call_once(1, 2);
    const int callers = static_cast<int>(state.range(0));
    const int calls_each = 20000 / callers;
    auto run = [&](int n, int each) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        auto start = Clock::now();
        for (int t = 0; t < n; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < each; ++i)
                    if (!call_once(t, i)) ++failures;
            });
        for (auto &th : threads) th.join();
        double took = seconds_since(start);
        return failures ? 0.0 : n * each / took;
    };
    double rate = 0, single = 0;
    long switches = 0;
    for (auto _ : state) {
        single += run(1, 20000);
        long before = context_switches();
        rate += run(callers, calls_each);
        switches += context_switches() - before;
    }
    state.counters["switches_per_call"] =
        static_cast<double>(switches) / (static_cast<double>(callers * calls_each) * state.iterations());
    state.counters["calls_per_s"] = rate / state.iterations();
    state.counters["one_caller_calls_per_s"] = single / state.iterations();
    state.counters["scaling"] = rate / single;
}
BENCHMARK(BM_CallSrvConcurrentCallers)
    ->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
