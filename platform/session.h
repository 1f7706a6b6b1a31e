/* Process and session numbers.
 *
 * POSIX: a process's session is /proc/<pid>/sessionid (the login session of
 * the kernel's audit subsystem). Unreadable, or 4294967295 (unset), counts as
 * failure. The active console session is then XDG_SESSION_ID when it is a
 * decimal number, else 0.
 *
 * Windows: the system's functions (kernel32).
 */
#ifndef ML_PLATFORM_SESSION_H_
#define ML_PLATFORM_SESSION_H_

#include "platform/windef.h"

ML_EXTERN_C_BEGIN
ML_PLATFORM_API DWORD WINAPI GetCurrentProcessId(void);
ML_PLATFORM_API BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
ML_PLATFORM_API DWORD WINAPI WTSGetActiveConsoleSessionId(void);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_SESSION_H_ */
