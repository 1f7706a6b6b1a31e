// The calls into the Windows headers that the platform's C++ interfaces
// need, with fixed-width types only.
//
// <windows.h> declares the system's functions with wchar_t strings and its
// own GUID, IUnknown and BSTR, which clash with the platform headers of the
// same names. Only system_calls.cpp and winscard_calls.cpp include it; the
// other files of this folder include the platform headers and call through
// here. GUIDs and interface pointers cross as untyped pointers (their
// layouts are the same on both sides).
#ifndef ML_PLATFORM_WIN32_SYSTEM_CALLS_H_
#define ML_PLATFORM_WIN32_SYSTEM_CALLS_H_

#include <cstddef>
#include <cstdint>

namespace ml::win32 {

int32_t ComInitialize();
void ComUninitialize();
// CoCreateInstance; `clsid` and `iid` point to GUIDs.
int32_t ComCreateInstance(const void* clsid, void* outer, uint32_t context, const void* iid,
                          void** object);

char16_t* AllocString(const char16_t* text, uint32_t length);
void FreeString(char16_t* text);
uint32_t StringLength(char16_t* text);

}  // namespace ml::win32

#endif  // ML_PLATFORM_WIN32_SYSTEM_CALLS_H_
