#include "platform/win32/tests/system_support.h"

#include <windows.h>

#include <vector>

namespace ml::win32test {

static LPCWSTR Wide(const std::u16string& text) {
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

bool WriteValue(const std::u16string& key, const std::u16string& name, uint32_t type,
                const void* data, uint32_t bytes) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Wide(key), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExW(handle, Wide(name), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

void DeleteKey(const std::u16string& key) {
    RegDeleteTreeW(HKEY_CURRENT_USER, Wide(key));
}

int RunProcess(const std::u16string& path, const std::u16string& arguments) {
    std::u16string line = u"\"" + path + u"\" " + arguments;
    std::vector<wchar_t> mutableLine(line.c_str(), line.c_str() + line.size() + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(Wide(path), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code))
        code = static_cast<DWORD>(-1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

std::u16string ProgramFolder() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::u16string folder(reinterpret_cast<const char16_t*>(path), n < MAX_PATH ? n : 0);
    return folder.substr(0, folder.rfind(u'\\') + 1);
}

}  // namespace ml::win32test
