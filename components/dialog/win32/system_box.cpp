// The calls of system_box.h and the COM server's entry points.
#include "components/dialog/win32/system_box.h"

#include <objbase.h>
#include <windows.h>

#include <string>

namespace logondm::win32 {

namespace {

// MessageBoxTimeoutW is exported by user32 on every Windows since XP (and by
// Wine) but declared by no header; without it a box has no time limit.
using MessageBoxTimeoutFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, WORD, DWORD);

MessageBoxTimeoutFn FindMessageBoxTimeout() {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (user32 == nullptr)
        return nullptr;
    return reinterpret_cast<MessageBoxTimeoutFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxTimeoutW")));
}

LPCWSTR Wide(const char16_t* text) {
    return reinterpret_cast<LPCWSTR>(text);
}

HMODULE ThisLibrary() {
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisLibrary), &self);
    return self;
}

LONG SetString(HKEY key, LPCWSTR name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

int ShowSystemBox(const char16_t* text, const char16_t* caption, uint32_t type,
                  uint32_t timeoutMs) {
    // The box belongs to no window of ours; it stays in front of the logon
    // screen and takes the focus.
    const UINT flags = type | MB_SETFOREGROUND | MB_TOPMOST;
    if (timeoutMs > 0) {
        static const MessageBoxTimeoutFn withTimeout = FindMessageBoxTimeout();
        if (withTimeout != nullptr)
            return withTimeout(nullptr, Wide(text), Wide(caption), flags, 0, timeoutMs);
    }
    return MessageBoxW(nullptr, Wide(text), Wide(caption), flags);
}

int32_t RegisterServer(const char16_t* clsid, const char16_t* name) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(ThisLibrary(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return HRESULT_FROM_WIN32(GetLastError());
    const std::wstring key = std::wstring(L"CLSID\\") + Wide(clsid);
    HKEY classKey = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &classKey, nullptr);
    if (rc != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(rc);
    rc = SetString(classKey, nullptr, Wide(name));
    HKEY serverKey = nullptr;
    if (rc == ERROR_SUCCESS)
        rc = RegCreateKeyExW(classKey, L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr,
                             &serverKey, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = SetString(serverKey, nullptr, std::wstring(path, length));
        // Callers on any thread get the object itself, never a proxy.
        if (rc == ERROR_SUCCESS)
            rc = SetString(serverKey, L"ThreadingModel", L"Both");
        RegCloseKey(serverKey);
    }
    RegCloseKey(classKey);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

int32_t UnregisterServer(const char16_t* clsid) {
    const std::wstring key = std::wstring(L"CLSID\\") + Wide(clsid);
    LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace logondm::win32
