// Registers the built-ins with the server while it starts, and creates the lock
// that call_srv uses to start its worker once. Results are not tested: the server
// reports its own failures.
#include "builtins.h"
#include "call_srv.h"
#include "n_range_bif.h"

extern "C" {

qx_mutex *startup_lock = nullptr;

void start_hook(void) {
    qx_bif_define("call_srv", call_srv);
    qx_bif_define_typed("my_aref", my_aref, &qx_result_type_any);
    qx_bif_define_typed("my_vector", my_vector, &qx_result_type_any);
    qx_bif_define_typed("my_select", my_select, &qx_result_type_any);
    qx_bif_define("need_to_know", need_to_know);
    qx_bif_define("n_range_bif", n_range_bif);
    startup_lock = qx_mutex_new();
}

}
