// The calls of system_calls.h: the one file of the platform library besides
// the smart-card calls that includes <windows.h>.
#include "platform/win32/system_calls.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

namespace ml::win32 {

int32_t ComInitialize() {
    return CoInitialize(nullptr);
}

void ComUninitialize() {
    CoUninitialize();
}

int32_t ComCreateInstance(const void* clsid, void* outer, uint32_t context, const void* iid,
                          void** object) {
    return CoCreateInstance(*static_cast<const CLSID*>(clsid), static_cast<IUnknown*>(outer),
                            context, *static_cast<const IID*>(iid), object);
}

char16_t* AllocString(const char16_t* text, uint32_t length) {
    return reinterpret_cast<char16_t*>(
        SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), length));
}

void FreeString(char16_t* text) {
    SysFreeString(reinterpret_cast<BSTR>(text));
}

uint32_t StringLength(char16_t* text) {
    return SysStringLen(reinterpret_cast<BSTR>(text));
}

}  // namespace ml::win32
