/* Reading the registry (read only).
 *
 * On POSIX the registry is a directory tree. Its root is the environment
 * variable ML_REGISTRY_ROOT, default /etc/kestrel/registry. A key is a
 * directory, a value a file holding the string in UTF-8 (one trailing
 * newline is removed); the default value of a key is the file "@". So the
 * value "Path" of HKEY_LOCAL_MACHINE "SOFTWARE\Kestrel\APPSW\MorlindLogon" is
 * the file <root>/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/MorlindLogon/Path.
 * Every value is a string (REG_SZ). Key and value names with "..", "/",
 * empty components or NUL are refused with ML_ERROR_INVALID_PARAMETER.
 * Names are compared exactly (the file system decides case).
 *
 * The functions return an error code (ERROR_SUCCESS, an errno such as
 * ENOENT, or an ML_ERROR_* code) and, as on Windows, do not set the last
 * error. An HKEY from RegOpenKeyExW is owned by the caller: RegCloseKey.
 *
 * Windows: the system's registry (advapi32); ML_REGISTRY_ROOT is not read,
 * and a value has the type it was stored with (ml::RegReadString takes only
 * REG_SZ).
 */
#ifndef ML_PLATFORM_REGISTRY_H_
#define ML_PLATFORM_REGISTRY_H_

#include "platform/windef.h"

/* Sign-extended on 64-bit systems, as Windows defines them. */
#define HKEY_CLASSES_ROOT ((HKEY)(intptr_t)(int32_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(intptr_t)(int32_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(intptr_t)(int32_t)0x80000002u)

#define KEY_QUERY_VALUE 0x0001u
#define KEY_READ 0x20019u
#define REG_SZ 1u

typedef DWORD REGSAM;

ML_EXTERN_C_BEGIN
ML_PLATFORM_API LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam,
                                          HKEY* result);
/* Value name NULL or "" is the default value. `data` receives the string in
 * UTF-16 with its terminator; *cbData is the buffer size in bytes on entry
 * and the size of the value in bytes (terminator included) on return. A
 * buffer too small yields ML_ERROR_MORE_DATA and the needed size; data NULL
 * asks for the size only. */
ML_PLATFORM_API LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved,
                                             DWORD* type, BYTE* data, DWORD* cbData);
ML_PLATFORM_API LONG WINAPI RegCloseKey(HKEY key);
ML_EXTERN_C_END

#ifdef __cplusplus
#include <string>
namespace ml {
// Reads a string value in one step: ERROR_SUCCESS and the text, or the
// error code of the first step that failed.
ML_PLATFORM_API LONG RegReadString(HKEY root, const std::u16string& subKey,
                                   const std::u16string& valueName, std::u16string& value);
// Where the registry lives, for tools that show it: on POSIX its root
// folder, on Windows the words "the system's registry".
ML_PLATFORM_API std::u16string RegistryLocation();
}  // namespace ml
#endif

#endif /* ML_PLATFORM_REGISTRY_H_ */
