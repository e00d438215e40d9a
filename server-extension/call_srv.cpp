// call_srv: hands the sum of two integers to one long-lived worker thread and
// waits for its answer. The worker is started by the first call, under the
// start-up lock, and fed through a mutex-guarded stack of requests; each request
// lives in its caller's frame and carries its own reply semaphore.
#include <cstdint>

#include "builtins.h"
#include "call_srv.h"

extern "C" {

qx_value call_srv_worker_record = nullptr;
qx_value call_srv_request_queue = nullptr;

}

static_assert(sizeof(call_srv_request) == 5 * sizeof(void *), "a request is five words");

namespace {

// A worker record and the request queue are raw blocks of two words each.
constexpr size_t kTwoWords = 2 * sizeof(void *);

qx_thread *&worker_handle(qx_value record) { return reinterpret_cast<qx_thread **>(record)[0]; }
qx_value &worker_queue(qx_value record) { return qx_slots(record)[1]; }
qx_mutex *&queue_mutex(qx_value queue) { return reinterpret_cast<qx_mutex **>(queue)[0]; }
call_srv_request *&queue_front(qx_value queue) {
    return reinterpret_cast<call_srv_request **>(queue)[1];
}

qx_semaphore *wakeup_of(qx_value record) { return worker_handle(record)->record->wakeup; }

// Starts the worker; the caller holds the start-up lock. False (with both
// globals null again) when the thread cannot be started.
bool start_worker() {
    qx_value queue = qx_alloc(kTwoWords, QX_TAG_RAW);
    queue_mutex(queue) = qx_mutex_new();
    qx_value record = qx_alloc(kTwoWords, QX_TAG_RAW);
    worker_queue(record) = queue;
    call_srv_request_queue = queue;
    call_srv_worker_record = record;
    worker_handle(record) = qx_thread_start(call_srv_worker, 100000, record);
    if (worker_handle(record)) return true;
    qx_free(record);
    qx_mutex_free(queue_mutex(queue));
    qx_free(queue);
    call_srv_worker_record = nullptr;
    call_srv_request_queue = nullptr;
    return false;
}

}  // namespace

extern "C" {

void call_srv_worker(void *arg) {
    qx_value record = static_cast<qx_value>(arg);
    // The starting call holds the start-up lock from before the thread starts
    // until after it has stored the handle in the record: passing through the
    // lock once makes the stored handle visible before it is first read.
    qx_mutex_lock(startup_lock);
    qx_mutex_unlock(startup_lock);
    qx_value queue = worker_queue(record);
    for (;;) {
        qx_semaphore_wait(wakeup_of(record));
        qx_mutex_lock(queue_mutex(queue));
        call_srv_request *req = queue_front(queue);
        queue_front(queue) = req->next;
        qx_mutex_unlock(queue_mutex(queue));
        // Two's-complement wrap in 32 bits, without signed overflow.
        uint32_t sum = static_cast<uint32_t>(req->first) + static_cast<uint32_t>(req->second);
        req->sum = static_cast<int32_t>(sum);
        qx_semaphore *reply = req->reply;
        qx_semaphore_signal(reply);  // the request belongs to its caller again
    }
}

qx_value call_srv(qx_state *qst, qx_value *err, qx_value *args) {
    qx_mutex_lock(startup_lock);
    if (!call_srv_worker_record && !start_worker()) {
        qx_mutex_unlock(startup_lock);
        qx_sql_error(".....", "Can't start the worker thread");
        return nullptr;
    }
    qx_mutex_unlock(startup_lock);
    // The globals no longer change once the worker runs.
    qx_value record = call_srv_worker_record;
    qx_value queue = call_srv_request_queue;

    call_srv_request req;
    req.reply = qx_semaphore_new(0);
    if (!req.reply) {
        qx_sql_error(".....", "Error creating a request");
        return nullptr;
    }
    req.next = nullptr;
    req.first = qx_bif_arg_int32(qst, args, 0, "call_srv");
    req.second = qx_bif_arg_int32(qst, args, 1, "call_srv");
    req.sum = 0;
    if (*err) {  // an operand was refused: the call ends before anything is queued
        qx_semaphore_free(req.reply);
        return nullptr;
    }

    qx_mutex_lock(queue_mutex(queue));
    req.next = queue_front(queue);
    queue_front(queue) = &req;
    qx_mutex_unlock(queue_mutex(queue));

    qx_semaphore_signal(wakeup_of(record));
    qx_semaphore_wait(req.reply);
    qx_semaphore_free(req.reply);
    return qx_box_int64(static_cast<int32_t>(req.sum));
}

}  // extern "C"
