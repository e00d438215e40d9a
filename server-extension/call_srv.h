// call_srv and its worker thread: the records they share.
#pragma once

#include <stdint.h>

#include "quendrix/server.h"

extern "C" {

// One call's request, made in the caller's frame: five pointer-sized words.
struct call_srv_request {
    qx_semaphore *reply;            // signalled by the worker once the sum is set
    struct call_srv_request *next;  // the link of the queue
    intptr_t first;                 // operands and sum are 32-bit signed numbers
    intptr_t second;
    intptr_t sum;
};

// Null until the worker is started; never changed afterwards. The worker record
// holds the worker's thread handle and the request queue; the queue holds its
// mutex and the first pending request (the queue is a stack).
extern qx_value call_srv_worker_record;
extern qx_value call_srv_request_queue;

// call_srv(first, second): the 32-bit sum, computed by the worker thread.
qx_value call_srv(qx_state *qst, qx_value *err, qx_value *args);
// The worker's body: serves one request per wake-up, forever.
void call_srv_worker(void *worker_record);

}
