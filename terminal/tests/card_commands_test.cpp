// The card commands on the login files, and what each status word of each
// command makes of the operation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "infrastructure/testing/log_scan.h"
#include "platform/codepage.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kCard = 0;
constexpr int kTerminal = 1;
constexpr int kAny = TestCtDriver::kAny;

constexpr uint8_t kSelect = 0xA4;
constexpr uint8_t kCreate = 0xE0;
constexpr uint8_t kDelete = 0xE4;
constexpr uint8_t kUpdate = 0xD6;
constexpr uint8_t kRead = 0xB0;
constexpr uint8_t kReset = 0x10;

CtScriptedAnswer Sw(uint16_t sw, Bytes data = {}) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw & 0xFF));
    return {.result = 0, .response = data, .reportedLength = std::nullopt};
}

CtScriptedAnswer Failed(int8_t result) {
    return {.result = result, .response = {}, .reportedLength = std::nullopt};
}

// An answer whose reported length is not what the buffer can hold.
CtScriptedAnswer Length(uint16_t length) {
    return {.result = 0, .response = {0x90, 0x00}, .reportedLength = length};
}

Bytes Utf16(std::u16string_view text, size_t size) {
    Bytes bytes(size, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < size; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return bytes;
}

Bytes Padded(Bytes bytes, size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

class CardCommands : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        UseDriver("full");
        CreateCard();
        ASSERT_EQ(Card().ResetCard(), CT_OK);
        baseline_ = Driver().DataCalls().size();
    }

    // The commands sent since SetUp (or the last call), card and terminal.
    std::vector<CtDataCall> NewCalls() {
        auto calls = Driver().DataCalls();
        std::vector<CtDataCall> fresh(calls.begin() + static_cast<long>(baseline_), calls.end());
        baseline_ = calls.size();
        return fresh;
    }

    int Read() { return Card().ReadFiles(user_, domain_, password_); }

    void WriteCard(std::u16string_view user, std::u16string_view domain,
                   std::u16string_view password) {
        Driver().PutFile(0x5511, Utf16(user, 42));
        Driver().PutFile(0x5522, Utf16(domain, 32));
        Driver().PutFile(0x5533, Utf16(password, 100));
    }

    size_t baseline_ = 0;
    WCHAR user_[43] = {};
    WCHAR domain_[33] = {};
    WCHAR password_[101] = {};
};

TEST_F(CardCommands, WriteLoginDataDeletesCreatesAndWritesTheThreeFiles) {
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    auto calls = NewCalls();
    ASSERT_EQ(calls.size(), 12u);
    const Bytes ids[] = {{0x55, 0x11}, {0x55, 0x22}, {0x55, 0x33}};
    const uint8_t sizes[] = {0x2A, 0x20, 0x64};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].dad, kCard);
        EXPECT_EQ(calls[i].sad, 2);
        EXPECT_EQ(calls[i].lenr, 500);
        EXPECT_EQ(calls[i].command, (Bytes{0x80, 0xE4, 0x00, 0x00, 0x02, ids[i][0], ids[i][1]}));
        const Bytes create = {0x80,     0xE0, 0x00, 0x00, 0x23, 0x81, 0x02,      0x00,
                              sizes[i], 0x82, 0x01, 0x01, 0x83, 0x02, ids[i][0], ids[i][1],
                              0x85,     0x02, 0x01, 0x00, 0x86, 0x12, 0x60,      0x00,
                              0x00,     0x00, 0xFF, 0xFF, 0xD6, 0x00, 0x00,      0x00,
                              0xFF,     0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF,      0xFF};
        EXPECT_EQ(calls[3 + i].command, create);
        EXPECT_EQ(calls[6 + 2 * i].command,
                  (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, ids[i][0], ids[i][1]}));
        EXPECT_EQ(calls[7 + 2 * i].command.size(), 5u + sizes[i]);
        EXPECT_EQ(Bytes(calls[7 + 2 * i].command.begin(), calls[7 + 2 * i].command.begin() + 5),
                  (Bytes{0x00, 0xD6, 0x00, 0x00, sizes[i]}));
    }
    EXPECT_EQ(Driver().FileData(0x5511), Utf16(u"alice", 42));
    EXPECT_EQ(Driver().FileData(0x5522), Utf16(u"PLANT", 32));
    EXPECT_EQ(Driver().FileData(0x5533), Utf16(u"s3cret!", 100));

    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), u"alice");
    EXPECT_EQ(std::u16string(domain_), u"PLANT");
    EXPECT_EQ(std::u16string(password_), u"s3cret!");
    calls = NewCalls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[1].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x2A}));
    EXPECT_EQ(calls[3].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x20}));
    EXPECT_EQ(calls[5].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x64}));
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0) << ErrorLog();
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"s3cret!"), 0u);
}

