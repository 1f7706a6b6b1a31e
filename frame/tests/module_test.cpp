// The module in-process: start-up and shutdown, the questions to the user,
// and GetLoginData and SetLoginData on the PC/SC reader (the card library on
// the fake reader) and on the terminal (the terminal object on the test
// CT-API driver), with a card, without one, and with each of the answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "components/dialog/logondm.h"
#include "frame/error_queries.h"
#include "frame/helper.h"
#include "frame/mlcardmanx_app.h"
#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"
#include "infrastructure/testing/log_scan.h"
#include "mlsmartcardx/smart_card.h"
#include "platform/framework.h"
#include "platform/scard.h"
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace mltest {
namespace {

// The texts of a language library's source, read independently of the
// module's resource loading.
std::map<int, std::u16string> Texts(const char* path) {
    std::map<int, std::u16string> texts;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        size_t tab = line.find('\t');
        if (!line.empty() && line[0] != '#' && tab != std::string::npos)
            texts[std::stoi(line.substr(0, tab))] = Utf16(line.substr(tab + 1));
    }
    return texts;
}
const std::map<int, std::u16string> kEnglish = Texts(ML_ENGLISH_TXT);
const std::map<int, std::u16string> kGerman = Texts(ML_GERMAN_TXT);

// "<number> <text of message>" as the exports hand it out.
std::u16string Text(int number, int message,
                    const std::map<int, std::u16string>& texts = kEnglish) {
    return Utf16(std::to_string(number)) + u" " + texts.at(message);
}

LoginBuffers CallGet() {
    LoginBuffers r;
    for (WCHAR* buffer : {r.user, r.domain, r.password, r.error})
        std::fill_n(buffer, ML_LOGIN_BUFFER_CHARS, u'#');
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

// ---- start-up and shutdown ----

bool ChoseReader() {
    return theApp.GetSmartCard() != nullptr && g_pSmartCard.load() == theApp.GetSmartCard();
}
bool ChoseTerminal() {
    return g_pTCOSCard != nullptr;
}

// Start-up chooses the card device from "CardreaderName" (how the file is read
// is the settings reader's own test): an empty or missing name, or no file at
// all (logged), chooses the terminal, on the port of the start-up settings;
// any other value, even a blank, names the reader the supervision watches.
// The paths of the settings files are resolved at start-up.
TEST_F(FrameTest, StartUpChoosesTheDeviceFromTheReaderName) {
    const std::string file = env_.SettingsDir() + "mlsettings.ini";
    const std::string readFailed = "CMlcardmanxApp::InitInstance() - CIniFile::ReadFile() - ERROR";
    WriteCard(u"alice", u"PLANT", u"s3cret-pw");
    fake_.SetReaderName(u" ");
    for (const char* settings :
         {"[LogonDevice]\nCardreaderName=\nCurrentPort=7\n", "[Config]\nCurrentLanguage=1\n",
          "[LogonDevice]\nCardreaderName= \n", ""}) {
        SCOPED_TRACE(settings);
        if (*settings != '\0')
            env_.WriteSettingsIni(settings);
        else
            std::filesystem::remove(file);
        const bool reader = std::string(settings).find("= ") != std::string::npos;
        Start();
        EXPECT_EQ(ChoseReader(), reader);
        EXPECT_EQ(ChoseTerminal(), !reader);
        EXPECT_EQ(Utf8(theApp.GetSettingsINIFile() + u"|" + theApp.GetDebugINIFile()),
                  file + "|" + env_.SettingsDir() + "mldebug.ini");
        EXPECT_EQ(ErrorLog().find(readFailed) != std::string::npos, *settings == '\0');
        std::vector<HostNotice> notices = Pump(1);
        if (reader) {
            ASSERT_EQ(notices.size(), 1u);
            EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));
            EXPECT_EQ(notices[0].user, u"alice");
        }
        Stop();
    }
    ASSERT_GE(Driver().InitCalls().size(), 1u);
    EXPECT_EQ(Driver().InitCalls()[0].second, 7);
    EXPECT_NE(ErrorLog().find("szINIFile = " + file), std::string::npos) << ErrorLog();

    // Without an installation the paths stay empty: the terminal.
    env_.RemoveInstallPath();
    Start();
    EXPECT_TRUE(theApp.GetSettingsINIFile().empty());
    EXPECT_TRUE(ChoseTerminal());
}

