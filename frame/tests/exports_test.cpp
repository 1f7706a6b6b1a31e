// GetLoginData and SetLoginData on both paths: the PC/SC reader (the card
// library on the fake reader) and the terminal (the terminal object on the
// test CT-API driver), with a card, without one, and with the user's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "components/dialog/logondm.h"
#include "frame/mlcardmanx_app.h"
#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"
#include "infrastructure/testing/log_scan.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "platform/clock.h"
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace mltest {
namespace {

constexpr char16_t kPassword[] = u"Pa55-w0rd!";

const std::u16string kRemovedRead =
    u"The card was removed or is missing, so the logon data could not be read. Please insert "
    u"your logon card and choose OK to try again.";
const std::u16string kRemovedWrite =
    u"The card was removed or is missing, so the logon data could not be written. Please insert "
    u"your logon card and choose OK to try again.";

struct Read {
    WCHAR user[ML_LOGIN_BUFFER_CHARS];
    WCHAR domain[ML_LOGIN_BUFFER_CHARS];
    WCHAR password[ML_LOGIN_BUFFER_CHARS];
    WCHAR error[ML_LOGIN_BUFFER_CHARS];
};

Read CallGet() {
    Read r;
    std::fill(std::begin(r.user), std::end(r.user), u'#');
    std::fill(std::begin(r.domain), std::end(r.domain), u'#');
    std::fill(std::begin(r.password), std::end(r.password), u'#');
    std::fill(std::begin(r.error), std::end(r.error), u'#');
    GetLoginData(r.user, r.domain, r.password, r.error);
    return r;
}

std::u16string CallSet(const std::u16string& user, const std::u16string& domain,
                       const std::u16string& password) {
    WCHAR error[ML_LOGIN_BUFFER_CHARS];
    std::fill(std::begin(error), std::end(error), u'#');
    SetLoginData(user.c_str(), domain.c_str(), password.c_str(), error);
    return error;
}

void InsertFakeCard(int, void* context) {
    static_cast<FakeSCard*>(context)->ReinsertCard();
}

void InsertTerminalCard(int, void* context) {
    static_cast<TestCtDriver*>(context)->SetCardPresent(true);
}

// ---- PC/SC path ----

class ReaderExports : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        UseReader(kReader);
        SetDebug(true);
    }
    void TearDown() override {
        if (!HasFatalFailure()) {
            ExpectNoSecretInLogs(env_.DiagnosticsDir(), kPassword);
        }
        FrameTest::TearDown();
    }
};

// Without a card the user is asked: OK tries again, here with the card
// inserted while the question was up; Cancel ends the call with -1 and
// empty buffers.
TEST_F(ReaderExports, AMissingCardIsAskedForOKRetriesAndCancelEnds) {
    WriteCard(u"bob", u"CORP", kPassword);
    fake_.RemoveCard();
    Start();
    Answer(IDOK);
    OnBox(&InsertFakeCard, &fake_);
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.user), u"bob");
    EXPECT_EQ(std::u16string(r.password), kPassword);
    EXPECT_EQ(std::u16string(r.error), u"");
    EXPECT_EQ(Boxes().size(), 1u);
    // After the question the reader object looked at the card at once.
    std::vector<HostNotice> notices = Pump(0);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));

    fake_.RemoveCard();
    ResetDialog();
    Answer(IDCANCEL);
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password, u"");
    EXPECT_EQ(std::u16string(r.error), u"-1 " + kRemovedRead);
    Answer(IDCANCEL);
    EXPECT_EQ(CallSet(u"dave", u"PLANT", kPassword), u"-1 " + kRemovedWrite);
    // The card inserted now has no files: the write makes them.
    fake_.InsertCard(fake_.Card().family());
    fake_.RemoveCard();
    Answer(IDOK);
    OnBox(&InsertFakeCard, &fake_);
    EXPECT_EQ(CallSet(u"carol", u"PLANT", kPassword), u"");
    EXPECT_EQ(Boxes().size(), 3u);
    EXPECT_EQ(std::u16string(CallGet().user), u"carol");
}

