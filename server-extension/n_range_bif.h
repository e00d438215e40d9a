// n_range_bif: a built-in that sends result rows instead of returning a value.
#pragma once

#include "quendrix/server.h"

extern "C" {

// n_range_bif(lower or NULL, upper or NULL): sends the rows (i, 2 * i) for i
// from lower (default 0) up to, not including, upper (default 10); returns null.
qx_value n_range_bif(qx_state *qst, qx_value *err, qx_value *args);

}
