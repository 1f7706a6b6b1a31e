// The module in-process: start-up and shutdown, the questions to the user,
// and the exports on the fake PC/SC reader and on the test CT-API terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "components/dialog/logondm.h"
#include "frame/error_queries.h"
#include "frame/mlcardmanx_app.h"
#include "frame/tests/frame_fixture.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/log_scan.h"
#include "mlsmartcardx/smart_card.h"
#include "platform/framework.h"
#include "platform/scard.h"
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace mltest {
namespace {

// A message of the language library, and "<number> <message>" as handed out.
std::u16string Message(int message, WORD language = 1033) {
    return CResHandler::LoadString4DLL(AfxGetStaticModuleState()->instance, language, message);
}
std::u16string Text(int number, int message, WORD language = 1033) {
    return ml::FromUtf8(std::to_string(number)) + u" " + Message(message, language);
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
    WCHAR error[ML_LOGIN_BUFFER_CHARS] = u"#";
    SetLoginData(user.c_str(), domain.c_str(), password.c_str(), error);
    return error;
}

// An empty or missing "CardreaderName", or no settings (logged), choose the
// terminal; any other name, even a blank, the reader. Stop releases them.
TEST_F(FrameTest, StartUpChoosesTheDeviceFromTheReaderNameAndShutdownReleasesIt) {
    const std::string file = env_.SettingsDir() + "mlsettings.ini";
    WriteCard(u"alice", u"PLANT", u"s3cret-pw");
    fake_.SetReaderName(u" ");
    for (const char* settings :
         {"[LogonDevice]\nCardreaderName=\nCurrentPort=7\n", "[LogonDevice]\nCardreaderName= \n",
          "[Config]\nCurrentLanguage=1\n", ""}) {
        SCOPED_TRACE(settings);
        if (*settings != '\0')
            env_.WriteSettingsIni(settings);
        else
            std::filesystem::remove(file);
        const bool reader = std::string(settings).find("= ") != std::string::npos;
        Start();
        EXPECT_EQ(theApp.GetSmartCard() != nullptr && g_pSmartCard == theApp.GetSmartCard(),
                  reader);
        EXPECT_EQ(g_pTCOSCard != nullptr, !reader);
        EXPECT_EQ(
            ErrorLog().find("InitInstance() - CIniFile::ReadFile() - ERROR") != std::string::npos,
            *settings == '\0');
        // The driver loaded, supervision running: the reader sees its card.
        EXPECT_EQ(Pump(2) == std::vector<WPARAM>{CARD_INSERTED}, reader);
        Stop();
        EXPECT_TRUE(theApp.GetSmartCard() == nullptr && g_pSmartCard == nullptr &&
                    g_pTCOSCard == nullptr);
    }
    ASSERT_GE(Driver().InitCalls().size(), 1u);
    EXPECT_EQ(Driver().InitCalls()[0].second, 7);

    env_.RemoveInstallPath();  // no settings to find: the terminal
    Start();
    EXPECT_NE(g_pTCOSCard, nullptr);
}

// A failure, and the message and question (OK and Cancel, 0x1031) or notice
// (OK, 0x1010) it shows.
struct Case {
    LONG scard;
    int ct, message;
    bool write, question;
};

// As the exports call them: with the module's state current.
bool Query(const Case& c, std::u16string& text, bool* notShown = nullptr) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return c.write ? QueryUserOnWriteError(c.scard, c.ct, text, notShown)
                   : QueryUserOnReadError(c.scard, c.ct, text, notShown);
}

// Each failure (PC/SC and CT form, read and write) with each answer: only a
// question asks for a retry, Cancel ends it with -1.
TEST_F(FrameTest, EachFailureShowsItsMessageInTheDialogLanguageAndTheAnswerDecidesTheRetry) {
    const Case cases[] = {{SCARD_W_REMOVED_CARD, 0, 18, false, true},
                          {0, CT_NOCARD, 58, true, true},
                          {SCARD_W_UNRESPONSIVE_CARD, 0, 19, false, true},
                          {0, CT_FOULCARD, 19, true, true},
                          {SCARD_E_UNKNOWN_CARD, 0, 20, false, false},
                          {0, CT_WRONGVERSION, 20, true, false},
                          {0, CT_NOFILE, 57, false, false},
                          {SCARD_E_UNEXPECTED, 0, 14, true, false}};
    for (const Case& c : cases) {
        for (LONG answer : {LONG{IDOK}, LONG{IDCANCEL}, kScriptedNoTerminal}) {
            SCOPED_TRACE(testing::Message()
                         << c.scard << " " << c.ct << " " << c.message << " answer " << answer);
            ResetDialog();
            Answer({answer});
            const bool notShown = c.question && answer == kScriptedNoTerminal;
            std::u16string text = u"previous";
            bool reported = !notShown;
            EXPECT_EQ(Query(c, text, &reported), c.question && answer != IDCANCEL);
            EXPECT_EQ(reported, notShown);
            EXPECT_EQ(text, Text(c.question && answer == IDCANCEL ? -1 : c.message, c.message));
            ASSERT_EQ(Boxes().size(), 1u);
            const ScriptedBox& box = dm_->boxes[0];
            EXPECT_EQ(std::u16string(box.caption) + u"|" + box.text,
                      Message(24) + u"|" + Message(c.message));
            EXPECT_TRUE(box.type == (c.question ? 0x1031u : 0x1010u) && box.timeoutSeconds == -1)
                << box.type << " " << box.timeoutSeconds;
            EXPECT_EQ(dm_->objects.load(), 0);  // the component was released
        }
    }
    // SetLanguage's low 16 bits choose the language, 0 the settings at the call.
    for (DWORD language : {0x10000u | 1031u, 0u}) {
        env_.WriteSettingsIni(language != 0 ? "[Config]\nCurrentLanguage=1033\n"
                                            : "[Config]\nCurrentLanguage=1031\n");
        SetLanguage(language);
        std::u16string text;
        Query(cases[0], text);
        EXPECT_EQ(Boxes().back().caption + (u"|" + text),
                  Message(24, 1031) + u"|" + Text(18, 18, 1031))
            << language;
    }
}

// Without a card the user is asked: OK tries again and the reader looks at
// once; an unshown question counts as OK three times in a row, a second
// apart; Cancel ends with -1 and empty buffers; a write makes missing files.
TEST_F(FrameTest, AMissingCardIsAskedForAndUnshownQuestionsAreRetriedThreeTimes) {
    UseReader(kReader);
    WriteCard(u"bob", u"CORP", kPassword);
    fake_.RemoveCard();
    Start();
    dm_->hook = [](void* fake) { static_cast<FakeSCard*>(fake)->ReinsertCard(); };
    dm_->context = &fake_;
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.password + r.error, u"bob" + std::u16string(kPassword));
    EXPECT_EQ(Pump(0), std::vector<WPARAM>{CARD_INSERTED});

    fake_.RemoveCard();
    ResetDialog();
    Answer({kScriptedNoTerminal, kScriptedNoTerminal, kScriptedNoTerminal, IDCANCEL});
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(std::u16string(CallGet().error), Text(18, 18));
    EXPECT_EQ(Boxes().size(), 3u);
    EXPECT_EQ(GetTickCount64() - before, 2000u);  // on the test clock
    EXPECT_NE(ErrorLog().find("The question could not be shown; giving up"), std::string::npos);
    ResetDialog();
    Answer({kScriptedNoTerminal, kScriptedNoTerminal, IDOK, kScriptedNoTerminal,
            kScriptedNoTerminal, kScriptedNoTerminal, IDCANCEL});
    EXPECT_EQ(std::u16string(CallGet().error), Text(18, 18));
    EXPECT_EQ(Boxes().size(), 6u);

    ResetDialog();
    Answer({IDCANCEL, IDCANCEL});
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password + u"|" + r.error, u"|" + Text(-1, 18));
    EXPECT_EQ(CallSet(u"dave", u"PLANT", kPassword), Text(-1, 58));
    fake_.InsertCard(fake_.Card().family());  // a card without files
    fake_.RemoveCard();
    dm_->hook = [](void* fake) { static_cast<FakeSCard*>(fake)->ReinsertCard(); };
    EXPECT_EQ(CallSet(u"carol", u"PLANT", kPassword), u"");
    EXPECT_EQ(std::u16string(CallGet().user), u"carol");
    EXPECT_EQ(Boxes().size(), 3u);
}

