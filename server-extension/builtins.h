// The built-in SQL functions that quendrix adds to the server, and the start-up
// hook that registers them.
#pragma once

#include "quendrix/server.h"
#include "quendrix/statements.h"

extern "C" {

// The lock that guards starting call_srv's worker; created by start_hook.
extern qx_mutex *startup_lock;

void start_hook(void);

qx_value my_aref(qx_state *qst, qx_value *err, qx_value *args);
qx_value my_vector(qx_state *qst, qx_value *err, qx_value *args);
qx_value my_select(qx_state *qst, qx_value *err, qx_value *args);

}