TEST_F(FrameTest, ShutdownReleasesTheCardObjects) {
    UseReader(kReader);
    Start();
    ASSERT_TRUE(ChoseReader());
    Stop();
    EXPECT_TRUE(theApp.GetSmartCard() == nullptr && g_pSmartCard.load() == nullptr);
    // No pass runs any more.
    fake_.ClearSent();
    EXPECT_TRUE(Pump(4).empty());
    EXPECT_TRUE(fake_.Sent().empty());

    UseReader("");
    Start();
    ASSERT_TRUE(ChoseTerminal());
    Pump(2);  // driver loaded, supervision running
    Stop();
    EXPECT_EQ(g_pTCOSCard, nullptr);
    size_t calls = Driver().DataCalls().size();
    EXPECT_TRUE(Pump(4).empty());
    EXPECT_EQ(Driver().DataCalls().size(), calls);
}

// ---- the questions ----

struct Case {
    LONG scard;
    int ct;
    bool write;
    int message;
    UINT type;
};

constexpr UINT kQuestion = 0x1031;
constexpr UINT kNotice = 0x1010;

// As the exports call them: with the module's state current.
bool Query(const Case& c, std::u16string& text, bool* notShown = nullptr) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return c.write ? QueryUserOnWriteError(c.scard, c.ct, text, notShown)
                   : QueryUserOnReadError(c.scard, c.ct, text, notShown);
}

// Each failure with each answer: OK, Cancel, and a question that could not be
// shown. Only a question asks for a retry; Cancel ends it with -1.
TEST_F(FrameTest, EachFailureShowsItsMessageAndTheAnswerDecidesTheRetry) {
    const Case cases[] = {{SCARD_W_REMOVED_CARD, 0, false, 18, kQuestion},
                          {0, CT_NOCARD, false, 18, kQuestion},
                          {SCARD_W_REMOVED_CARD, 0, true, 58, kQuestion},
                          {0, CT_NOCARD, true, 58, kQuestion},
                          {SCARD_W_UNRESPONSIVE_CARD, 0, false, 19, kQuestion},
                          {0, CT_FOULCARD, true, 19, kQuestion},
                          {SCARD_E_UNKNOWN_CARD, 0, false, 20, kNotice},
                          {0, CT_WRONGVERSION, true, 20, kNotice},
                          {0, CT_NOFILE, false, 57, kNotice},
                          {0, CT_NOFILE, true, 14, kNotice},
                          {0, CT_ERROR, false, 57, kNotice},
                          {0, CT_ERROR, true, 14, kNotice},
                          {SCARD_E_NO_SERVICE, 0, false, 57, kNotice},
                          {SCARD_E_UNEXPECTED, 0, true, 14, kNotice}};
    for (const Case& c : cases) {
        const bool question = c.type == kQuestion;
        for (LONG answer : {LONG{IDOK}, LONG{IDCANCEL}, kScriptedNoTerminal}) {
            SCOPED_TRACE(testing::Message()
                         << "scard 0x" << std::hex << c.scard << std::dec << " ct " << c.ct
                         << (c.write ? " write" : " read") << " answer " << answer);
            ResetDialog();
            Answer({answer});
            const bool notShown = question && answer == kScriptedNoTerminal;
            std::u16string text = u"previous";
            bool reported = !notShown;
            EXPECT_EQ(Query(c, text, &reported), question && answer != IDCANCEL);
            EXPECT_EQ(reported, notShown);
            EXPECT_EQ(text, Text(question && answer == IDCANCEL ? -1 : c.message, c.message));
            ASSERT_EQ(Boxes().size(), 1u);
            const ScriptedBox& box = dm_->boxes[0];
            EXPECT_EQ(std::u16string(box.caption) + u"|" + box.text,
                      kEnglish.at(24) + u"|" + kEnglish.at(c.message));
            EXPECT_TRUE(box.type == c.type && box.identified && box.timeoutSeconds == -1)
                << box.type << " " << box.timeoutSeconds;
        }
    }
}

TEST_F(FrameTest, SetLanguageChoosesTheLanguageOfTextAndCaption) {
    const Case removed{SCARD_W_REMOVED_CARD, 0, false, 18, kQuestion};
    std::u16string text;
    Answer({IDCANCEL});
    SetLanguage(0x00010000u | 1031u);  // only the low 16 bits count
    Query(removed, text);
    EXPECT_EQ(text, Text(-1, 18, kGerman));
    EXPECT_EQ(std::u16string(Boxes().back().caption), kGerman.at(24));
    SetLanguage(0);
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().caption), kEnglish.at(24));
    // 0 follows the settings as they are at that moment.
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName=\n[Config]\nCurrentLanguage=1031\n");
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().text), kGerman.at(18));
    SetLanguage(1033);
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().text), kEnglish.at(18));
}

