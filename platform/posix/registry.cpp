#include "platform/registry.h"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

constexpr const char* kDefaultRegistryRoot = "/etc/kestrel/registry";

// Values are short strings; anything larger is not a registry value.
constexpr size_t kMaxValueBytes = 1 << 20;

// An opened key: the directory that holds its values.
struct RegKey {
    std::string path;
};

struct OpenKeys {
    std::mutex mutex;
    std::unordered_set<RegKey*> keys;
};

OpenKeys& Keys() {
    static auto* keys = new OpenKeys;
    return *keys;
}

const char* RootName(HKEY key) {
    if (key == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    return nullptr;
}

// The directory of `key`; false when the handle is unknown.
bool KeyPath(HKEY key, std::string& path) {
    if (const char* root = RootName(key)) {
        path = EnvOr("ML_REGISTRY_ROOT", kDefaultRegistryRoot) + "/" + root;
        return true;
    }
    auto& keys = Keys();
    std::lock_guard lock(keys.mutex);
    auto* opened = reinterpret_cast<RegKey*>(key);
    if (keys.keys.count(opened) == 0)
        return false;
    path = opened->path;
    return true;
}

// A name component usable as a file name: not empty, not "." or "..", no
// "/" and no NUL.
bool ValidComponent(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..")
        return false;
    return name.find(u'/') == name.npos && name.find(u'\0') == name.npos;
}

// Appends the components of `subKey` ("A\B\C") to `path`.
bool AppendSubKey(std::u16string_view subKey, std::string& path) {
    if (subKey.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = subKey.find(u'\\', start);
        auto part = subKey.substr(start, end == subKey.npos ? subKey.npos : end - start);
        if (!ValidComponent(part))
            return false;
        path += '/';
        path += Utf16ToUtf8(part);
        if (end == subKey.npos)
            return true;
        start = end + 1;
    }
}

LONG OpenKey(HKEY key, std::u16string_view subKey, HKEY* result) {
    if (result == nullptr)
        return static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
    *result = nullptr;
    std::string path;
    if (!KeyPath(key, path))
        return static_cast<LONG>(ML_ERROR_INVALID_HANDLE);
    if (!AppendSubKey(subKey, path))
        return static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOENT;
    auto opened = std::make_unique<RegKey>(RegKey{std::move(path)});
    auto& keys = Keys();
    std::lock_guard lock(keys.mutex);
    keys.keys.insert(opened.get());
    *result = reinterpret_cast<HKEY>(opened.release());
    return ERROR_SUCCESS;
}

// Reads the value as UTF-16 without terminator.
LONG ReadValue(HKEY key, std::u16string_view name, std::u16string& value) {
    std::string path;
    if (!KeyPath(key, path))
        return static_cast<LONG>(ML_ERROR_INVALID_HANDLE);
    if (name.empty()) {
        path += "/@";
    } else {
        if (!ValidComponent(name))
            return static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
        path += '/';
        path += Utf16ToUtf8(name);
    }
    std::string content;
    if (!ReadSmallFile(path, content, kMaxValueBytes))
        return errno == EISDIR ? ENOENT : errno;
    if (!content.empty() && content.back() == '\n')
        content.pop_back();
    value = Utf8ToUtf16(content);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, HKEY* result) {
    return OpenKey(key, subKey ? std::u16string_view(subKey, WideLength(subKey)) : u"", result);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (reserved != nullptr || (data != nullptr && cbData == nullptr))
        return static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
    std::u16string value;
    LONG rc = ReadValue(
        key, valueName ? std::u16string_view(valueName, WideLength(valueName)) : u"", value);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != nullptr)
        *type = REG_SZ;
    DWORD needed = static_cast<DWORD>((value.size() + 1) * sizeof(char16_t));
    if (cbData == nullptr)
        return ERROR_SUCCESS;
    DWORD capacity = *cbData;
    *cbData = needed;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (capacity < needed)
        return static_cast<LONG>(ML_ERROR_MORE_DATA);
    std::memcpy(data, value.c_str(), needed);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    if (RootName(key) != nullptr)
        return ERROR_SUCCESS;
    auto* opened = reinterpret_cast<RegKey*>(key);
    {
        auto& keys = Keys();
        std::lock_guard lock(keys.mutex);
        if (keys.keys.erase(opened) == 0)
            return static_cast<LONG>(ML_ERROR_INVALID_HANDLE);
    }
    delete opened;
    return ERROR_SUCCESS;
}

}  // extern "C"

namespace ml {

LONG RegReadString(HKEY root, const std::u16string& subKey, const std::u16string& valueName,
                   std::u16string& value) {
    HKEY key = nullptr;
    LONG rc = OpenKey(root, subKey, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Closed also when the read throws (out of memory).
    std::unique_ptr<HKEY__, LONG (*)(HKEY)> closer(key, RegCloseKey);
    return ReadValue(key, valueName, value);
}

std::u16string RegistryLocation() {
    return Utf8ToUtf16(EnvOr("ML_REGISTRY_ROOT", kDefaultRegistryRoot));
}

}  // namespace ml
