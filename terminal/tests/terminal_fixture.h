// The terminal tests' machine (registry, folders, logs with tracing on), a
// test clock for the object's timers, the test driver and the notices posted.
#ifndef ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_
#define ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/test_driver.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/codepage.h"
#include "platform/framework.h"
#include "platform/testing/test_clock.h"
#include "platform/tests/scoped_env.h"
#include "terminal/tcos_card.h"

namespace mltest {

using Bytes = std::vector<uint8_t>;
// `text` as UTF-16LE in a file of `size` bytes, padded with zeros.
inline Bytes Utf16(std::u16string_view text, size_t size) {
    Bytes bytes(size, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < size; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return bytes;
}

class TerminalTest : public ::testing::Test {
  protected:
    static constexpr char kVireoKey[] = "SOFTWARE\\Kestrel\\APPSW\\Vireo";
    static inline std::u16string settingsPath_;
    static std::u16string SettingsPath() { return settingsPath_; }

    void SetUp() override {
        // The stand-in module, beside its language library and a driver.
        static HMODULE module = LoadLibraryW(ml::FromUtf8(ML_TEST_MODULE_FILE).c_str());
        ASSERT_NE(module, nullptr) << ML_TEST_MODULE_FILE;
        AfxGetModuleState()->instance = AfxGetStaticModuleState()->instance = module;
        env_.WriteSettingsIni("[LogonDevice]\r\nCardreaderName=\r\nCurrentPort=3\r\n");
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
        settingsPath_ = ml::FromUtf8(env_.SettingsDir() + "mlsettings.ini");
        SetTCOSSettingsINIFileSource(SettingsPath);
        // The host's "logon/logoff in process" events, not set.
        logon_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
        logoff_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
        ASSERT_TRUE(logon_ != nullptr && logoff_ != nullptr);
        TakeCodes();
    }
    void TearDown() override {
        card_.reset();
        Pump();
        SetTCOSSettingsINIFileSource(nullptr);
        if (driverHandle_ != nullptr) {
            FreeLibrary(driverHandle_);
        }
        env_.StopLogs();
        CloseHandle(logon_);
        CloseHandle(logoff_);
    }

    // Points the driver's registry value "Path" at the variant and loads it.
    void UseDriver(const std::string& variant, const std::string& family = "class80") {
        const std::string dir = std::string(ML_TEST_DRIVER_ROOT) + "/" + variant;
        env_.SetRegistryValue(kVireoKey, "Path", dir);
        if (driverHandle_ != nullptr) {
            FreeLibrary(driverHandle_);
        }
        const std::string file =
            InfraEnvironment::Native(dir + "/bin/ct32" ML_SHARED_LIBRARY_SUFFIX);
        driverHandle_ = LoadLibraryW(ml::FromUtf8(file).c_str());
        ASSERT_NE(driverHandle_, nullptr) << file;
        auto control =
            reinterpret_cast<MlTestCtDriverFn>(GetProcAddress(driverHandle_, kTestCtDriverSymbol));
        ASSERT_NE(control, nullptr);
        driver_ = control();
        driver_->Reset(family, env_.Root() + "/" + family + ".img");
    }
    TestCtDriver& Driver() { return *driver_; }

    // With `setUp`, the start-up timer fires.
    void CreateCard(bool setUp = true) {
        card_ = std::make_unique<CTCOSCard>();
        if (setUp) {
            Pass();
        }
    }
    void DestroyCard() { card_.reset(); }
    CTCOSCard& Card() { return *card_; }

    // Runs due timers, collects the notices' codes and the last one's lParam.
    void Pump() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_COMMAND) {
                codes_.push_back(m.wParam);
                lParam_ = m.lParam;
            }
            DispatchMessageW(&m);
        }
    }
    void Pass(int count = 1) {  // a timer period each
        for (int i = 0; i < count; ++i) {
            clock_.Advance(250);
            Pump();
        }
    }
    std::vector<WPARAM> TakeCodes() { return Pump(), std::exchange(codes_, {}); }
    const LoginDataBlock& Block() const {  // of the last notice, empty without one
        static const LoginDataBlock none{};
        return lParam_ != 0 ? *reinterpret_cast<const LoginDataBlock*>(lParam_) : none;
    }
    // Puts the three login files on the driver's card.
    void PutLoginData(std::u16string_view user, std::u16string_view domain,
                      std::u16string_view password) {
        Driver().PutFile(0x5511, Utf16(user, 42));
        Driver().PutFile(0x5522, Utf16(domain, 32));
        Driver().PutFile(0x5533, Utf16(password, 100));
    }

    std::string ErrorLog() const { return InfraEnvironment::ReadFile(env_.ErrorLogPath()); }
    static int Count(const std::string& text, const std::string& needle) {
        int count = 0;
        for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
            ++count;
        return count;
    }
    // The error-log line of message `number` (its English text) and its count.
    static std::string ErrorLine(int number) {
        const std::u16string text =
            CResHandler::LoadString4DLL(AfxGetInstanceHandle(), 1033, number);
        EXPECT_FALSE(text.empty()) << number;
        return "[ERROR] Error = " + ml::ToUtf8(text);
    }
    int Errors(int number) const { return Count(ErrorLog(), ErrorLine(number)); }

    InfraEnvironment env_;
    ml::testing::TestClock clock_;
    std::unique_ptr<CTCOSCard> card_;
    std::vector<WPARAM> codes_;
    LPARAM lParam_ = 0;
    HMODULE driverHandle_ = nullptr;
    TestCtDriver* driver_ = nullptr;
    HANDLE logon_ = nullptr;
    HANDLE logoff_ = nullptr;
    ml::test::ScopedEnv lcAll_{"LC_ALL", "C.UTF-8"};  // a fixed ANSI code page
};

}  // namespace mltest

#endif  // ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_
