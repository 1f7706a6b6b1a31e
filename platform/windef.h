/* Basic types, handles and constants of the platform layer.
 *
 * The module is written against the Windows programming model: 32-bit DWORD
 * and LONG, UTF-16 wide characters, opaque handles. This header gives those
 * types on every platform with Windows's own names, sizes and values, so that
 * the code above the platform layer reads the same everywhere. It is plain C,
 * so hosts written in C can include it.
 *
 * Differences from Windows:
 *  - WCHAR is char16_t (16 bits), not wchar_t (32 bits on Linux). On Windows
 *    the two have the same size and bytes, so the declarations here bind to
 *    the system's own functions; only the C++ type differs, and the win32
 *    implementation files convert pointers where they meet <windows.h>.
 *  - WINAPI and CALLBACK are the standard calling convention on 32-bit
 *    Windows and expand to nothing everywhere else.
 *  - Only the constants the module and its tests need are defined.
 *
 * On Windows the sizes and layouts of every type and structure here are
 * those of the Windows headers, so that the functions the system provides
 * (kernel32, user32, advapi32, shell32) are called directly; DWORD and LONG
 * are 32-bit int types here where Windows spells them long.
 */
#ifndef ML_PLATFORM_WINDEF_H_
#define ML_PLATFORM_WINDEF_H_

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

/* ML_EXPORT marks what leaves a shared library. Windows exports through
 * .def files, so there it marks nothing; and there the platform layer is a
 * static library linked into each binary (the system holds every state
 * that binaries share), so ML_PLATFORM_API marks nothing either. */
#if defined(_WIN32)
#define ML_EXPORT
#define ML_PLATFORM_API
#else
#define ML_EXPORT __attribute__((visibility("default")))
#if defined(ML_PLATFORM_BUILD)
#define ML_PLATFORM_API ML_EXPORT
#else
#define ML_PLATFORM_API
#endif
#endif

#ifdef __cplusplus
#define ML_EXTERN_C_BEGIN extern "C" {
#define ML_EXTERN_C_END }
#else
#define ML_EXTERN_C_BEGIN
#define ML_EXTERN_C_END
#endif

#if defined(_WIN32) && defined(__i386__)
#define WINAPI __stdcall
#define CALLBACK __stdcall
#else
#define WINAPI
#define CALLBACK
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef size_t SIZE_T;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef int32_t HRESULT;
typedef uint16_t LANGID;

typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;

/* Opaque handles. HANDLE is any kernel object (event, mutex, file). */
typedef void* HANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef void (*FARPROC)(void);

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* HRESULT values used across the platform (more in com.h). */
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define MAKELANGID(p, s) ((WORD)((((WORD)(s)) << 10) | (WORD)(p)))
#define PRIMARYLANGID(lgid) ((WORD)(lgid)&0x3ff)
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01

#endif /* ML_PLATFORM_WINDEF_H_ */