// A missing value, or one longer than its field, touches no card; values that
// just fit are written. Terminal settings after a reader start-up fail.
TEST_F(FrameTest, RefusedInputAndAMissingTerminalEndInTheirTexts) {
    UseReader(kReader);
    WriteCard(u"erin", u"PLANT", kPassword);
    Start();
    WCHAR error[ML_LOGIN_BUFFER_CHARS] = u"#";
    GetLoginData(nullptr, nullptr, nullptr, error);  // null outputs are left alone
    EXPECT_EQ(std::u16string(error), u"");

    const std::u16string user(21, u'u'), domain(16, u'd'), password(50, u'p');
    const std::u16string longer[] = {user + u'x', domain + u'x', password + u'x'};
    const std::tuple<LPCWSTR, LPCWSTR, LPCWSTR, int> cases[] = {
        {nullptr, u"PLANT", kPassword, 14},
        {u"mallory", nullptr, kPassword, 14},
        {u"mallory", u"PLANT", nullptr, 14},
        {longer[0].c_str(), domain.c_str(), password.c_str(), 25},
        {user.c_str(), longer[1].c_str(), password.c_str(), 26},
        {user.c_str(), domain.c_str(), longer[2].c_str(), 27}};
    for (const auto& [u, d, p, message] : cases) {
        fake_.ClearSent();
        SetLoginData(u, d, p, error);
        EXPECT_EQ(std::u16string(error), Text(message, message));
        EXPECT_TRUE(fake_.Sent().empty()) << message;
    }
    EXPECT_TRUE(Boxes().empty());
    ExpectNoSecretInLogs(env_.DiagnosticsDir(), longer[2]);

    EXPECT_EQ(CallSet(user, domain, password), u"");
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password, user + domain + password);
    UseReader("");
    EXPECT_EQ(std::u16string(CallGet().error), Text(57, 57));
    EXPECT_EQ(CallSet(u"ivan", u"PLANT", kPassword), Text(14, 14));
}

