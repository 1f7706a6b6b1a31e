// The terminal tests' machine (registry, folders, logs with tracing on), a
// test clock for the object's timers, the test driver and the notices posted.
#ifndef ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_
#define ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/test_driver.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/handle.h"
#include "platform/message.h"
#include "platform/named_objects.h"
#include "platform/testing/test_clock.h"
#include "platform/tests/scoped_env.h"
#include "terminal/tcos_card.h"

namespace mltest {

// The stand-in module's directory, with its language library and a driver.
std::string ModuleDir();
// The stand-in module as the module state's instance.
void UseStandInModule();
std::u16string SettingsPath();

struct Notice {
    WPARAM code;
    LPARAM lParam;
};
std::vector<WPARAM> Codes(const std::vector<Notice>& notices);

using Bytes = std::vector<uint8_t>;
// `text` as UTF-16LE in a file of `size` bytes, padded with zeros.
Bytes Utf16(std::u16string_view text, size_t size);

class TerminalTest : public ::testing::Test {
  protected:
    static constexpr char kVireoKey[] = "SOFTWARE\\Kestrel\\APPSW\\Vireo";

    void SetUp() override;
    void TearDown() override;

    // Points the driver's registry value "Path" at the variant and loads it.
    void UseDriver(const std::string& variant, const std::string& family = "class80");
    TestCtDriver& Driver() { return *driver_; }

    // With `setUp`, the start-up timer fires.
    void CreateCard(bool setUp = true);
    void DestroyCard() { card_.reset(); }
    CTCOSCard& Card() { return *card_; }

    void Pump();               // runs due timers, collects notices
    void Pass(int count = 1);  // a timer period each
    std::vector<Notice> TakeNotices();
    std::vector<WPARAM> TakeCodes() { return Codes(TakeNotices()); }
    // Puts the three login files on the driver's card.
    void PutLoginData(std::u16string_view user, std::u16string_view domain,
                      std::u16string_view password);
    static bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    std::string DebugLog() const { return InfraEnvironment::ReadFile(env_.DebugLogPath()); }
    std::string ErrorLog() const { return InfraEnvironment::ReadFile(env_.ErrorLogPath()); }
    static int Count(const std::string& text, const std::string& needle);
    // The English text of message `number`, its error-log line and count.
    static std::string Message(int number);
    static std::string ErrorLine(int number) { return "[ERROR] Error = " + Message(number); }
    int Errors(int number) const { return Count(ErrorLog(), ErrorLine(number)); }

    InfraEnvironment env_;
    ml::testing::TestClock clock_;
    std::unique_ptr<CTCOSCard> card_;
    std::vector<Notice> notices_;
    HMODULE driverHandle_ = nullptr;
    TestCtDriver* driver_ = nullptr;
    // The host's "logon/logoff in process" events, not set.
    HANDLE logon_ = nullptr;
    HANDLE logoff_ = nullptr;
    std::optional<ml::test::ScopedEnv> lcAll_;
};

}  // namespace mltest

#endif  // ML_TERMINAL_TESTS_TERMINAL_FIXTURE_H_
