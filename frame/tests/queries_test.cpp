// The error queries and the message-box service: the message chosen for each
// failure, the answers, the language, and what happens when no box can be
// shown.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "components/dialog/logondm.h"
#include "frame/error_queries.h"
#include "frame/helper.h"
#include "frame/mlcardmanx_app.h"
#include "frame/tests/frame_fixture.h"
#include "include/mlcardmanx.h"
#include "platform/framework.h"
#include "platform/scard.h"
#include "terminal/ct_result.h"

namespace mltest {
namespace {

// The texts of a language library's source, read independently of the
// module's resource loading.
std::map<int, std::u16string> Texts(const char* path) {
    std::map<int, std::u16string> texts;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t tab = line.find('\t');
        if (line.empty() || line[0] == '#' || tab == std::string::npos)
            continue;
        texts[std::stoi(line.substr(0, tab))] = Utf16(line.substr(tab + 1));
    }
    return texts;
}

const std::map<int, std::u16string>& English() {
    static const std::map<int, std::u16string> texts = Texts(ML_ENGLISH_TXT);
    return texts;
}

const std::map<int, std::u16string>& German() {
    static const std::map<int, std::u16string> texts = Texts(ML_GERMAN_TXT);
    return texts;
}

std::u16string Expected(int number, int message, const std::map<int, std::u16string>& texts) {
    return Utf16(std::to_string(number)) + u" " + texts.at(message);
}

struct Case {
    LONG scard;
    int ct;
    bool write;
    int message;
    UINT type;
};

constexpr UINT kQuestion = 0x1031;
constexpr UINT kNotice = 0x1010;

const Case kCases[] = {
    {SCARD_W_REMOVED_CARD, 0, false, 18, kQuestion},
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
    {SCARD_E_UNEXPECTED, 0, true, 14, kNotice},
};

// As the exports call them: with the module's state current.
bool Query(const Case& c, std::u16string& text, bool* notShown = nullptr) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return c.write ? QueryUserOnWriteError(c.scard, c.ct, text, notShown)
                   : QueryUserOnReadError(c.scard, c.ct, text, notShown);
}

class QueriesTest : public FrameTest {};

// Each failure with each answer: OK, Cancel, and a question that could not be
// shown. Only a question asks for a retry; Cancel ends it with -1.
TEST_F(QueriesTest, EachFailureShowsItsMessageAndTheAnswerDecidesTheRetry) {
    for (const Case& c : kCases) {
        const bool question = c.type == kQuestion;
        for (LONG answer : {LONG{IDOK}, LONG{IDCANCEL}, kScriptedNoTerminal}) {
            SCOPED_TRACE(testing::Message()
                         << "scard 0x" << std::hex << c.scard << std::dec << " ct " << c.ct
                         << (c.write ? " write" : " read") << " answer " << answer);
            ResetDialog();
            Answer(answer);
            const bool notShown = question && answer == kScriptedNoTerminal;
            std::u16string text = u"previous";
            bool reported = !notShown;
            EXPECT_EQ(Query(c, text, &reported), question && answer != IDCANCEL);
            EXPECT_EQ(reported, notShown);
            EXPECT_EQ(text, Expected(question && answer == IDCANCEL ? -1 : c.message, c.message,
                                     English()));
            std::vector<ScriptedBox> boxes = Boxes();
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(std::u16string(boxes[0].text), English().at(c.message));
            EXPECT_EQ(std::u16string(boxes[0].caption), English().at(24));
            EXPECT_EQ(boxes[0].type, c.type);
            EXPECT_TRUE(boxes[0].identified);
            EXPECT_EQ(boxes[0].timeoutSeconds, -1);
        }
    }
}

