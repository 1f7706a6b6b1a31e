// The card commands on the login files, and what each status word of each
// command makes of the operation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "infrastructure/testing/log_scan.h"
#include "platform/codepage.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

constexpr int kCard = 0;
constexpr int kTerminal = 1;

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

Bytes Padded(Bytes bytes, size_t size) {
    bytes.resize(size, 0);
    return bytes;
}

// One scripted answer to an operation and what the operation makes of it.
struct MapCase {
    int ins;
    CtScriptedAnswer answer;
    int expected;
    int reportedMessage;  // 0: no report
    size_t commands = 0;  // commands sent by the operation; 0: not checked
};

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
    // Another code in between, so that each report is written.
    std::string LogMark() {
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        return ErrorLog();
    }
    std::string LogSince(const std::string& mark) { return ErrorLog().substr(mark.size()); }

    // Runs `operation` once per case with the case's answer scripted for `dad`.
    void ExpectMapped(int dad, const std::vector<MapCase>& cases,
                      const std::function<int()>& operation, const std::string& reporter = "") {
        for (const MapCase& c : cases) {
            SCOPED_TRACE(testing::Message() << "ins " << c.ins << " answer result "
                                            << int{c.answer.result} << " expected " << c.expected);
            const std::string mark = LogMark();
            Driver().Script(dad, c.ins, c.answer);
            NewCalls();
            EXPECT_EQ(operation(), c.expected);
            if (c.commands != 0) {
                EXPECT_EQ(NewCalls().size(), c.commands);
            }
            const std::string after = LogSince(mark);
            if (c.reportedMessage == 0) {
                EXPECT_EQ(Count(after, "[ERROR]"), 0) << after;
                continue;
            }
            EXPECT_EQ(Count(after, ErrorLine(c.reportedMessage)), 1) << after;
            if (!reporter.empty()) {
                EXPECT_EQ(Count(after, reporter), 2) << after;
            }
        }
    }

    int Read() { return Card().ReadFiles(user_, domain_, password_); }
    void ExpectRead(int result, std::u16string_view user, std::u16string_view domain,
                    std::u16string_view password) {
        EXPECT_EQ(Read(), result);
        EXPECT_EQ(std::u16string(user_), user);
        EXPECT_EQ(std::u16string(domain_), domain);
        EXPECT_EQ(std::u16string(password_), password);
    }

    size_t baseline_ = 0;
    WCHAR user_[43] = {};
    WCHAR domain_[33] = {};
    WCHAR password_[101] = {};
};

TEST_F(CardCommands, WriteLoginDataMakesMissingFilesAndWritesTheUserNameLast) {
    const uint8_t sizes[] = {0x2A, 0x20, 0x64};
    // The user-name file is cleared first and written last, so that a card
    // pulled in between holds no user name.
    auto expectWrites = [&](const std::vector<CtDataCall>& calls, size_t at) {
        const uint8_t order[] = {0, 1, 2, 0};
        for (size_t k = 0; k < 4; ++k) {
            const uint8_t i = order[k];
            const uint8_t lo = static_cast<uint8_t>(0x11 * (i + 1));
            EXPECT_EQ(calls[at + 2 * k].command, (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, lo}));
            const Bytes& update = calls[at + 2 * k + 1].command;
            EXPECT_EQ(update.size(), 5u + sizes[i]);
            EXPECT_EQ(Bytes(update.begin(), update.begin() + 5),
                      (Bytes{0x00, 0xD6, 0x00, 0x00, sizes[i]}));
        }
        EXPECT_EQ(calls[at + 1].command, Padded({0x00, 0xD6, 0x00, 0x00, 0x2A}, 47));
    };
    // A card without the files: they are made, each write selects its file.
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    auto calls = NewCalls();
    ASSERT_EQ(calls.size(), 15u);
    EXPECT_EQ(calls[0].command, (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11}));
    for (uint8_t i = 0; i < 3; ++i) {
        const uint8_t lo = static_cast<uint8_t>(0x11 * (i + 1));
        EXPECT_EQ(calls[1 + i].command, (Bytes{0x80, 0xE4, 0x00, 0x00, 0x02, 0x55, lo}));
        EXPECT_EQ(calls[4 + i].command,
                  (Bytes{0x80, 0xE0, 0x00, 0x00, 0x23, 0x81, 0x02, 0x00, sizes[i], 0x82,
                         0x01, 0x01, 0x83, 0x02, 0x55, lo,   0x85, 0x02, 0x01,     0x00,
                         0x86, 0x12, 0x60, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xD6,     0x00,
                         0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00, 0x00, 0x00, 0xFF,     0xFF}));
    }
    expectWrites(calls, 7);
    // Files of their sizes are written in place: read, not made again.
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    calls = NewCalls();
    ASSERT_EQ(calls.size(), 14u);
    for (uint8_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[2 * i + 1].command, (Bytes{0x00, 0xB0, 0x00, 0x00, sizes[i]}));
    }
    expectWrites(calls, 6);
    EXPECT_EQ(Driver().FileData(0x5511), Utf16(u"alice", 42));
    EXPECT_EQ(Driver().FileData(0x5522), Utf16(u"PLANT", 32));
    EXPECT_EQ(Driver().FileData(0x5533), Utf16(u"s3cret!", 100));
    // A file of another size makes all three afresh.
    Driver().PutFile(0x5522, Bytes(10, 0));
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    EXPECT_EQ(NewCalls().size(), 4u + 6u + 8u);
    EXPECT_EQ(Driver().FileData(0x5522), Utf16(u"PLANT", 32));
    // So does a read that gives fewer bytes than the file's size with 90 00.
    Driver().Script(kCard, kRead, Sw(0x9000, Bytes(10, 0)));
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    EXPECT_EQ(NewCalls().size(), 2u + 6u + 8u);

    ExpectRead(CT_OK, u"alice", u"PLANT", u"s3cret!");
    calls = NewCalls();
    ASSERT_EQ(calls.size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[2 * i + 1].command, (Bytes{0x00, 0xB0, 0x00, 0x00, sizes[i]}));
    }
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0) << ErrorLog();
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"s3cret!"), 0u);
}

TEST_F(CardCommands, NoPasswordReachesTheLogsWhenWritingOrReadingFails) {
    const std::u16string password = u"Tr0ub4dor&3-and-some-more-to-be-cut-at-fifty-characters";
    Driver().Script(kCard, kUpdate, Sw(0x9000), 2);
    Driver().Script(kCard, kUpdate, Sw(0x6581));
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", password.c_str()), CT_FILEERROR);
    EXPECT_EQ(Errors(21), 1);
    ASSERT_EQ(Card().WriteLoginData(u"u", u"d", password.c_str()), CT_OK);
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"u", 42)));
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"d", 32)));
    Driver().Script(kCard, kRead, Length(2000));
    ExpectRead(CT_ERROR, u"u", u"d", u"");
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), password.substr(0, 11)), 0u);
}

TEST_F(CardCommands, TextsAreCutToTheirFilesWithOneReportEach) {
    // Texts that fill their files have no terminator and read back.
    const std::u16string password(50, u'\u00E9');
    ASSERT_EQ(
        Card().WriteLoginData(u"ABCDEFGHIJKLMNOPQRSTU", u"abcdefghijklmnop", password.c_str()),
        CT_OK);
    ExpectRead(CT_OK, u"ABCDEFGHIJKLMNOPQRSTU", u"abcdefghijklmnop", password);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0);

    ASSERT_EQ(Card().WriteLoginData(u"ABCDEFGHIJKLMNOPQRSTUVWXY", u"d", u"p"), CT_OK);  // 25
    EXPECT_EQ(Driver().FileData(0x5511), Utf16(u"ABCDEFGHIJKLMNOPQRSTU", 42));
    EXPECT_EQ(Errors(23), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::WriteFiles()"), 2);
    // Domain and password, and input beyond what WriteLoginData takes.
    const std::u16string domain(40, u'd');
    const std::u16string longPassword(300, u'p');
    ASSERT_EQ(Card().WriteLoginData(u"u", domain.c_str(), longPassword.c_str()), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5522), Utf16(domain.substr(0, 16), 32));
    EXPECT_EQ(Driver().FileData(0x5533), Utf16(longPassword.substr(0, 50), 100));
    EXPECT_EQ(Errors(22), 1);
    EXPECT_EQ(Errors(21), 1);

    // Without a user name the set is no login data; nothing of it is given.
    ASSERT_EQ(Card().WriteLoginData(nullptr, u"d", u"p"), CT_OK);
    EXPECT_EQ(Driver().FileData(0x5511), Bytes(42, 0));
    const std::string mark = LogMark();
    ExpectRead(CT_EMPTYFILE, u"", u"", u"");
    EXPECT_EQ(Count(LogSince(mark), ErrorLine(57)), 1) << LogSince(mark);
}