// A component that refuses the identification shows nothing and is released;
// without the component no box is shown and the creation failure is logged.
TEST_F(FrameTest, ARefusedOrMissingComponentShowsNoBox) {
    Start();
    CHelper helper;
    dm_->refuse = true;
    EXPECT_EQ(helper.MessageBoxNoIcon(nullptr, u"text", u"caption", kQuestion), -1);
    EXPECT_EQ(dm_->objects.load(), 0);
    UnregisterDialog(env_, dialog_);
    EXPECT_EQ(helper.MessageBoxNoIcon(nullptr, u"text", u"caption", kQuestion), -1);
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_NE(ErrorLog().find("[ERROR] HRESULT = 0x80040154"), std::string::npos) << ErrorLog();
}

// ---- the exports ----

void InsertFakeCard(void* fake) {
    static_cast<FakeSCard*>(fake)->ReinsertCard();
}
// Without a card the user is asked: OK tries again, here with the card
// inserted while the question was up; Cancel ends the call with -1 and
// empty buffers.
TEST_F(FrameTest, AMissingCardIsAskedForOKRetriesAndCancelEnds) {
    UseReader(kReader);
    WriteCard(u"bob", u"CORP", kPassword);
    fake_.RemoveCard();
    Start();
    Answer({IDOK});
    dm_->hook = &InsertFakeCard;
    dm_->context = &fake_;
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.password + r.error, u"bob" + std::u16string(kPassword));
    EXPECT_EQ(Boxes().size(), 1u);
    // After the question the reader object looked at the card at once.
    std::vector<HostNotice> notices = Pump(0);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));

    fake_.RemoveCard();
    ResetDialog();
    Answer({IDCANCEL, IDCANCEL, IDOK});
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password, u"");
    EXPECT_EQ(std::u16string(r.error), Text(-1, 18));
    EXPECT_EQ(CallSet(u"dave", u"PLANT", kPassword), Text(-1, 58));
    // The card inserted now has no files: the write makes them.
    fake_.InsertCard(fake_.Card().family());
    fake_.RemoveCard();
    dm_->hook = &InsertFakeCard;
    EXPECT_EQ(CallSet(u"carol", u"PLANT", kPassword), u"");
    EXPECT_EQ(Boxes().size(), 3u);
    EXPECT_EQ(std::u16string(CallGet().user), u"carol");
}

TEST_F(FrameTest, AQuestionThatCannotBeShownIsRetriedThreeTimesWithPauses) {
    UseReader(kReader);
    fake_.RemoveCard();
    Start();
    Answer({kScriptedNoTerminal, kScriptedNoTerminal, kScriptedNoTerminal, IDCANCEL});
    ULONGLONG before = GetTickCount64();
    int connects = fake_.ConnectCalls();
    EXPECT_EQ(std::u16string(CallGet().error), Text(18, 18));
    EXPECT_EQ(Boxes().size(), 3u);
    // Three attempts, each question followed by one pass of the reader object.
    EXPECT_EQ(fake_.ConnectCalls() - connects, 6);
    // Two pauses of one second on the test clock, between the attempts.
    EXPECT_EQ(GetTickCount64() - before, 2000u);
    EXPECT_NE(ErrorLog().find("The question could not be shown; giving up"), std::string::npos);

    // A question that was answered starts the count again.
    ResetDialog();
    Answer({kScriptedNoTerminal, kScriptedNoTerminal, IDOK, kScriptedNoTerminal,
            kScriptedNoTerminal, kScriptedNoTerminal, IDCANCEL});
    EXPECT_EQ(std::u16string(CallGet().error), Text(18, 18));
    EXPECT_EQ(Boxes().size(), 6u);
}

