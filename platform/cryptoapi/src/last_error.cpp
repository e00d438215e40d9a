// The last error is per thread, as on Windows.
#include <windows.h>

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }
