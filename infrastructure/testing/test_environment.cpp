#include "infrastructure/testing/test_environment.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "infrastructure/log_file.h"
#include "infrastructure/log_file_internal.h"
#include "infrastructure/mlconfigx.h"
#include "platform/codepage.h"
#include "platform/session.h"

namespace mltest {

namespace fs = std::filesystem;

InfraEnvironment::InfraEnvironment() {
    SetUp();
    if (root_.empty())
        return;
    fs::create_directories(InstallDir());
    fs::create_directories(SettingsDir());
    fs::create_directories(DiagnosticsDir());
    SetInstallPath(InstallDir());
    SetRegistryValue(kInstallKey, "Release", kRelease);
    WriteInstallSettings("[ProductSubpath]\nMain=Kestrel/MorlindLogon/\n");
}

InfraEnvironment::~InfraEnvironment() {
    StopLogs();
    TearDown();
}

void InfraEnvironment::WriteDebugIni(bool on, long stamp) {
    const std::string path = SettingsDir() + "mldebug.ini";
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

namespace {
std::string LogPath(const std::string& folder, const char16_t* name) {
    DWORD session = CMLSessionFunctions::GetSessionIDFromProcessID(GetCurrentProcessId());
    return folder + ml::ToUtf8(ml_infra::SessionLogName(session, name));
}
}  // namespace

std::string InfraEnvironment::DebugLogPath() const {
    return LogPath(DiagnosticsDir(), mlconfigx::c_szDebugLogName);
}

std::string InfraEnvironment::ErrorLogPath() const {
    return LogPath(DiagnosticsDir(), mlconfigx::c_szErrorLogName);
}

void InfraEnvironment::WriteFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
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
    const std::chrono::sys_seconds at{std::chrono::seconds{1'600'000'000 + stamp}};
    std::error_code ec;
    fs::last_write_time(path, std::chrono::file_clock::from_sys(at), ec);
    if (ec)
        ADD_FAILURE() << "cannot set the time stamp of " << path;
}

}  // namespace mltest