TEST_F(CardCommands, NoPasswordReachesTheLogsWhenWritingOrReadingFails) {
    const std::u16string password = u"Tr0ub4dor&3-and-some-more-to-be-cut-at-fifty-characters";
    Driver().Script(kCard, kUpdate, Sw(0x9000));
    Driver().Script(kCard, kUpdate, Sw(0x9000));
    Driver().Script(kCard, kUpdate, Sw(0x6581));
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", password.c_str()), CT_FILEERROR);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(21)), 1);
    ASSERT_EQ(Card().WriteLoginData(u"u", u"d", password.c_str()), CT_OK);
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"u", 42)));
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"d", 32)));
    Driver().Script(kCard, kRead, Length(2000));
    EXPECT_EQ(Read(), CT_ERROR);
    EXPECT_EQ(password_[0], 0);
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), password.substr(0, 11)), 0u);
}

TEST_F(CardCommands, TextsThatFillTheirFilesHaveNoTerminatorAndReadBack) {
    const std::u16string user = u"ABCDEFGHIJKLMNOPQRSTU";  // 21
    const std::u16string domain = u"abcdefghijklmnop";     // 16
    const std::u16string password(50, u'\u00E9');          // 50
    ASSERT_EQ(Card().WriteLoginData(user.c_str(), domain.c_str(), password.c_str()), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5511), Utf16(user, 42));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), user);
    EXPECT_EQ(std::u16string(domain_), domain);
    EXPECT_EQ(std::u16string(password_), password);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0);
}

TEST_F(CardCommands, LongTextsAreCutToTheirFilesWithOneReportEach) {
    const std::u16string user = u"ABCDEFGHIJKLMNOPQRSTUVWXY";  // 25
    ASSERT_EQ(Card().WriteLoginData(user.c_str(), u"d", u"p"), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5511), Utf16(user.substr(0, 21), 42));
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(23)), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::WriteFiles()"), 2);

    // Domain and password, and input beyond what WriteLoginData takes.
    const std::u16string domain(40, u'd');
    const std::u16string password(300, u'p');
    ASSERT_EQ(Card().WriteLoginData(u"u", domain.c_str(), password.c_str()), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5522), Utf16(domain.substr(0, 16), 32));
    EXPECT_EQ(Driver().FileData(0x5533), Utf16(password.substr(0, 50), 100));
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(22)), 1);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(21)), 1);
}

TEST_F(CardCommands, NullTextsAreWrittenAsEmpty) {
    ASSERT_EQ(Card().WriteLoginData(nullptr, nullptr, nullptr), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5511), Bytes(42, 0));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(user_[0], 0);
}

struct ResetCase {
    CtScriptedAnswer answer;
    int expected;
    int reportedMessage;  // 0: no report
};

