// Files, for the logs and the settings readers.
//
// Paths are UTF-16 and go to the file system as UTF-8 on POSIX. Handles come
// back as HANDLE and are closed with CloseHandle (handle.h). Files are always
// opened for shared reading and writing, so that other processes may append
// to the same log. A failing call sets the last error and returns FALSE,
// INVALID_HANDLE_VALUE or 0 as on Windows.
//
// Differences from Windows: CreateFileW knows only the dispositions
// OPEN_EXISTING and OPEN_ALWAYS and the access rights GENERIC_READ,
// GENERIC_WRITE and FILE_APPEND_DATA; sharing and attribute flags are
// ignored. Only regular files are opened: a path that names a folder fails
// (EISDIR), one that names a FIFO, socket or device fails (ENXIO) without
// blocking, and a symbolic link in the last part of the path is not
// followed (ELOOP). OPEN_ALWAYS makes a missing file with O_EXCL; an
// existing file in a sticky folder (the shared log folder, /tmp) that
// belongs to neither the caller nor the folder's owner is refused
// (EACCES), so that nobody can plant a file for another user's log.
//
// Windows: the system's functions with all their dispositions and flags.
#ifndef ML_PLATFORM_FILE_H_
#define ML_PLATFORM_FILE_H_

#include "platform/handle.h"
#include "platform/windef.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
// Without GENERIC_WRITE: every write goes to the end of the file, in one
// step, also when other processes append to the same file.
#define FILE_APPEND_DATA 0x0004u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// 100-nanosecond intervals since 1601-01-01 (UTC), as on Windows.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA;

typedef enum _GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard } GET_FILEEX_INFO_LEVELS;

#define FILE_ATTRIBUTE_DIRECTORY 0x10u

ML_EXTERN_C_BEGIN
ML_PLATFORM_API HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode,
                                          void* security, DWORD disposition, DWORD flags,
                                          HANDLE templateFile);
ML_PLATFORM_API BOOL WINAPI GetFileSizeEx(HANDLE file, LONGLONG* size);
ML_PLATFORM_API BOOL WINAPI SetFilePointerEx(HANDLE file, LONGLONG distance, LONGLONG* newPosition,
                                             DWORD method);
// Writes all bytes or fails; *written receives the count written.
ML_PLATFORM_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD size, DWORD* written,
                                      void* overlapped);
// Cuts the file at the file pointer.
ML_PLATFORM_API BOOL WINAPI SetEndOfFile(HANDLE file);
// Reads up to size bytes; *read 0 at the end of the file.
ML_PLATFORM_API BOOL WINAPI ReadFile(HANDLE file, LPVOID data, DWORD size, DWORD* read,
                                     void* overlapped);
// Copies as a new file written beside the target and renamed over it, so a
// reader never sees half a copy.
ML_PLATFORM_API BOOL WINAPI CopyFileW(LPCWSTR existing, LPCWSTR newFile, BOOL failIfExists);
ML_PLATFORM_API BOOL WINAPI DeleteFileW(LPCWSTR path);
ML_PLATFORM_API BOOL WINAPI GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level,
                                                 LPVOID info);
// -1, 0 or 1 as first is earlier, equal or later than second.
ML_PLATFORM_API LONG WINAPI CompareFileTime(const FILETIME* first, const FILETIME* second);
ML_EXTERN_C_END

#endif  // ML_PLATFORM_FILE_H_
