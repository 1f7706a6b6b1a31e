#include "platform/lasterror.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" {
DWORD GetLastError(void) {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}
}
