/* Known folders and module paths.
 *
 * POSIX: the common documents folder is the environment variable
 * ML_COMMON_DOCUMENTS, default /var/lib/kestrel/documents; the host
 * program's path is /proc/self/exe; a loaded library's path is the loader's.
 * The native separator is "/": wherever the module adds, tests or normalises
 * "\" on Windows it uses PathSeparator() here, so the same rules yield POSIX
 * paths.
 *
 * Windows: the system's known folder; ML_COMMON_DOCUMENTS is not read.
 */
#ifndef ML_PLATFORM_FOLDERS_H_
#define ML_PLATFORM_FOLDERS_H_

#include "platform/windef.h"

#define CSIDL_COMMON_DOCUMENTS 0x002E

ML_EXTERN_C_BEGIN
/* Only CSIDL_COMMON_DOCUMENTS is known (E_INVALIDARG otherwise). `path`
 * holds MAX_PATH characters; a longer folder fails. S_OK on success. */
ML_PLATFORM_API HRESULT WINAPI SHGetFolderPathW(HWND hwnd, int csidl, HANDLE token, DWORD flags,
                                                LPWSTR path);
/* The path of a loaded library, or of the program when module is NULL.
 * Returns its length; when it does not fit, copies nSize - 1 characters and a
 * terminator, returns nSize and sets ML_ERROR_INSUFFICIENT_BUFFER; 0 on
 * failure. */
ML_PLATFORM_API DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD nSize);
ML_EXTERN_C_END

#ifdef __cplusplus
namespace ml {
// The native path separator: u'/' on POSIX, u'\\' on Windows.
ML_PLATFORM_API char16_t PathSeparator();
}  // namespace ml
#endif

#endif /* ML_PLATFORM_FOLDERS_H_ */