TEST_F(ReaderExports, AQuestionThatCannotBeShownIsRetriedThreeTimesWithPauses) {
    fake_.RemoveCard();
    Start();
    for (int i = 0; i < 3; ++i)
        Answer(kScriptedNoTerminal);
    Answer(IDCANCEL);  // ends the call should it go on
    ULONGLONG before = GetTickCount64();
    int connects = fake_.ConnectCalls();
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.error), u"18 " + kRemovedRead);
    EXPECT_EQ(Boxes().size(), 3u);
    // Three attempts, each question followed by one pass of the reader object.
    EXPECT_EQ(fake_.ConnectCalls() - connects, 6);
    // Two pauses of one second on the test clock, between the attempts.
    EXPECT_EQ(GetTickCount64() - before, 2000u);
    EXPECT_NE(ErrorLog().find("The question could not be shown; giving up"), std::string::npos);

    // A question that was answered starts the count again.
    ResetDialog();
    for (LONG answer : {kScriptedNoTerminal, kScriptedNoTerminal, LONG{IDOK}, kScriptedNoTerminal,
                        kScriptedNoTerminal, kScriptedNoTerminal}) {
        Answer(answer);
    }
    Answer(IDCANCEL);
    r = CallGet();
    EXPECT_EQ(Boxes().size(), 6u);
    EXPECT_EQ(std::u16string(r.error), u"18 " + kRemovedRead);
}

TEST_F(ReaderExports, RefusedInputLeavesTheCardUntouched) {
    WriteCard(u"erin", u"PLANT", kPassword);
    Start();
    WCHAR error[ML_LOGIN_BUFFER_CHARS] = u"#";
    GetLoginData(nullptr, nullptr, nullptr, error);  // null outputs are left alone
    EXPECT_EQ(std::u16string(error), u"");

    // A missing value, and values one character longer than their fields.
    const std::u16string user(21, u'u'), domain(16, u'd'), password(50, u'p');
    const std::u16string longer[] = {user + u'x', domain + u'x', password + u'x'};
    const char16_t kFailed[] = u"14 The logon data could not be written to the card.";
    const struct {
        LPCWSTR user, domain, password, error;
    } cases[] = {
        {nullptr, u"PLANT", kPassword, kFailed},
        {u"mallory", nullptr, kPassword, kFailed},
        {u"mallory", u"PLANT", nullptr, kFailed},
        {longer[0].c_str(), domain.c_str(), password.c_str(),
         u"25 The user name is too long for the card: at most 21 characters fit. Nothing was "
         u"written."},
        {user.c_str(), longer[1].c_str(), password.c_str(),
         u"26 The domain name is too long for the card: at most 16 characters fit. Nothing was "
         u"written."},
        {user.c_str(), domain.c_str(), longer[2].c_str(),
         u"27 The password is too long for the card: at most 50 characters fit. Nothing was "
         u"written."},
    };
    const cardsim::CardImage before = fake_.Card().image();
    for (const auto& c : cases) {
        fake_.ClearSent();
        SetLoginData(c.user, c.domain, c.password, error);
        EXPECT_EQ(std::u16string(error), c.error);
        EXPECT_TRUE(fake_.Sent().empty()) << Utf8(c.error);
    }
    EXPECT_EQ(fake_.Card().image(), before);
    EXPECT_TRUE(Boxes().empty());
    std::string log = ErrorLog();
    EXPECT_NE(log.find("A value is missing (null pointer); nothing is written."),
              std::string::npos);
    EXPECT_NE(log.find("nPassword = 51"), std::string::npos) << log;

    // Values that just fit are written whole.
    EXPECT_EQ(CallSet(user, domain, password), u"");
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.user), user);
    EXPECT_EQ(std::u16string(r.domain), domain);
    EXPECT_EQ(std::u16string(r.password), password);
}

// ---- terminal path ----

class TerminalExports : public FrameTest {
  protected:
    void SetUp() override {
        FrameTest::SetUp();
        SetDebug(true);
        Start();
        Pump(1);  // the start-up timer loads the driver
    }
    void TearDown() override {
        if (!HasFatalFailure()) {
            ExpectNoSecretInLogs(env_.DiagnosticsDir(), kPassword);
        }
        FrameTest::TearDown();
    }
};

