// The frame in-process: a private machine, the test clock, a fake PC/SC card,
// the scripted dialog manager, the language libraries and the test driver.
#ifndef ML_FRAME_TESTS_FRAME_FIXTURE_H_
#define ML_FRAME_TESTS_FRAME_FIXTURE_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "frame/tests/scripted_logondm.h"
#include "include/mlcardmanx.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/testing/fake_scard.h"
#include "platform/codepage.h"
#include "platform/testing/test_clock.h"
#include "platform/windef.h"
#include "terminal/tests/driver/test_driver.h"

namespace mltest {

// The password the tests write: TearDown finds it in no log.
inline constexpr char16_t kPassword[] = u"Pa55-w0rd!";

struct LoginBuffers {
    WCHAR user[ML_LOGIN_BUFFER_CHARS], domain[ML_LOGIN_BUFFER_CHARS],
        password[ML_LOGIN_BUFFER_CHARS], error[ML_LOGIN_BUFFER_CHARS];
};

class FrameTest : public ::testing::Test {
  protected:
    static constexpr char kReader[] = "Fake Reader 00";

    void SetUp() override;
    void TearDown() override;
    void Start();  // InitInstance, with the module's state current
    void Stop();   // ExitInstance
    // "mlsettings.ini" naming `reader` ("" = the terminal).
    void UseReader(const std::string& reader);
    // Runs the timers for `passes` polling periods; the notices posted.
    std::vector<WPARAM> Pump(int passes);
    // Writes the card in the fake reader with the card library.
    void WriteCard(const std::u16string& user, const std::u16string& domain,
                   const std::u16string& password);
    void ResetDialog();
    void Answer(std::initializer_list<LONG> answers);
    std::vector<ScriptedBox> Boxes() const { return {dm_->boxes, dm_->boxes + dm_->shown}; }
    // Loaded by the terminal object's start-up timer: Pump(1) after Start().
    TestCtDriver& Driver() { return *driver_; }
    std::string ErrorLog() const { return InfraEnvironment::ReadFile(env_.ErrorLogPath()); }

    ml::testing::TestClock clock_;
    InfraEnvironment env_;
    FakeSCard fake_;
    ScopedSCardService service_{&fake_};
    ScriptedDialog* dm_ = nullptr;
    HMODULE dialog_ = nullptr;

  private:
    HMODULE english_ = nullptr, driverLibrary_ = nullptr;
    TestCtDriver* driver_ = nullptr;
    bool started_ = false;
    HINSTANCE savedInstance_ = nullptr;
};

// Per system (posix/, win32/): the scripted dialog manager as the component.
void RegisterDialog(const InfraEnvironment& env, HMODULE dialog, const std::string& path);
void UnregisterDialog(const InfraEnvironment& env, HMODULE dialog);

}  // namespace mltest

#endif  // ML_FRAME_TESTS_FRAME_FIXTURE_H_
