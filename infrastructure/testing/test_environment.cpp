#include "infrastructure/testing/test_environment.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "infrastructure/log_file.h"
#include "infrastructure/log_file_internal.h"
#include "infrastructure/mlconfigx.h"
#include "platform/codepage.h"
#include "platform/session.h"
#include "platform/tests/test_support.h"

namespace mltest {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVariables[] = {"ML_REGISTRY_ROOT", "ML_COMMON_DOCUMENTS",
                                      "ML_OBJECT_NAMESPACE"};
constexpr char kInstallKey[] = "SOFTWARE\\Kestrel\\APPSW\\MorlindLogon";

std::string KeyDirectory(const std::string& root, const std::string& key) {
    std::string path = root + "/registry/HKEY_LOCAL_MACHINE/";
    for (char c : key) {
        path.push_back(c == '\\' ? '/' : c);
    }
    return path;
}

}  // namespace

InfraEnvironment::InfraEnvironment() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mltest-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary directory from " << pattern;
        return;
    }
    root_ = buffer.data();

    static std::atomic<int> counter{0};
    namespace_ =
        ml::test::RunNamespace() + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
    const std::string values[] = {root_ + "/registry", DocumentsDir(), namespace_};
    for (size_t i = 0; i < std::size(kVariables); ++i) {
        const char* old = std::getenv(kVariables[i]);
        saved_.push_back({kVariables[i], {old != nullptr, old ? old : ""}});
        setenv(kVariables[i], values[i].c_str(), 1);
    }

    fs::create_directories(InstallDir());
    fs::create_directories(SettingsDir());
    fs::create_directories(DiagnosticsDir());
    SetInstallPath(InstallDir());
    SetRegistryValue(kInstallKey, "Release", kRelease);
    WriteInstallSettings("[ProductSubpath]\nMain=Kestrel/MorlindLogon/\n");
}

InfraEnvironment::~InfraEnvironment() {
    StopLogs();
    for (const auto& [name, value] : saved_) {
        if (value.first) {
            setenv(name.c_str(), value.second.c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    if (!root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    if (!namespace_.empty()) {
        ml::test::RemoveShmObjects(namespace_);
    }
}

std::string InfraEnvironment::SettingsDir() const {
    return DocumentsDir() + "/Kestrel/MorlindLogon/Settings/";
}

std::string InfraEnvironment::DiagnosticsDir() const {
    return DocumentsDir() + "/Kestrel/MorlindLogon/Diagnostics/";
}

void InfraEnvironment::SetRegistryValue(const std::string& key, const std::string& name,
                                        const std::string& value) {
    std::string directory = KeyDirectory(root_, key);
    fs::create_directories(directory);
    WriteFile(directory + "/" + name, value + "\n");
}

void InfraEnvironment::RemoveRegistryValue(const std::string& key, const std::string& name) {
    std::error_code ignored;
    fs::remove(KeyDirectory(root_, key) + "/" + name, ignored);
}

void InfraEnvironment::SetInstallPath(const std::string& value) {
    SetRegistryValue(kInstallKey, "Path", value);
}

void InfraEnvironment::RemoveInstallPath() {
    RemoveRegistryValue(kInstallKey, "Path");
}

void InfraEnvironment::WriteInstallSettings(std::string_view content) {
    WriteFile(InstallDir() + "/mlsettings.ini", content);
}

void InfraEnvironment::WriteSettingsIni(std::string_view content) {
    WriteFile(SettingsDir() + "mlsettings.ini", content);
}

void InfraEnvironment::WriteDebugIni(bool on, long stamp) {
    std::string path = SettingsDir() + "mldebug.ini";
    WriteFile(path, on ? "[LogonDevice]\r\nDebug=1\r\n" : "[LogonDevice]\r\nDebug=0\r\n");
    SetModificationTime(path, stamp);
}

void InfraEnvironment::StartLogs() {
    InitDebugLog();
    InitErrorLog();
}

void InfraEnvironment::StopLogs() {
    theDebugFile.Cleanup();
    theErrorFile.Cleanup();
}

std::string InfraEnvironment::DebugLogPath() const {
    DWORD session = CMLSessionFunctions::GetSessionIDFromProcessID(GetCurrentProcessId());
    return DiagnosticsDir() +
           ml::ToUtf8(ml_infra::SessionLogName(session, mlconfigx::c_szDebugLogName));
}

std::string InfraEnvironment::ErrorLogPath() const {
    DWORD session = CMLSessionFunctions::GetSessionIDFromProcessID(GetCurrentProcessId());
    return DiagnosticsDir() +
           ml::ToUtf8(ml_infra::SessionLogName(session, mlconfigx::c_szErrorLogName));
}

void InfraEnvironment::WriteFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        ADD_FAILURE() << "cannot write " << path;
    }
}

std::string InfraEnvironment::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool InfraEnvironment::Exists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

void InfraEnvironment::SetModificationTime(const std::string& path, long stamp) {
    // An epoch in the past, far from "now", so that stamps never tie by chance.
    const time_t base = 1'600'000'000;
    struct timespec times[2];
    times[0].tv_sec = base + stamp;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        ADD_FAILURE() << "cannot set the time stamp of " << path;
    }
}

}  // namespace mltest