TEST_F(CardCommands, ResetCardMapsEveryAnswer) {
    const ResetCase cases[] = {
        {Sw(0x9001), CT_OK, 0},       {Sw(0x9001, {0x3B, 0x88, 0x80, 0x01}), CT_OK, 0},
        {Sw(0x64A1), CT_NOCARD, 0},  // information, debug log only
        {Sw(0x64A2), CT_NOCARD, 0},   {Sw(0x9000), CT_FOULCARD, 9},
        {Sw(0x6400), CT_FOULCARD, 9}, {Failed(-10), CT_ERROR, 7},
        {Length(1), CT_ERROR, 0},     {Length(0), CT_ERROR, 0},
        {Length(501), CT_ERROR, 0},
    };
    for (const ResetCase& c : cases) {
        // Another code in between, so that each report is written.
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        const std::string before = ErrorLog();
        Driver().Script(kTerminal, kReset, c.answer);
        EXPECT_EQ(Card().ResetCard(), c.expected);
        const std::string after = ErrorLog().substr(before.size());
        if (c.reportedMessage != 0) {
            EXPECT_EQ(Count(after, ErrorLine(c.reportedMessage)), 1) << after;
            EXPECT_EQ(Count(after, "CTCOSCard::ResetCard()"), 2);
        } else {
            EXPECT_EQ(Count(after, "[ERROR]"), 0) << after;
        }
    }
    auto calls = NewCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().dad, kTerminal);
    EXPECT_EQ(calls.back().command, (Bytes{0x20, 0x10, 0x01, 0x01, 0x00}));
}

TEST_F(CardCommands, NoCardIsWrittenOnceAsInformation) {
    Driver().SetCardPresent(false);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Card().ResetCard(), CT_NOCARD);
    }
    EXPECT_EQ(Count(DebugLog(), "[INFO]  = " + Message(8)), 1);
    EXPECT_EQ(Count(ErrorLog(), Message(8)), 0);
}

struct SelectCase {
    CtScriptedAnswer answer;
    int expected;
    int reportedMessage;
};

TEST_F(CardCommands, SelectFileMapsEveryAnswer) {
    const SelectCase cases[] = {
        {Sw(0x9000), CT_OK, 0},      {Sw(0x6283), CT_OK, 0},
        {Sw(0x6A82), CT_NOFILE, 11}, {Sw(0x6E00), CT_WRONGVERSION, 20},
        {Failed(-10), CT_ERROR, 10}, {Length(1), CT_ERROR, 10},
        {Length(600), CT_ERROR, 10},
    };
    for (const SelectCase& c : cases) {
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        const std::string before = ErrorLog();
        Driver().Script(kCard, kSelect, c.answer);
        EXPECT_EQ(Card().SelectFile(0x5522), c.expected);
        const std::string after = ErrorLog().substr(before.size());
        if (c.reportedMessage != 0) {
            EXPECT_EQ(Count(after, ErrorLine(c.reportedMessage)), 1) << after;
            EXPECT_EQ(Count(after, "CTCOSCard::SelectFile()"), 2);
        } else {
            EXPECT_EQ(Count(after, "[ERROR]"), 0) << after;
        }
    }
    EXPECT_EQ(NewCalls().back().command, (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x22}));
}

TEST_F(CardCommands, CreateFilesStopsAtAnExistingFile) {
    // A card that still holds the user-name file: neither of the others is
    // created.
    Driver().PutFile(0x5511, Bytes(42, 0));
    EXPECT_EQ(Card().CreateFiles(), CT_FILEEXISTS);
    EXPECT_EQ(NewCalls().size(), 1u);
    EXPECT_FALSE(Driver().FileData(0x5522).has_value());
    EXPECT_FALSE(Driver().FileData(0x5533).has_value());
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(17)), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::CreateFiles()"), 2);

    // 6A F1 on the second file.
    Driver().PutFile(0x5511, {});
    Driver().Script(kCard, kCreate, Sw(0x9000));
    Driver().Script(kCard, kCreate, Sw(0x6AF1));
    EXPECT_EQ(Card().CreateFiles(), CT_FILEEXISTS);
    EXPECT_EQ(NewCalls().size(), 2u);
}

TEST_F(CardCommands, CreateFilesGoesOnAfterOtherAnswersAndStopsOnFailures) {
    Driver().Script(kCard, kCreate, Sw(0x6A84));
    EXPECT_EQ(Card().CreateFiles(), CT_OK);
    EXPECT_EQ(NewCalls().size(), 3u);
    EXPECT_FALSE(Driver().FileData(0x5511).has_value());
    EXPECT_TRUE(Driver().FileData(0x5522).has_value());
    EXPECT_TRUE(Driver().FileData(0x5533).has_value());

    Driver().Script(kCard, kCreate, Failed(-10));
    EXPECT_EQ(Card().CreateFiles(), CT_ERROR);
    EXPECT_EQ(NewCalls().size(), 1u);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(16)), 1);

    Driver().Script(kCard, kCreate, Length(1));
    Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
    EXPECT_EQ(Card().CreateFiles(), CT_ERROR);
    EXPECT_EQ(NewCalls().size(), 1u);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(16)), 2);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = 1"), 1);
}

