/* Kernel object handles: waiting on and closing events, mutexes and files.
 *
 * A HANDLE returned by CreateEventW, OpenEventW, CreateMutexW or CreateFileW
 * is owned by the caller and closed with CloseHandle. Closing the handle of a
 * named object closes this process's view of it; the object itself lives on
 * while other processes hold it (and, on POSIX, its name stays on the machine
 * so that later openers meet the same state).
 *
 * Windows: the system's functions.
 */
#ifndef ML_PLATFORM_HANDLE_H_
#define ML_PLATFORM_HANDLE_H_

#include "platform/windef.h"

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

ML_EXTERN_C_BEGIN
/* Waits until the object is signalled (event set, mutex acquired), at most
 * `ms` milliseconds (0: test only; INFINITE: no time-out). Returns
 * WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (last error set). */
ML_PLATFORM_API DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms);
/* Closes the handle. FALSE with ML_ERROR_INVALID_HANDLE for NULL or an
 * unknown handle. */
ML_PLATFORM_API BOOL WINAPI CloseHandle(HANDLE h);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_HANDLE_H_ */
