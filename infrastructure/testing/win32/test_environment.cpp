// The private machine on Windows: HKEY_LOCAL_MACHINE of the process is a key
// of its own under HKEY_CURRENT_USER (RegOverridePredefKey).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "infrastructure/testing/test_environment.h"

namespace mltest {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVariables[] = {"ML_COMMON_DOCUMENTS", "ML_OBJECT_NAMESPACE"};

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? n : 0);
    return wide;
}

}  // namespace

std::string InfraEnvironment::Native(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

void InfraEnvironment::SetUp() {
    // An earlier process's directory may still be there (a loaded library
    // cannot be deleted, process ids come back): the first free name is taken.
    static std::atomic<int> counter{0};
    const char* run = std::getenv("ML_OBJECT_NAMESPACE");
    std::error_code ec;
    fs::path root;
    bool created = false;
    for (int attempt = 0; attempt < 1000 && !created; ++attempt) {
        namespace_ = std::string(run != nullptr && *run != '\0' ? run : "mltest") +
                     std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++) + "_";
        root = fs::temp_directory_path(ec) / ("mltest-" + namespace_);
        created = !ec && fs::create_directories(root, ec);
    }
    if (!created) {
        ADD_FAILURE() << "cannot create a temporary directory " << root.string();
        return;
    }
    root_ = root.string();
    const std::string values[] = {DocumentsDir(), namespace_};
    for (size_t i = 0; i < std::size(kVariables); ++i) {
        const char* old = std::getenv(kVariables[i]);
        saved_.push_back({kVariables[i], {old != nullptr, old ? old : ""}});
        _putenv_s(kVariables[i], values[i].c_str());
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Wide("Software\\mltest\\" + namespace_).c_str(), 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS ||
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, key) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot give the process a registry of its own";
    }
    if (key != nullptr)
        RegCloseKey(key);
}

void InfraEnvironment::TearDown() {
    if (root_.empty())
        return;
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, Wide("Software\\mltest\\" + namespace_).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\mltest");  // when no other test uses it
    for (const auto& [name, value] : saved_)
        _putenv_s(name.c_str(), value.first ? value.second.c_str() : "");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void InfraEnvironment::SetRegistryValue(const std::string& key, const std::string& name,
                                        const std::string& value) {
    HKEY handle = nullptr;
    std::wstring text = Wide(value);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &handle, nullptr) != ERROR_SUCCESS ||
        RegSetValueExW(handle, Wide(name).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot set the registry value " << key << "\\" << name;
    }
    if (handle != nullptr)
        RegCloseKey(handle);
}

void InfraEnvironment::RemoveRegistryValue(const std::string& key, const std::string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_SET_VALUE, &handle) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(handle, Wide(name).c_str());
        RegCloseKey(handle);
    }
}

}  // namespace mltest