TEST_F(CardCommands, DeleteFilesIgnoresAnswersButNotFailures) {
    // A card without login files.
    EXPECT_EQ(Card().DeleteFiles(), CT_OK);
    EXPECT_EQ(NewCalls().size(), 3u);
    Driver().Script(kCard, kDelete, Length(0));
    EXPECT_EQ(Card().DeleteFiles(), CT_OK);
    EXPECT_EQ(NewCalls().size(), 3u);
    Driver().Script(kCard, kDelete, Failed(-10));
    EXPECT_EQ(Card().DeleteFiles(), CT_ERROR);
    EXPECT_EQ(NewCalls().size(), 1u);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(15)), 1);
}

struct WriteCase {
    int ins;
    CtScriptedAnswer answer;
    int expected;
    int reportedMessage;
    size_t commands;  // sent by WriteFiles
};

TEST_F(CardCommands, WriteFilesMapsEveryAnswer) {
    ASSERT_EQ(Card().CreateFiles(), CT_OK);
    NewCalls();
    const WriteCase cases[] = {
        {kUpdate, Sw(0x9000), CT_OK, 0, 6},
        {kUpdate, Sw(0x6381), CT_OK, 0, 6},
        {kUpdate, Sw(0x6581), CT_FILEERROR, 14, 2},
        {kUpdate, Sw(0x6A82), CT_FILEERROR, 14, 2},
        {kUpdate, Failed(-10), CT_ERROR, 13, 2},
        {kUpdate, Length(1), CT_ERROR, 13, 2},
        {kUpdate, Length(700), CT_ERROR, 13, 2},
        {kSelect, Sw(0x6A82), CT_NOFILE, 11, 1},
        {kSelect, Sw(0x6E00), CT_WRONGVERSION, 20, 1},
        {kSelect, Failed(-10), CT_ERROR, 10, 1},
    };
    for (const WriteCase& c : cases) {
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        const std::string before = ErrorLog();
        Driver().Script(kCard, c.ins, c.answer);
        EXPECT_EQ(Card().WriteFiles(u"u", u"d", u"p"), c.expected);
        EXPECT_EQ(NewCalls().size(), c.commands);
        const std::string after = ErrorLog().substr(before.size());
        if (c.reportedMessage != 0) {
            EXPECT_EQ(Count(after, ErrorLine(c.reportedMessage)), 1) << after;
        } else {
            EXPECT_EQ(Count(after, "[ERROR]"), 0) << after;
        }
    }
}

TEST_F(CardCommands, WriteLoginDataGoesOnWhenDeletingAndCreatingFail) {
    Driver().Script(kCard, kDelete, Failed(-10));
    Driver().Script(kCard, kCreate, Failed(-10));
    // The files are not there: the first select of WriteFiles says so.
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_NOFILE);
}

TEST_F(CardCommands, ReadFilesTakesTheDataOf9000And6282) {
    WriteCard(u"user", u"dom", u"pw");
    Driver().Script(kCard, kRead, Sw(0x6282, Utf16(u"short", 10)));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), u"short");
    EXPECT_EQ(std::u16string(domain_), u"dom");
    EXPECT_EQ(std::u16string(password_), u"pw");
}

TEST_F(CardCommands, ReadFilesLeavesAnItemEmptyForAnyOtherStatusWord) {
    WriteCard(u"user", u"dom", u"pw");
    // Select and read of the user name go to the card; the domain's read
    // answers 69 82 with data.
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(kCard, kRead, Sw(0x6982, Utf16(u"dom", 32)));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), u"user");
    EXPECT_EQ(domain_[0], 0);
    EXPECT_EQ(std::u16string(password_), u"pw");
}

