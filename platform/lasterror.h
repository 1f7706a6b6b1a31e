/* The thread's last error, as GetLastError/SetLastError on Windows.
 *
 * Every platform call that fails sets the calling thread's last error; a call
 * that succeeds leaves it alone unless its own contract says otherwise.
 *
 * The codes are those of the operating system: on POSIX errno values
 * (ENOENT is 2, like ERROR_FILE_NOT_FOUND). Failures that have no errno of
 * their own use the codes below, which carry the "customer" bit 0x20000000
 * that Windows leaves to applications, so they never meet an errno value or a
 * PC/SC result. FormatMessageW (error_text.h) has a text for each of them.
 *
 * Thread safety: the value is thread-local.
 *
 * Windows: the system's last error and codes; the ML_ERROR_* codes are the
 * Windows codes they are named after (the base is 0).
 */
#ifndef ML_PLATFORM_LASTERROR_H_
#define ML_PLATFORM_LASTERROR_H_

#include "platform/windef.h"

#define ERROR_SUCCESS 0L

/* Failures without an errno. On Windows these are the system's own codes
 * (the base is 0), since every failure there has one. */
#if defined(_WIN32)
#define ML_ERROR_BASE 0u
#else
#define ML_ERROR_BASE 0x20000000u
#endif
/* A library could not be loaded; the text is the loader's (dlerror). */
#define ML_ERROR_MOD_NOT_FOUND (ML_ERROR_BASE | 126u)
/* A library lacks the entry point asked for; the text is the loader's. */
#define ML_ERROR_PROC_NOT_FOUND (ML_ERROR_BASE | 127u)
/* A buffer was too small for the whole result (ERROR_MORE_DATA). */
#define ML_ERROR_MORE_DATA (ML_ERROR_BASE | 234u)
/* A buffer was too small; the result was cut (ERROR_INSUFFICIENT_BUFFER). */
#define ML_ERROR_INSUFFICIENT_BUFFER (ML_ERROR_BASE | 122u)
/* A string table has no text of that number (ERROR_RESOURCE_NAME_NOT_FOUND). */
#define ML_ERROR_RESOURCE_NAME_NOT_FOUND (ML_ERROR_BASE | 1814u)
/* A library has no string table at all (ERROR_RESOURCE_DATA_NOT_FOUND). */
#define ML_ERROR_RESOURCE_DATA_NOT_FOUND (ML_ERROR_BASE | 1812u)
/* An argument was refused (bad name, null pointer, window handle given). */
#define ML_ERROR_INVALID_PARAMETER (ML_ERROR_BASE | 87u)
/* A thread has no message queue (ERROR_INVALID_THREAD_ID). */
#define ML_ERROR_INVALID_THREAD_ID (ML_ERROR_BASE | 1444u)
/* A timer of that identifier does not exist (ERROR_INVALID_TIMER... family). */
#define ML_ERROR_NO_SUCH_TIMER (ML_ERROR_BASE | 1402u)
/* A handle of the wrong kind was given (ERROR_INVALID_HANDLE). */
#define ML_ERROR_INVALID_HANDLE (ML_ERROR_BASE | 6u)
/* A mutex released by a thread that does not own it (ERROR_NOT_OWNER). */
#define ML_ERROR_NOT_OWNER (ML_ERROR_BASE | 288u)

ML_EXTERN_C_BEGIN
ML_PLATFORM_API DWORD WINAPI GetLastError(void);
ML_PLATFORM_API void WINAPI SetLastError(DWORD code);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_LASTERROR_H_ */