// Without a card the user is asked; a card without files, and one whose last
// write ended before the user name, are written.
TEST_F(FrameTest, TheTerminalAsksForTheCardAndWritesNewAndTornCards) {
    Start();
    Pump(2);  // the start-up timer loads the driver; no card
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOCARD);
    Answer({IDCANCEL, IDOK});
    EXPECT_EQ(CallSet(u"grace", u"PLANT", kPassword), Text(-1, 58));
    dm_->hook = [](void* driver) { static_cast<TestCtDriver*>(driver)->SetCardPresent(true); };
    dm_->context = &Driver();
    EXPECT_EQ(std::u16string(CallGet().error), Text(57, 57));  // a new card: no files
    EXPECT_EQ(Boxes().size(), 3u);

    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_NOFILE);
    EXPECT_EQ(CallSet(u"frank", u"PLANT", kPassword), u"");
    LoginBuffers r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password + r.error,
              u"frankPLANT" + std::u16string(kPassword));
    ASSERT_EQ(g_pTCOSCard->WriteFiles(u"", u"", u""), CT_OK);
    Pump(1);
    ASSERT_EQ(g_pTCOSCard->GetCardState(), CT_EMPTYFILE);
    EXPECT_EQ(CallSet(u"heidi", u"CORP", kPassword), u"");
    r = CallGet();
    EXPECT_EQ(std::u16string(r.user) + r.domain + r.password + r.error,
              u"heidiCORP" + std::u16string(kPassword));
}

}  // namespace
}  // namespace mltest
