#include "platform/session.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

// A decimal number that fits a DWORD; nothing else.
bool ParseDecimal(std::string text, DWORD& value) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFu)
        return false;
    value = static_cast<DWORD>(n);
    return true;
}

}  // namespace

extern "C" {

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(::getpid());
}

BOOL ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    if (sessionId == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    std::string content;
    if (!ReadSmallFile("/proc/" + std::to_string(processId) + "/sessionid", content, 64)) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    DWORD value = 0;
    if (!ParseDecimal(content, value))
        return Fail(EINVAL, FALSE);
    // The audit subsystem's "unset".
    if (value == 0xFFFFFFFFu)
        return Fail(ENODATA, FALSE);
    *sessionId = value;
    return TRUE;
}

DWORD WTSGetActiveConsoleSessionId(void) {
    const char* id = std::getenv("XDG_SESSION_ID");
    DWORD value = 0;
    if (id == nullptr || !ParseDecimal(id, value))
        return 0;
    return value;
}

}  // extern "C"
