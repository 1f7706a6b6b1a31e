/* Basic types, handles and constants of the platform layer.
 *
 * The module is written against the Windows programming model: 32-bit DWORD
 * and LONG, UTF-16 wide characters, opaque handles. This header gives those
 * types on every platform with Windows's own names, sizes and values, so that
 * the code above the platform layer reads the same everywhere. It is plain C,
 * so hosts written in C can include it.
 *
 * Differences from Windows:
 *  - WCHAR is char16_t (16 bits), not wchar_t (32 bits on Linux).
 *  - WINAPI and CALLBACK expand to nothing: the standard calling convention
 *    only exists on 32-bit Windows.
 *  - Only the constants the module and its tests need are defined.
 */
#ifndef ML_PLATFORM_WINDEF_H_
#define ML_PLATFORM_WINDEF_H_

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(ML_PLATFORM_BUILD)
#define ML_PLATFORM_API __attribute__((visibility("default")))
#else
#define ML_PLATFORM_API
#endif

#ifdef __cplusplus
#define ML_EXTERN_C_BEGIN extern "C" {
#define ML_EXTERN_C_END }
#else
#define ML_EXTERN_C_BEGIN
#define ML_EXTERN_C_END
#endif

#define WINAPI
#define CALLBACK

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