TEST_F(QueriesTest, SetLanguageChoosesTheLanguageOfTextAndCaption) {
    const Case removed{SCARD_W_REMOVED_CARD, 0, false, 18, kQuestion};
    std::u16string text;
    SetLanguage(1031);
    Answer(IDCANCEL);
    Query(removed, text);
    EXPECT_EQ(text, Expected(-1, 18, German()));
    EXPECT_EQ(std::u16string(Boxes().back().caption), German().at(24));

    // Only the low 16 bits count.
    SetLanguage(0x00010000u | 1031u);
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().caption), German().at(24));

    SetLanguage(0);
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().caption), English().at(24));

    // 0 follows the settings as they are at that moment.
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName=\n[Config]\nCurrentLanguage=1031\n");
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().text), German().at(18));
    SetLanguage(1033);
    Query(removed, text);
    EXPECT_EQ(std::u16string(Boxes().back().text), English().at(18));
}

TEST_F(QueriesTest, TheTraceOfAQueryNamesTheFailure) {
    SetDebug(true);
    Start();
    std::u16string text;
    Answer(IDOK);
    Query({0, CT_FOULCARD, false, 19, kQuestion}, text);
    Answer(IDOK);
    Query({SCARD_W_REMOVED_CARD, 0, true, 58, kQuestion}, text);
    std::string log = DebugLog();
    EXPECT_NE(log.find("QueryUserOnReadError()"), std::string::npos);
    EXPECT_NE(log.find("[INFO] Error Number (TCOSCard) = 2"), std::string::npos) << log;
    EXPECT_NE(log.find("(CT_ERROR=-1, CT_OK=0, CT_NOCARD=1, CT_FOULCARD=2, CT_NOFILE=4, "
                       "CT_EMPTYFILE=5, CT_FILEERROR=6, CT_NODELETE=7, CT_FILEEXISTS=8, "
                       "CT_FILETOOSHORT=10, CT_WRONGVERSION=11)"),
              std::string::npos);
    EXPECT_NE(log.find("QueryUserOnWriteError()"), std::string::npos);
    EXPECT_NE(log.find("[INFO] Error Number (SmartCard) = 0x80100069"), std::string::npos);
}

TEST_F(QueriesTest, WithoutTheComponentNoBoxIsShownAndTheCreationFailureIsLogged) {
    Unregister();
    Start();
    CHelper helper;
    EXPECT_EQ(helper.MessageBoxNoIcon(nullptr, u"text", u"caption", kQuestion), -1);
    EXPECT_TRUE(Boxes().empty());
    std::string log = ErrorLog();
    EXPECT_NE(log.find("*** CHelper::MessageBoxNoIcon() - pILogonDM.CoCreateInstance() - Error "
                       "***"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[ERROR] HRESULT = 0x80040154"), std::string::npos) << log;

    // A notice then ends the operation as usual.
    std::u16string text;
    EXPECT_FALSE(Query({0, CT_NOFILE, false, 57, kNotice}, text));
    EXPECT_EQ(text, Expected(57, 57, English()));
}

// A box's arguments and answer go to the debug log; a component that refuses
// the identification shows nothing. The component object is released either way.
TEST_F(QueriesTest, OneBoxIsLoggedWithItsAnswerAndARefusedOneShowsNothing) {
    SetDebug(true);
    Start();
    Answer(IDCANCEL);
    CHelper helper;
    EXPECT_EQ(helper.MessageBoxNoIcon(nullptr, u"Insert the card", u"Logon", kQuestion), IDCANCEL);
    std::string log = DebugLog();
    for (const char* line :
         {"[IN] p_hwndParent = 0", "[IN] p_strText = Insert the card", "[IN] p_strCaption = Logon",
          "[IN] p_nType = 4145", "[INFO] HRESULT = 0x0", "[RET] lDlgRetVal = 2"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    Refuse(true);
    EXPECT_EQ(helper.MessageBoxNoIcon(nullptr, u"text", u"caption", kQuestion), -1);
    EXPECT_NE(DebugLog().find("[INFO] HRESULT = 0x80040201"), std::string::npos);
    EXPECT_EQ(LiveDialogObjects(), 0);
}

}  // namespace
}  // namespace mltest
