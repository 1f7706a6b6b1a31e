#include "terminal_fixture.h"

#include <cstdlib>
#include <fstream>

#include "platform/codepage.h"
#include "platform/framework.h"
#include "platform/library.h"

namespace mltest {

namespace {
std::u16string g_settingsPath;
}  // namespace

std::u16string SettingsPath() {
    return g_settingsPath;
}

std::vector<WPARAM> Codes(const std::vector<Notice>& notices) {
    std::vector<WPARAM> codes;
    for (const Notice& n : notices) {
        codes.push_back(n.code);
    }
    return codes;
}

Bytes Utf16(std::u16string_view text, size_t size) {
    Bytes bytes(size, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < size; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return bytes;
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
    lcAll_.emplace("LC_ALL", "C.UTF-8");

    UseStandInModule();
    env_.WriteSettingsIni("[LogonDevice]\r\nCardreaderName=\r\nCurrentPort=3\r\n");
    env_.WriteDebugIni(true, 1);
    env_.StartLogs();
    g_settingsPath = ml::FromUtf8(env_.SettingsDir() + "mlsettings.ini");
    SetTCOSSettingsINIFileSource(SettingsPath);
    logon_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
    logoff_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
    ASSERT_NE(logon_, nullptr);
    ASSERT_NE(logoff_, nullptr);
    TakeNotices();
}

void TerminalTest::TearDown() {
    DestroyCard();
    Pump();
    SetTCOSSettingsINIFileSource(nullptr);
    if (driverHandle_ != nullptr) {
        FreeLibrary(driverHandle_);
        driverHandle_ = nullptr;
        driver_ = nullptr;
    }
    env_.StopLogs();
    CloseHandle(logon_);
    CloseHandle(logoff_);
    lcAll_.reset();
}

void TerminalTest::UseDriver(const std::string& variant, const std::string& family) {
    const std::string dir = std::string(ML_TEST_DRIVER_ROOT) + "/" + variant;
    env_.SetRegistryValue(kVireoKey, "Path", dir);
    if (driverHandle_ != nullptr) {
        FreeLibrary(driverHandle_);
    }
    const std::string file = InfraEnvironment::Native(dir + "/bin/ct32" ML_SHARED_LIBRARY_SUFFIX);
    driverHandle_ = LoadLibraryW(ml::FromUtf8(file).c_str());
    ASSERT_NE(driverHandle_, nullptr) << file;
    auto control =
        reinterpret_cast<MlTestCtDriverFn>(GetProcAddress(driverHandle_, kTestCtDriverSymbol));
    ASSERT_NE(control, nullptr);
    driver_ = control();
    driver_->Reset(family, env_.Root() + "/card.img");
}

void TerminalTest::PutLoginData(std::u16string_view user, std::u16string_view domain,
                                std::u16string_view password) {
    Driver().PutFile(0x5511, Utf16(user, 42));
    Driver().PutFile(0x5522, Utf16(domain, 32));
    Driver().PutFile(0x5533, Utf16(password, 100));
}

void TerminalTest::CreateCard(bool setUp) {
    card_ = std::make_unique<CTCOSCard>();
    if (setUp) {
        Pass();
    }
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
