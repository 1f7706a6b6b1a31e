#include "platform/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/library.h"
#include "platform/posix/internal.h"
#include "platform/registry.h"

using namespace ml::posix;

namespace {
thread_local unsigned t_comInitialised = 0;
}

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT CoInitialize(LPVOID) {
    return t_comInitialised++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (t_comInitialised > 0)
        --t_comInitialised;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (t_comInitialised == 0)
        return CO_E_NOTINITIALIZED;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (!(context & CLSCTX_INPROC_SERVER))
        return REGDB_E_CLASSNOTREG;
    std::u16string path;
    if (ml::RegReadString(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidToString(clsid) + u"\\InprocServer32",
                          u"", path) != ERROR_SUCCESS ||
        path.empty())
        return REGDB_E_CLASSNOTREG;
    // Components stay loaded until the process ends: objects they made may
    // outlive the caller's COM initialisation. Loading again only counts up.
    HMODULE library = LoadLibraryW(path.c_str());
    if (library == nullptr)
        return CO_E_DLLNOTFOUND;
    auto factory =
        reinterpret_cast<MlCreateInstanceFn>(GetProcAddress(library, ML_COM_FACTORY_SYMBOL));
    if (factory == nullptr) {
        FreeLibrary(library);
        return CO_E_ERRORINDLL;
    }
    return factory(clsid, iid, object);
}

std::u16string GuidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return Utf8ToUtf16(text);
}

// A BSTR points behind a 32-bit byte count; a terminator follows the text.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (UINT32_MAX - sizeof(uint32_t) - sizeof(OLECHAR)) / sizeof(OLECHAR))
        return nullptr;
    size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
    auto* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
    if (block == nullptr)
        return nullptr;
    auto count = static_cast<uint32_t>(bytes);
    std::memcpy(block, &count, sizeof count);
    auto* string = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (text != nullptr)
        std::memcpy(string, text, bytes);
    else
        std::memset(string, 0, bytes);
    string[length] = 0;
    return string;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr)
        return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(WideLength(text)));
}

void SysFreeString(BSTR text) {
    if (text != nullptr)
        std::free(reinterpret_cast<char*>(text) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr)
        return 0;
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<char*>(text) - sizeof(uint32_t), sizeof bytes);
    return bytes / sizeof(OLECHAR);
}