TEST_F(TerminalExports, SetWritesACardWithoutFilesAndGetReadsIt) {
    Driver().SetCardPresent(true);
    Pump(1);
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOFILE);
    EXPECT_EQ(CallSet(u"frank", u"PLANT", kPassword), u"");
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.user), u"frank");
    EXPECT_EQ(std::u16string(r.domain), u"PLANT");
    EXPECT_EQ(std::u16string(r.password), kPassword);
    EXPECT_EQ(std::u16string(r.error), u"");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(TerminalExports, WithoutCardNothingIsSentToTheCardAndOKReadsACardInsertedMeanwhile) {
    Pump(1);
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOCARD);
    size_t before = Driver().DataCalls().size();
    Answer(IDCANCEL);
    EXPECT_EQ(CallSet(u"grace", u"PLANT", kPassword), u"-1 " + kRemovedWrite);
    std::vector<CtDataCall> calls = Driver().DataCalls();
    for (size_t i = before; i < calls.size(); ++i) {
        EXPECT_NE(calls[i].dad, 0) << "a card command was sent";
    }
    Answer(IDCANCEL);
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.error), u"-1 " + kRemovedRead);
    EXPECT_EQ(std::u16string(r.user), u"");

    // A card written beforehand, inserted while the question is up.
    Driver().SetCardPresent(true);
    Pump(1);
    ASSERT_EQ(CallSet(u"heidi", u"PLANT", kPassword), u"");
    Driver().SetCardPresent(false);
    Pump(1);
    Answer(IDOK);
    OnBox(&InsertTerminalCard, &Driver());
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user), u"heidi");
    EXPECT_EQ(std::u16string(r.error), u"");
}

TEST_F(TerminalExports, LongInputIsCutByTheTerminalWithItsErrorEntries) {
    Driver().SetCardPresent(true);
    Pump(1);
    std::u16string user(30, u'u'), domain(20, u'd'), password(60, u'p');
    EXPECT_EQ(CallSet(user, domain, password), u"");
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.user), user.substr(0, 21));
    EXPECT_EQ(std::u16string(r.domain), domain.substr(0, 16));
    EXPECT_EQ(std::u16string(r.password), password.substr(0, 50));
    std::string log = ErrorLog();
    for (const char* text : {"The user name is too long and was shortened.",
                             "The domain name is too long and was shortened.",
                             "The password is too long and was shortened."}) {
        EXPECT_NE(log.find(std::string("[ERROR] Error = ") + text), std::string::npos) << log;
    }
    ExpectNoSecretInLogs(env_.DiagnosticsDir(), password.substr(0, 50));
}

// ---- the settings changed after start-up ----

TEST_F(FrameTest, TheTerminalPathWithoutTerminalObjectReportsCTError) {
    UseReader(kReader);
    Start();
    ASSERT_EQ(g_pTCOSCard, nullptr);
    UseReader("");
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.error), u"57 The logon data could not be read from the card.");
    EXPECT_EQ(CallSet(u"ivan", u"PLANT", kPassword),
              u"14 The logon data could not be written to the card.");
    EXPECT_NE(ErrorLog().find("start-up chose the reader: no terminal object."), std::string::npos);
}

TEST_F(FrameTest, ThePCSCPathWorksBesideTheTerminalObject) {
    WriteCard(u"judy", u"PLANT", kPassword);
    Start();
    ASSERT_NE(g_pTCOSCard, nullptr);
    UseReader(kReader);
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.user), u"judy");
    EXPECT_EQ(std::u16string(r.error), u"");
}

TEST_F(FrameTest, AnUnreadableSettingsFileLeadsToTheTerminalAndIsLogged) {
    Start();
    Pump(1);
    std::filesystem::remove(env_.SettingsDir() + "mlsettings.ini");
    Answer(IDCANCEL);
    Read r = CallGet();
    EXPECT_EQ(std::u16string(r.error), u"-1 " + kRemovedRead);
    EXPECT_NE(ErrorLog().find("GetLoginData() - CIniFile::ReadFile() - ERROR"), std::string::npos);
    Answer(IDCANCEL);
    CallSet(u"x", u"y", kPassword);
    EXPECT_NE(ErrorLog().find("SetLoginData() - CIniFile::ReadFile() - ERROR"), std::string::npos);
}

}  // namespace
}  // namespace mltest
