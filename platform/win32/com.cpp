// Component activation through the system's COM: CoCreateInstance finds the
// in-process server registered under HKEY_CLASSES_ROOT "CLSID\{...}" and
// asks its DllGetClassObject. BSTRs are the system's.
#include "platform/com.h"

#include <cstdio>

#include "platform/codepage.h"
#include "platform/win32/system_calls.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT CoInitialize(LPVOID) {
    return ml::win32::ComInitialize();
}

void CoUninitialize() {
    ml::win32::ComUninitialize();
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (object == nullptr)
        return E_POINTER;
    return ml::win32::ComCreateInstance(&clsid, outer, context, &iid, object);
}

std::u16string GuidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return ml::FromUtf8(text);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    return ml::win32::AllocString(text, length);
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr)
        return nullptr;
    UINT length = 0;
    while (text[length] != 0)
        ++length;
    return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
    ml::win32::FreeString(text);
}

UINT SysStringLen(BSTR text) {
    return ml::win32::StringLength(text);
}