TEST_F(CardCommands, ResetCardMapsEveryAnswer) {
    ExpectMapped(
        kTerminal,
        {{kReset, Sw(0x9001, {0x3B, 0x88, 0x80, 0x01}), CT_OK, 0},
         {kReset, Sw(0x64A1), CT_NOCARD, 0},  // information, debug log only
         {kReset, Sw(0x64A2), CT_NOCARD, 0},
         {kReset, Sw(0x9000), CT_FOULCARD, 9},
         {kReset, Sw(0x6400), CT_FOULCARD, 9},
         {kReset, Failed(-10), CT_ERROR, 7},
         {kReset, Length(1), CT_ERROR, 0},
         {kReset, Length(501), CT_ERROR, 0}},
        [&] { return Card().ResetCard(); }, "CTCOSCard::ResetCard()");
    Card().ResetCard();
    const auto calls = NewCalls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().dad, kTerminal);
    EXPECT_EQ(calls.back().command, (Bytes{0x20, 0x10, 0x01, 0x01, 0x00}));
}

TEST_F(CardCommands, SelectFileMapsEveryAnswer) {
    ExpectMapped(
        kCard,
        {{kSelect, Sw(0x9000), CT_OK, 0},
         {kSelect, Sw(0x6982), CT_ERROR, 10},
         {kSelect, Sw(0x6A82), CT_NOFILE, 11},
         {kSelect, Sw(0x6E00), CT_WRONGVERSION, 20},
         {kSelect, Failed(-10), CT_ERROR, 10},
         {kSelect, Length(600), CT_ERROR, 10}},
        [&] { return Card().SelectFile(0x5522); }, "CTCOSCard::SelectFile()");
    Card().SelectFile(0x5522);
    EXPECT_EQ(NewCalls().back().command, (Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x22}));
}

TEST_F(CardCommands, CreateFilesStopsAtAnExistingFileAndOnFailures) {
    // A card that still holds the user-name file: neither of the others is created.
    Driver().PutFile(0x5511, Bytes(42, 0));
    NewCalls();
    EXPECT_EQ(Card().CreateFiles(), CT_FILEEXISTS);
    EXPECT_EQ(NewCalls().size(), 1u);
    EXPECT_FALSE(Driver().FileData(0x5522).has_value());
    EXPECT_FALSE(Driver().FileData(0x5533).has_value());
    EXPECT_EQ(Errors(17), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::CreateFiles()"), 2);

    Driver().PutFile(0x5511, {});
    // Any other answer goes on; a failure or a bad length stops.
    ExpectMapped(kCard,
                 {{kCreate, Sw(0x6A84), CT_OK, 0, 3},
                  {kCreate, Failed(-10), CT_ERROR, 16, 1},
                  {kCreate, Length(1), CT_ERROR, 16, 1}},
                 [&] { return Card().CreateFiles(); });
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = 1"), 1);
}

TEST_F(CardCommands, DeleteFilesIgnoresAnswersButNotFailures) {
    // A card without login files; 6A 82 and a bad length are ignored.
    ExpectMapped(kCard,
                 {{kDelete, Sw(0x6A82), CT_OK, 0, 3},
                  {kDelete, Length(0), CT_OK, 0, 3},
                  {kDelete, Failed(-10), CT_ERROR, 15, 1}},
                 [&] { return Card().DeleteFiles(); });
}

TEST_F(CardCommands, WriteFilesMapsEveryAnswer) {
    ASSERT_EQ(Card().CreateFiles(), CT_OK);
    ExpectMapped(kCard,
                 {
                     {kUpdate, Sw(0x9000), CT_OK, 0, 8},
                     {kUpdate, Sw(0x6381), CT_OK, 0, 8},
                     {kUpdate, Sw(0x6581), CT_FILEERROR, 14, 2},
                     {kUpdate, Failed(-10), CT_ERROR, 13, 2},
                     {kUpdate, Length(1), CT_ERROR, 13, 2},
                     {kSelect, Sw(0x6A82), CT_NOFILE, 11, 1},
                 },
                 [&] { return Card().WriteFiles(u"u", u"d", u"p"); });
    // A refused selection stops WriteLoginData before it changes anything.
    ExpectMapped(kCard, {{kSelect, Sw(0x6982), CT_ERROR, 10, 1}},
                 [&] { return Card().WriteLoginData(u"u", u"d", u"p"); });

    // WriteLoginData goes on when deleting and creating fail; the files are
    // not there, the first select of WriteFiles says so.
    ASSERT_EQ(Card().DeleteFiles(), CT_OK);
    Driver().Script(kCard, kDelete, Failed(-10));
    Driver().Script(kCard, kCreate, Failed(-10));
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_NOFILE);
}

