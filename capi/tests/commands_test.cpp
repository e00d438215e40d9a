// Control commands, and the provider and container listings they print.
#include "engine_fixture.h"

namespace {

class CommandsTest : public EngineTest {
protected:
    int command(const char *name, const char *arg)
    {
        return ENGINE_ctrl_cmd_string(engine_, name, arg, 0);
    }
    // Runs a command and returns what it printed on standard output.
    std::string printed_by(const char *name, const char *arg, int *result)
    {
        testing::internal::CaptureStdout();
        *result = command(name, arg);
        return testing::internal::GetCapturedStdout();
    }
};

}  // namespace
