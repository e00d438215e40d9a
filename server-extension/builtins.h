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
qx_value need_to_know(qx_state *qst, qx_value *err, qx_value *args);
// need_to_know's helpers: AND the need-to-know test for one report table into a
// from-where node, and join two conditions (either may be null).
void restrict_to_need_to_know(qx_value from_where, const char *qualifier, int32_t user);
qx_value and_conditions(qx_value left, qx_value right);

}