TEST_F(FrameTest, RefusedInputLeavesTheCardUntouched) {
    UseReader(kReader);
    WriteCard(u"erin", u"PLANT", kPassword);
    Start();
    WCHAR error[ML_LOGIN_BUFFER_CHARS] = u"#";
    GetLoginData(nullptr, nullptr, nullptr, error);  // null outputs are left alone
    EXPECT_EQ(std::u16string(error), u"");

    // A missing value, and values one character longer than their fields.
    const std::u16string user(21, u'u'), domain(16, u'd'), password(50, u'p');
    const std::u16string longer[] = {user + u'x', domain + u'x', password + u'x'};
    const std::u16string kFailed = Text(14, 14);
    const struct {
        LPCWSTR user, domain, password;
        std::u16string error;
    } cases[] = {
        {nullptr, u"PLANT", kPassword, kFailed},
        {u"mallory", nullptr, kPassword, kFailed},
        {u"mallory", u"PLANT", nullptr, kFailed},
        {longer[0].c_str(), domain.c_str(), password.c_str(), Text(25, 25)},
        {user.c_str(), longer[1].c_str(), password.c_str(), Text(26, 26)},
        {user.c_str(), domain.c_str(), longer[2].c_str(), Text(27, 27)},
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
    EXPECT_NE(ErrorLog().find("nPassword = 51"), std::string::npos) << ErrorLog();

    // Values that just fit are written whole.
    EXPECT_EQ(CallSet(user, domain, password), u"");
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password, user + domain + password);
}

// Without a card the terminal is not sent card commands and the user is
// asked; OK reads the card inserted meanwhile. A card without files, and one
// whose last write ended before the user name (files without it), are
// written; the terminal cuts long input itself and logs each cut.
TEST_F(FrameTest, TheTerminalAsksForTheCardAndWritesNewAndTornCards) {
    Start();
    Pump(2);  // the start-up timer loads the driver; no card
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOCARD);
    const size_t before = Driver().DataCalls().size();
    Answer({IDCANCEL, IDOK});
    EXPECT_EQ(CallSet(u"grace", u"PLANT", kPassword), Text(-1, 58));
    const std::vector<CtDataCall> calls = Driver().DataCalls();
    for (size_t i = before; i < calls.size(); ++i)
        EXPECT_NE(calls[i].dad, 0) << "a card command was sent";
    dm_->hook = [](void* driver) { static_cast<TestCtDriver*>(driver)->SetCardPresent(true); };
    dm_->context = &Driver();
    EXPECT_EQ(std::u16string(CallGet().error), Text(57, 57));  // a new card: no files

    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOFILE);
    EXPECT_EQ(CallSet(u"frank", u"PLANT", kPassword), u"");
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password + r.error,
              u"frankPLANT" + std::u16string(kPassword));
    ASSERT_EQ(g_pTCOSCard->WriteFiles(u"", u"", u""), CT_OK);
    Pump(1);
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_EMPTYFILE);
    const std::u16string user(30, u'u'), domain(20, u'd'), password(60, u'p');
    EXPECT_EQ(CallSet(user, domain, password), u"");
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + u"|" + r.domain + u"|" + r.password,
              user.substr(0, 21) + u"|" + domain.substr(0, 16) + u"|" + password.substr(0, 50));
    EXPECT_EQ(Boxes().size(), 3u);
    for (const char* field : {"user name", "domain name", "password"}) {
        EXPECT_NE(ErrorLog().find(std::string("[ERROR] Error = The ") + field +
                                  " is too long and was shortened."),
                  std::string::npos)
            << field;
    }
    ExpectNoSecretInLogs(env_.DiagnosticsDir(), password.substr(0, 50));
}

// The settings at the time of the call choose the path: the terminal path
// without a terminal object fails, the PC/SC path works beside one, and an
// unreadable settings file leads to the terminal and is logged.
TEST_F(FrameTest, TheSettingsAtTheCallChooseThePath) {
    UseReader(kReader);
    Start();
    ASSERT_EQ(g_pTCOSCard, nullptr);
    UseReader("");
    EXPECT_EQ(std::u16string(CallGet().error), Text(57, 57));
    EXPECT_EQ(CallSet(u"ivan", u"PLANT", kPassword), Text(14, 14));
    EXPECT_NE(ErrorLog().find("start-up chose the reader: no terminal object."), std::string::npos);
    Stop();

    WriteCard(u"judy", u"PLANT", kPassword);
    UseReader("");
    Start();
    Pump(1);
    ASSERT_NE(g_pTCOSCard, nullptr);
    UseReader(kReader);
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.error, u"judy");

    std::filesystem::remove(env_.SettingsDir() + "mlsettings.ini");
    Answer({IDCANCEL, IDCANCEL});
    EXPECT_EQ(std::u16string(CallGet().error), Text(-1, 18));
    CallSet(u"x", u"y", kPassword);
    for (const char* call : {"GetLoginData()", "SetLoginData()"}) {
        EXPECT_NE(ErrorLog().find(std::string(call) + " - CIniFile::ReadFile() - ERROR"),
                  std::string::npos)
            << call;
    }
}

}  // namespace
}  // namespace mltest
