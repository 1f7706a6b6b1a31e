#include "terminal_fixture.h"

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>

#include "platform/codepage.h"
#include "platform/framework.h"
#include "platform/library.h"

namespace mltest {

namespace {

std::u16string g_settingsPath;

std::u16string SettingsPath() {
    return g_settingsPath;
}

}  // namespace

std::string DriverInstallDir(const std::string& variant) {
    return std::string(ML_TEST_DRIVER_ROOT) + "/" + variant;
}

std::string ModuleDir() {
    return ML_TEST_MODULE_DIR;
}

void UseStandInModule() {
    static HMODULE module = LoadLibraryW(ml::FromUtf8(ML_TEST_MODULE_FILE).c_str());
    ASSERT_NE(module, nullptr) << "cannot load " << ML_TEST_MODULE_FILE;
    AfxGetModuleState()->instance = module;
    AfxGetStaticModuleState()->instance = module;
}

void TerminalTest::SetUp() {
    // Code-page dependent reading is tested with a fixed ANSI code page.
    const char* lcAll = std::getenv("LC_ALL");
    hadLcAll_ = lcAll != nullptr;
    savedLcAll_ = lcAll != nullptr ? lcAll : "";
    setenv("LC_ALL", "C.UTF-8", 1);

    UseStandInModule();
    env_.WriteSettingsIni("[LogonDevice]\r\nCardreaderName=\r\nCurrentPort=3\r\n");
    env_.WriteDebugIni(true, 1);
    env_.StartLogs();
    g_settingsPath = ml::FromUtf8(env_.SettingsDir() + "mlsettings.ini");
    SetTCOSSettingsINIFileSource(SettingsPath);
    TakeNotices();
}

void TerminalTest::TearDown() {
    DestroyCard();
    Pump();
    SetTCOSSettingsINIFileSource(nullptr);
    if (driverHandle_ != nullptr) {
        dlclose(driverHandle_);
        driverHandle_ = nullptr;
        driver_ = nullptr;
    }
    env_.StopLogs();
    if (hadLcAll_) {
        setenv("LC_ALL", savedLcAll_.c_str(), 1);
    } else {
        unsetenv("LC_ALL");
    }
}

void TerminalTest::UseDriver(const std::string& variant, const std::string& family) {
    const std::string dir = DriverInstallDir(variant);
    env_.SetRegistryValue(kVireoKey, "Path", dir);
    if (driverHandle_ != nullptr) {
        dlclose(driverHandle_);
    }
    const std::string file = dir + "/bin/ct32.so";
    driverHandle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(driverHandle_, nullptr) << dlerror();
    auto control = reinterpret_cast<MlTestCtDriverFn>(dlsym(driverHandle_, kTestCtDriverSymbol));
    ASSERT_NE(control, nullptr);
    driver_ = control();
    driver_->Reset(family, ImagePath());
}

void TerminalTest::CreateCard(bool setUp) {
    card_ = std::make_unique<CTCOSCard>();
    if (setUp) {
        Pass();
    }
}

void TerminalTest::DestroyCard() {
    card_.reset();
}

void TerminalTest::Pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_COMMAND) {
            notices_.push_back({m.wParam, m.lParam});
        }
        DispatchMessageW(&m);
    }
}

void TerminalTest::Pass(int count) {
    for (int i = 0; i < count; ++i) {
        clock_.Advance(250);
        Pump();
    }
}

std::vector<Notice> TerminalTest::TakeNotices() {
    Pump();
    std::vector<Notice> taken;
    taken.swap(notices_);
    return taken;
}

std::string TerminalTest::DebugLog() const {
    return InfraEnvironment::ReadFile(env_.DebugLogPath());
}

std::string TerminalTest::ErrorLog() const {
    return InfraEnvironment::ReadFile(env_.ErrorLogPath());
}

std::string TerminalTest::Message(int number) {
    std::ifstream in(ML_TEST_ENGLISH_TEXTS);
    std::string line;
    const std::string prefix = std::to_string(number) + "\t";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return line.substr(prefix.size());
        }
    }
    ADD_FAILURE() << "no English text of message " << number;
    return "<no text " + std::to_string(number) + ">";
}

int TerminalTest::Count(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace mltest
