// Test support of the terminal tests: a private machine (registry, folders,
// object names, logs with the debug switch on), a test clock that drives the
// object's timers, the test CT-API driver of one variant, and the notices the
// object posts to this thread.
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

// Directories of the test driver variants: <dir>/bin/ct32.so.
std::string DriverInstallDir(const std::string& variant);
// The directory of the stand-in module (with its English language library
// and a full test driver beside it).
std::string ModuleDir();

// Makes the stand-in module the instance of the program's module state and of
// the static module state, so that the object finds its language library and
// (without registry value) its driver beside it.
void UseStandInModule();
// The path of the test's settings file, as the object's settings source.
std::u16string SettingsPath();

// A notice the object posted.
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

    // Points the registry value "Path" of the driver's installation at the
    // variant and loads its control object.
    void UseDriver(const std::string& variant, const std::string& family = "class80");
    TestCtDriver& Driver() { return *driver_; }

    // Creates the object and, with `setUp`, lets its start-up timer fire.
    void CreateCard(bool setUp = true);
    void DestroyCard();
    CTCOSCard& Card() { return *card_; }

    // Runs every due timer of this thread and collects the notices.
    void Pump();
    // Moves the clock on by one timer period and pumps.
    void Pass(int count = 1);
    std::vector<Notice> TakeNotices();
    std::vector<WPARAM> TakeCodes() { return Codes(TakeNotices()); }
    // Puts the three login files on the driver's card.
    void PutLoginData(std::u16string_view user, std::u16string_view domain,
                      std::u16string_view password);
    static bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    // The logs (bytes as written, UTF-8 here).
    std::string DebugLog() const;
    std::string ErrorLog() const;
    static int Count(const std::string& text, const std::string& needle);
    // The English text of message `number` (the language library's source).
    static std::string Message(int number);
    // The error log's "[ERROR] Error = <text>" line of message `number`.
    static std::string ErrorLine(int number) { return "[ERROR] Error = " + Message(number); }
    // How often the error log holds that line.
    int Errors(int number) const { return Count(ErrorLog(), ErrorLine(number)); }

    // The card's image file.
    std::string ImagePath() const { return env_.Root() + "/card.img"; }

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