TEST_F(CardCommands, ReadFilesTakesTheDataOf9000And6282Only) {
    PutLoginData(u"user", u"dom", u"pw");
    Driver().Script(kCard, kRead, Sw(0x6282, Utf16(u"short", 10)));
    ExpectRead(CT_OK, u"short", u"dom", u"pw");
    // Any other status word leaves the item empty.
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(kCard, kRead, Sw(0x6982, Utf16(u"dom", 32)));
    ExpectRead(CT_OK, u"user", u"", u"pw");
    // From a long answer no more than the file is taken: 42 bytes, 21 units.
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(std::u16string(249, u'B'), 498)));
    ExpectRead(CT_OK, std::u16string(21, u'B'), u"dom", u"pw");
}

TEST_F(CardCommands, ReadFilesStopsAtAMissingFileAndOnFailures) {
    Driver().PutFile(0x5511, Utf16(u"user", 42));
    std::fill(std::begin(password_), std::end(password_) - 1, u'x');
    ExpectRead(CT_NOFILE, u"user", u"", u"");
    EXPECT_EQ(Errors(11), 1);
    Driver().Script(kCard, kSelect, Sw(0x6E00));  // a TCOS card
    ExpectRead(CT_WRONGVERSION, u"", u"", u"");

    // The password read fails: what was read stays, the password is empty.
    PutLoginData(u"user", u"dom", u"pw");
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(kCard, kRead, Sw(0x9000, Utf16(u"dom", 32)));
    Driver().Script(kCard, kRead, Failed(-10));
    ExpectRead(CT_ERROR, u"user", u"dom", u"");
    EXPECT_EQ(Errors(12), 1);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = -10"), 1);

    // A length beyond the buffer or without a status word: nothing is read
    // from outside the buffer (the sanitizer build checks), the item fails.
    for (uint16_t length : {uint16_t{501}, uint16_t{1}}) {
        const std::string mark = LogMark();
        Driver().Script(kCard, kRead, Length(length));
        EXPECT_EQ(Read(), CT_ERROR) << length;
        EXPECT_EQ(user_[0], 0);
        const std::string after = LogSince(mark);
        EXPECT_EQ(Count(after, ErrorLine(12)), 1);
        EXPECT_EQ(Count(after, "[ERROR] raw Error = " + std::to_string(length)), 1) << after;
    }
}

TEST_F(CardCommands, UserNameAndDomainMayHoldAnsiText) {
    // 61 62: U+6261 is above 00FF and 61 leads no double-byte character:
    // "abc". U+4E2D first: read as the ANSI bytes "-NP". The password is
    // never converted.
    Driver().PutFile(0x5511, Padded({0x61, 0x62, 0x63}, 42));
    Driver().PutFile(0x5522, Padded({0x2D, 0x4E, 0x50, 0x00}, 32));
    Driver().PutFile(0x5533, Padded({0x2D, 0x4E}, 100));
    ExpectRead(CT_OK, u"abc", u"-NP", u"\u4E2D");
    // Two bytes are enough for the ANSI reading.
    Driver().Script(kCard, kRead, Sw(0x9000, {0x2D, 0x4E}));
    ExpectRead(CT_OK, u"-N", u"-NP", u"\u4E2D");
    // Text of the full file in ANSI: 42 characters.
    Driver().PutFile(0x5511, Bytes(42, 'x'));
    ExpectRead(CT_OK, std::u16string(42, u'x'), u"-NP", u"\u4E2D");
    // A first character up to U+00FF is always UTF-16.
    Driver().PutFile(0x5511, Utf16(u"\u00E9t\u4E2D", 42));
    ExpectRead(CT_OK, u"\u00E9t\u4E2D", u"-NP", u"\u4E2D");

    // A lead byte of the ANSI code page keeps the UTF-16 reading.
    Driver().PutFile(0x5511, Utf16(u"\u4EB0", 42));  // bytes B0 4E
    {
        ml::test::ScopedEnv gbk("LC_ALL", "zh_CN.GBK");
        if (GetACP() != 936)
            GTEST_SKIP() << "the ANSI code page follows the locale on POSIX only";
        ExpectRead(CT_OK, u"\u4EB0", u"-NP", u"\u4E2D");
    }
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_NE(std::u16string(user_), u"\u4EB0");
}

}  // namespace
}  // namespace mltest
