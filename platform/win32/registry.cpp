// Reading a string value of the system's registry in one step.
#include "platform/registry.h"

#include <vector>

#include "platform/lasterror.h"

namespace ml {

LONG RegReadString(HKEY root, const std::u16string& subKey, const std::u16string& valueName,
                   std::u16string& value) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    // The value may grow between the two reads; ask again then.
    std::vector<BYTE> data;
    DWORD type = 0;
    DWORD size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        rc = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            break;
        data.assign(size + sizeof(WCHAR), 0);
        size = static_cast<DWORD>(data.size());
        rc = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.data(), &size);
        if (rc != ML_ERROR_MORE_DATA)
            break;
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ)
        return ML_ERROR_INVALID_PARAMETER;
    // The stored string need not end with its terminator.
    std::u16string text(reinterpret_cast<const char16_t*>(data.data()), size / sizeof(WCHAR));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    value = std::move(text);
    return ERROR_SUCCESS;
}

std::u16string RegistryLocation() {
    return u"the system's registry";
}

}  // namespace ml