TEST_F(CardCommands, ReadFilesStopsAtAMissingFileAndEmptiesTheRest) {
    Driver().PutFile(0x5511, Utf16(u"user", 42));
    std::fill(std::begin(password_), std::end(password_) - 1, u'x');
    EXPECT_EQ(Read(), CT_NOFILE);
    EXPECT_EQ(std::u16string(user_), u"user");
    EXPECT_EQ(domain_[0], 0);
    EXPECT_EQ(password_[0], 0);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(11)), 1);

    auto tcosCard = [&] {
        Driver().Script(kCard, kSelect, Sw(0x6E00));
        return Read();
    };
    EXPECT_EQ(tcosCard(), CT_WRONGVERSION);
    EXPECT_EQ(user_[0], 0);
}

TEST_F(CardCommands, ReadFilesFailsOnDriverFailuresAndBadLengths) {
    WriteCard(u"user", u"dom", u"pw");
    // The password read fails: what was read stays, the password is empty.
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"dom", 32)));
    Driver().Script(kCard, kRead, Failed(-10));
    EXPECT_EQ(Read(), CT_ERROR);
    EXPECT_EQ(std::u16string(user_), u"user");
    EXPECT_EQ(std::u16string(domain_), u"dom");
    EXPECT_EQ(password_[0], 0);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(12)), 1);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = -10"), 1);

    // A length beyond the buffer or without a status word: nothing is read
    // from outside the buffer (the sanitizer build checks), the item fails.
    for (uint16_t length : {uint16_t{501}, uint16_t{0xFFFF}, uint16_t{1}, uint16_t{0}}) {
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        const std::string before = ErrorLog();
        Driver().Script(kCard, kRead, Length(length));
        EXPECT_EQ(Read(), CT_ERROR) << length;
        EXPECT_EQ(user_[0], 0);
        const std::string after = ErrorLog().substr(before.size());
        EXPECT_EQ(Count(after, ErrorLine(12)), 1);
        EXPECT_EQ(Count(after, "[ERROR] raw Error = " + std::to_string(length)), 1) << after;
    }
}

TEST_F(CardCommands, ReadFilesTakesNoMoreThanTheFileFromALongAnswer) {
    WriteCard(u"user", u"dom", u"pw");
    Driver().Script(kCard, kRead, Sw(0x9000, Bytes(498, 'A')));
    ASSERT_EQ(Read(), CT_OK);
    // 42 bytes of 'A' 'A': 21 units of U+4141 would be the UTF-16 reading;
    // 'A' is no lead byte, so the bytes are ANSI text: 42 characters.
    EXPECT_EQ(std::u16string(user_), std::u16string(42, u'A'));
}

TEST_F(CardCommands, UserNameAndDomainMayHoldAnsiText) {
    Driver().PutFile(0x5511, Padded({0x61, 0x62, 0x63}, 42));
    Driver().PutFile(0x5522, Padded({0x2D, 0x4E, 0x50, 0x00}, 32));
    Driver().PutFile(0x5533, Padded({0x2D, 0x4E}, 100));
    ASSERT_EQ(Read(), CT_OK);
    // 61 62: U+6261 is above 00FF and 61 leads no double-byte character.
    EXPECT_EQ(std::u16string(user_), u"abc");
    // U+4E2D first: read as the ANSI bytes "-NP".
    EXPECT_EQ(std::u16string(domain_), u"-NP");
    // The password is never converted.
    EXPECT_EQ(std::u16string(password_), u"\u4E2D");

    // Text of the full file in ANSI: 42 characters.
    Driver().PutFile(0x5511, Bytes(42, 'x'));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), std::u16string(42, u'x'));

    // A first character up to U+00FF is always UTF-16.
    Driver().PutFile(0x5511, Utf16(u"\u00E9t\u4E2D", 42));
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), u"\u00E9t\u4E2D");
}

TEST_F(CardCommands, ALeadByteOfTheAnsiCodePageKeepsTheUtf16Reading) {
    WriteCard(u"\u4EB0", u"d", u"p");  // bytes B0 4E
    setenv("LC_ALL", "zh_CN.GBK", 1);
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_EQ(std::u16string(user_), u"\u4EB0");
    setenv("LC_ALL", "C.UTF-8", 1);
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_NE(std::u16string(user_), u"\u4EB0");
}

}  // namespace
}  // namespace mltest
