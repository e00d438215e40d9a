// quendrix: runs the Quendrix server under this program's model name, with the
// start-up hook that adds the built-ins. The command line belongs to the server.
#include "builtins.h"

int main(int argc, char **argv, char **envp) {
    qx_set_model_name("Sample Interface");
    qx_set_startup_hook(start_hook);
    return qx_server_main(argc, argv, envp);
}
