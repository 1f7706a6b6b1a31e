/* Named events and mutexes shared by every process of the machine.
 *
 * Names such as "Global\mlevent_logoninprocess" map to one object of the
 * machine: "\" becomes "." and the value of the environment variable
 * ML_OBJECT_NAMESPACE, when set, is put in front, so that parallel test runs
 * do not meet. Names that are empty, contain "/" or a NUL, or are too long
 * for the system are refused with ML_ERROR_INVALID_PARAMETER.
 *
 * The objects carry no access list: every user and session of the machine
 * may open them (on POSIX they are created with mode 0666 whatever the
 * umask). Security attributes are accepted and ignored.
 *
 * Events (POSIX: an 8-byte file "<name>.event" holding a mark, the state
 * and the kind): a set made by one process is seen by every other at once;
 * waiters of all processes wake. Manual reset and auto reset are both
 * supported. The file is read and checked under a record lock on every use:
 * a short, long or garbage file makes every call fail (last error
 * EUCLEAN), it never crashes the process.
 *
 * Mutexes (POSIX: an advisory lock on the file "<name>.lock", whose contents
 * are never read): owned by a thread, as on Windows: another thread or
 * process waits until the owner releases it. The owner may wait again and
 * must release as often. A holder that dies releases the mutex; the next
 * waiter acquires it and gets WAIT_OBJECT_0 (an abandoned mutex counts as
 * acquired).
 *
 * Lifetime, as on Windows: an object that no process has open starts afresh
 * when it is next created. A process holds a shared flock on an event's file
 * for as long as it has the event open; a creator that finds no other holder
 * writes the state it asks for, also over a damaged file. A mutex that no
 * process holds is free anyway.
 *
 * Differences from Windows:
 * - no access rights, no inheritance; an event name and a mutex name never
 *   clash;
 * - the objects live directly in /dev/shm, the sticky, world-writable
 *   folder every Linux machine has, so that every account of the machine
 *   shares them without an installation step. Nothing found there is
 *   trusted: links are not followed, only regular files are used, an
 *   existing file is opened without O_CREAT (so protected_regular=2 does not
 *   stand between two accounts) and its mode is never changed; a new file is
 *   written complete under a temporary name and linked into place. A user
 *   who plants a file under an object's name before the first creator can
 *   deny the object (the calls fail with an error) but cannot crash or
 *   mislead the process, nor make it write anywhere else. Any user of the
 *   machine may set, reset or hold the objects, as on Windows with an empty
 *   access list.
 *
 * Windows: the system's objects; names are used as they are ("Global\..."),
 * ML_OBJECT_NAMESPACE is not read, and security attributes are honoured.
 */
#ifndef ML_PLATFORM_NAMED_OBJECTS_H_
#define ML_PLATFORM_NAMED_OBJECTS_H_

#include "platform/handle.h"
#include "platform/windef.h"

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES;

#define EVENT_MODIFY_STATE 0x0002u
#define SYNCHRONIZE 0x00100000u
#define EVENT_ALL_ACCESS 0x001F0003u

ML_EXTERN_C_BEGIN
/* Opens the named event, creating it in the given state when it does not
 * exist yet. The state of an existing event is not changed. NULL on failure
 * (last error set). A NULL name makes an event of this process only. */
ML_PLATFORM_API HANDLE WINAPI CreateEventW(SECURITY_ATTRIBUTES* sa, BOOL bManualReset,
                                           BOOL bInitialState, LPCWSTR name);
/* Opens an existing named event; NULL with ENOENT when there is none. */
ML_PLATFORM_API HANDLE WINAPI OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
ML_PLATFORM_API BOOL WINAPI SetEvent(HANDLE event);
ML_PLATFORM_API BOOL WINAPI ResetEvent(HANDLE event);

/* Opens the named mutex, creating it when needed; with bInitialOwner the
 * caller waits for it before the call returns. NULL on failure. */
ML_PLATFORM_API HANDLE WINAPI CreateMutexW(SECURITY_ATTRIBUTES* sa, BOOL bInitialOwner,
                                           LPCWSTR name);
/* Releases a mutex held through this handle; FALSE with ML_ERROR_NOT_OWNER
 * when it is not held. */
ML_PLATFORM_API BOOL WINAPI ReleaseMutex(HANDLE mutex);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_NAMED_OBJECTS_H_ */
