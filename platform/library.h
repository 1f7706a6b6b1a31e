/* Loading libraries at run time.
 *
 * POSIX: dlopen(RTLD_NOW | RTLD_LOCAL), dlsym, dlclose. A failure sets the
 * last error to ML_ERROR_MOD_NOT_FOUND or ML_ERROR_PROC_NOT_FOUND, and
 * FormatMessageW of that code gives the loader's own text (dlerror) of the
 * thread's last failure.
 *
 * File names on POSIX: the module is libmlcardmanx.so, its language libraries
 * libmlcardman<letter>.so beside it, the CT-API driver ct32.so.
 *
 * Each successful LoadLibraryW is balanced by one FreeLibrary.
 *
 * Windows: the system's loader; file names end in .dll (mlcardmanx.dll,
 * mlcardman<letter>.dll, ct32.dll) and have no "lib" prefix.
 */
#ifndef ML_PLATFORM_LIBRARY_H_
#define ML_PLATFORM_LIBRARY_H_

#include "platform/windef.h"

#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

ML_EXTERN_C_BEGIN
ML_PLATFORM_API HMODULE WINAPI LoadLibraryW(LPCWSTR path);
ML_PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
ML_PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE module);
/* Only with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS: the library that holds
 * the address `name` (cast to LPCWSTR as on Windows). With
 * GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the handle is not counted
 * and must not be freed; without it, FreeLibrary balances it. */
ML_PLATFORM_API BOOL WINAPI GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_LIBRARY_H_ */
