// The card commands on the login files, and what each answer of each command
// makes of the operation.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "infrastructure/testing/log_scan.h"
#include "platform/codepage.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

constexpr uint8_t kSelect = 0xA4, kCreate = 0xE0, kDelete = 0xE4, kUpdate = 0xD6, kRead = 0xB0,
                  kReset = 0x10;
const uint8_t kIds[] = {0x11, 0x22, 0x33}, kSizes[] = {42, 32, 100};  // of each login file

// A scripted answer, the result, the message reported (0: none), the commands sent (0: any).
struct MapCase {
    uint8_t ins;
    CtScriptedAnswer answer;
    int expected, reportedMessage;
    size_t commands = 0;
};

class CardCommands : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        UseDriver("full");
        CreateCard();
        ASSERT_EQ(Card().ResetCard(), CT_OK);
        NewCommands();
    }

    static CtScriptedAnswer Sw(uint16_t sw, Bytes data = {}) {
        data.insert(data.end(), {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw & 0xFF)});
        return {0, data, std::nullopt};
    }
    static CtScriptedAnswer Failed(int8_t result) { return {result, {}, std::nullopt}; }
    // 90 00 with a reported length that gives no status word.
    static CtScriptedAnswer Length(uint16_t length) { return {0, {0x90, 0x00}, length}; }
    static Bytes Padded(Bytes bytes, size_t size) { return bytes.resize(size, 0), bytes; }
    // The commands on login file i (user name, domain, password).
    static Bytes Select(int i) { return {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, kIds[i]}; }
    static Bytes ReadCommand(int i) { return {0x00, 0xB0, 0x00, 0x00, kSizes[i]}; }
    static Bytes Delete(int i) { return {0x80, 0xE4, 0x00, 0x00, 0x02, 0x55, kIds[i]}; }
    static Bytes Update(int i, std::u16string_view text) {
        return Cat({0x00, 0xD6, 0x00, 0x00, kSizes[i]}, Utf16(text, kSizes[i]));
    }
    // Size, descriptor, identifier, 01 00, access conditions of 60, D6 and B0.
    static Bytes Create(int i) {
        return {0x80, 0xE0, 0x00, 0x00, 0x23, 0x81,    0x02, 0x00, kSizes[i], 0x82,
                0x01, 0x01, 0x83, 0x02, 0x55, kIds[i], 0x85, 0x02, 0x01,      0x00,
                0x86, 0x12, 0x60, 0x00, 0x00, 0x00,    0xFF, 0xFF, 0xD6,      0x00,
                0x00, 0x00, 0xFF, 0xFF, 0xB0, 0x00,    0x00, 0x00, 0xFF,      0xFF};
    }
    template <typename T>
    static std::vector<T> Cat(std::vector<T> a, const std::vector<T>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    // The commands sent since the last call.
    std::vector<Bytes> NewCommands() {
        std::vector<Bytes> commands;
        const auto calls = Driver().DataCalls();
        for (size_t i = std::exchange(seen_, calls.size()); i < calls.size(); ++i)
            commands.push_back(calls[i].command);
        return commands;
    }
    // Another code in between, so that each report is written.
    std::string LogMark() {
        Card().ReportError(u"CTCOSCard::Test()", 24, 99, 0);
        return ErrorLog();
    }
    std::string LogSince(const std::string& mark) { return ErrorLog().substr(mark.size()); }

    // Runs `operation` once per case with the case's answer scripted.
    void ExpectMapped(const std::vector<MapCase>& cases, const std::function<int()>& operation) {
        for (const MapCase& c : cases) {
            SCOPED_TRACE(testing::Message() << "case " << &c - cases.data());
            const std::string mark = LogMark();
            Driver().Script(c.ins == kReset ? 1 : 0, c.ins, c.answer);
            NewCommands();
            EXPECT_EQ(operation(), c.expected);
            if (c.commands != 0) {
                EXPECT_EQ(NewCommands().size(), c.commands);
            }
            const std::string after = LogSince(mark);
            EXPECT_EQ(Count(after, c.reportedMessage ? ErrorLine(c.reportedMessage) : "[ERROR]"),
                      c.reportedMessage ? 1 : 0)
                << after;
        }
    }

    int Read() { return Card().ReadFiles(user_, domain_, password_); }
    // `expected`: user name, domain and password joined by "/".
    void ExpectRead(int result, std::u16string_view expected) {
        EXPECT_EQ(Read(), result);
        EXPECT_EQ(std::u16string(user_) + u"/" + domain_ + u"/" + password_, expected);
    }

    size_t seen_ = 0;
    WCHAR user_[43] = {}, domain_[33] = {}, password_[101] = {};
};

TEST_F(CardCommands, WriteLoginDataMakesMissingFilesAndWritesTheUserNameLast) {
    // The user name is cleared first and written last, so that a card pulled
    // in between holds no user name.
    const std::vector<Bytes> writes = {
        Select(0), Update(0, u""),        Select(1), Update(1, u"PLANT"),
        Select(2), Update(2, u"s3cret!"), Select(0), Update(0, u"alice")};
    const std::vector<Bytes> reads = {Select(0),      ReadCommand(0), Select(1),
                                      ReadCommand(1), Select(2),      ReadCommand(2)};
    // A card without the files: a select finds none; all are deleted and made.
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    EXPECT_EQ(
        NewCommands(),
        Cat({Select(0), Delete(0), Delete(1), Delete(2), Create(0), Create(1), Create(2)}, writes));
    // Files of their sizes are read and written in place.
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    EXPECT_EQ(NewCommands(), Cat(reads, writes));
    // A read of fewer bytes than the file's size with 90 00 makes all three afresh.
    Driver().Script(0, kRead, Sw(0x9000, Bytes(10, 0)));
    ASSERT_EQ(Card().WriteLoginData(u"alice", u"PLANT", u"s3cret!"), CT_OK);
    EXPECT_EQ(NewCommands().size(), 2u + 6u + 8u);

    ExpectRead(CT_OK, u"alice/PLANT/s3cret!");
    EXPECT_EQ(NewCommands(), reads);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0) << ErrorLog();
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"s3cret!"), 0u);
}

TEST_F(CardCommands, TextsAreCutToTheirFilesWithOneReportEach) {
    // Texts that fill their files have no terminator and read back.
    const std::u16string password(50, u'\u00E9');
    ASSERT_EQ(
        Card().WriteLoginData(u"ABCDEFGHIJKLMNOPQRSTU", u"abcdefghijklmnop", password.c_str()),
        CT_OK);
    ExpectRead(CT_OK, u"ABCDEFGHIJKLMNOPQRSTU/abcdefghijklmnop/" + password);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 0);
    // Longer ones, also beyond what WriteLoginData takes, are cut.
    const std::u16string domain(40, u'd'), longPassword(300, u'p');
    ASSERT_EQ(
        Card().WriteLoginData(u"ABCDEFGHIJKLMNOPQRSTUVWXY", domain.c_str(), longPassword.c_str()),
        CT_OK);
    EXPECT_EQ(Errors(23) + Errors(22) + Errors(21), 3) << ErrorLog();
    ExpectRead(CT_OK, u"ABCDEFGHIJKLMNOPQRSTU/" + domain.substr(0, 16) + u"/" +
                          longPassword.substr(0, 50));

    // Without a user name the set is no login data; nothing of it is given.
    ASSERT_EQ(Card().WriteLoginData(nullptr, u"d", u"p"), CT_OK);
    const std::string mark = LogMark();
    ExpectRead(CT_EMPTYFILE, u"//");
    EXPECT_EQ(Count(LogSince(mark), ErrorLine(57)), 1) << LogSince(mark);
}

TEST_F(CardCommands, EachOperationMapsTheAnswersOfItsCommands) {
    ExpectMapped({{kReset, Sw(0x9001, {0x3B, 0x88, 0x80, 0x01}), CT_OK, 0},
                  {kReset, Sw(0x64A1), CT_NOCARD, 0},  // information, debug log only
                  {kReset, Sw(0x64A2), CT_NOCARD, 0},
                  {kReset, Sw(0x9000), CT_FOULCARD, 9},
                  {kReset, Failed(-10), CT_ERROR, 7},
                  {kReset, Length(1), CT_ERROR, 0}},
                 [&] { return Card().ResetCard(); });
    Card().ResetCard();
    EXPECT_EQ(NewCommands().back(), (Bytes{0x20, 0x10, 0x01, 0x01, 0x00}));

    ExpectMapped({{kSelect, Sw(0x9000), CT_OK, 0},
                  {kSelect, Sw(0x6982), CT_ERROR, 10},
                  {kSelect, Sw(0x6A82), CT_NOFILE, 11},
                  {kSelect, Sw(0x6E00), CT_WRONGVERSION, 20},
                  {kSelect, Failed(-10), CT_ERROR, 10},
                  {kSelect, Length(600), CT_ERROR, 10}},
                 [&] { return Card().SelectFile(0x5522); });

    // A card without login files; 6A 82 and a bad length are ignored.
    ExpectMapped({{kDelete, Sw(0x6A82), CT_OK, 0, 3},
                  {kDelete, Length(0), CT_OK, 0, 3},
                  {kDelete, Failed(-10), CT_ERROR, 15, 1}},
                 [&] { return Card().DeleteFiles(); });
    // An existing file stops, any other answer goes on; a failure or a bad length stops.
    ExpectMapped({{kCreate, Sw(0x6AF1), CT_FILEEXISTS, 17, 1},
                  {kCreate, Sw(0x6A84), CT_OK, 0, 3},
                  {kCreate, Failed(-10), CT_ERROR, 16, 1},
                  {kCreate, Length(1), CT_ERROR, 16, 1}},
                 [&] { return Card().CreateFiles(); });
    ASSERT_EQ(Card().DeleteFiles(), CT_OK);
    ASSERT_EQ(Card().CreateFiles(), CT_OK);
    ExpectMapped({{kUpdate, Sw(0x9000), CT_OK, 0, 8},
                  {kUpdate, Sw(0x6381), CT_OK, 0, 8},
                  {kUpdate, Sw(0x6581), CT_FILEERROR, 14, 2},
                  {kUpdate, Failed(-10), CT_ERROR, 13, 2},
                  {kUpdate, Length(1), CT_ERROR, 13, 2},
                  {kSelect, Sw(0x6A82), CT_NOFILE, 11, 1}},
                 [&] { return Card().WriteFiles(u"u", u"d", u"p"); });
    // A refused selection stops WriteLoginData before it changes anything.
    ExpectMapped({{kSelect, Sw(0x6982), CT_ERROR, 10, 1}},
                 [&] { return Card().WriteLoginData(u"u", u"d", u"p"); });
    // WriteLoginData goes on when deleting and creating fail; the first select
    // of the write finds no file.
    ASSERT_EQ(Card().DeleteFiles(), CT_OK);
    Driver().Script(0, kDelete, Failed(-10));
    Driver().Script(0, kCreate, Failed(-10));
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_NOFILE);
}

TEST_F(CardCommands, ReadFilesTakesWhat9000And6282GiveAndStopsOnFailures) {
    // No password reaches the logs when writing or reading it fails.
    const std::u16string pw = u"Tr0ub4dor&3-and-some-more-to-be-cut-at-fifty-characters";
    for (uint16_t sw : {0x9000, 0x9000, 0x6581}) {
        Driver().Script(0, kUpdate, Sw(sw));
    }
    EXPECT_EQ(Card().WriteLoginData(u"user", u"dom", pw.c_str()), CT_FILEERROR);
    ASSERT_EQ(Card().WriteLoginData(u"user", u"dom", u"pw"), CT_OK);
    Driver().Script(0, kRead, Sw(0x6282, Utf16(u"short", 10)));
    ExpectRead(CT_OK, u"short/dom/pw");
    // Any other status word leaves the item empty.
    Driver().Script(0, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(0, kRead, Sw(0x6982, Utf16(u"dom", 32)));
    ExpectRead(CT_OK, u"user//pw");
    // From a long answer no more than the file is taken: 42 bytes, 21 units.
    Driver().Script(0, kRead, Sw(0x9000, Utf16(std::u16string(249, u'B'), 498)));
    ExpectRead(CT_OK, std::u16string(21, u'B') + u"/dom/pw");

    // The password read fails: what was read stays, the password is empty.
    ASSERT_EQ(Card().WriteLoginData(u"user", u"dom", pw.c_str()), CT_OK);
    Driver().Script(0, kRead, Sw(0x9000, Utf16(u"user", 42)));
    Driver().Script(0, kRead, Sw(0x9000, Utf16(u"dom", 32)));
    Driver().Script(0, kRead, Failed(-10));
    ExpectRead(CT_ERROR, u"user/dom/");
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = -10"), 1);
    // A length beyond the buffer or without a status word: nothing is read
    // from outside the buffer (the sanitizer build checks), the item fails.
    for (uint16_t length : {uint16_t{501}, uint16_t{1}}) {
        const std::string mark = LogMark();
        Driver().Script(0, kRead, Length(length));
        ExpectRead(CT_ERROR, u"//");
        EXPECT_EQ(Count(LogSince(mark), ErrorLine(12)), 1) << length;
    }
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), pw.substr(0, 11)), 0u);
    // A missing file: the outputs are emptied, the file is reported.
    ASSERT_EQ(Card().DeleteFiles(), CT_OK);
    Driver().PutFile(0x5511, Utf16(u"user", 42));
    std::fill(std::begin(password_), std::end(password_) - 1, u'x');
    ExpectRead(CT_NOFILE, u"user//");
    EXPECT_EQ(Errors(11), 1);
}

TEST_F(CardCommands, UserNameAndDomainMayHoldAnsiText) {
    // 61 62: U+6261 is above 00FF and 61 leads no double-byte character:
    // "abc". U+4E2D first: read as the ANSI bytes "-NP". The password is
    // never converted.
    Driver().PutFile(0x5511, Padded({0x61, 0x62, 0x63}, 42));
    Driver().PutFile(0x5522, Padded({0x2D, 0x4E, 0x50, 0x00}, 32));
    Driver().PutFile(0x5533, Padded({0x2D, 0x4E}, 100));
    ExpectRead(CT_OK, u"abc/-NP/\u4E2D");
    // Two bytes are enough for the ANSI reading.
    Driver().Script(0, kRead, Sw(0x9000, {0x2D, 0x4E}));
    ExpectRead(CT_OK, u"-N/-NP/\u4E2D");

    // A lead byte of the ANSI code page keeps the UTF-16 reading.
    Driver().PutFile(0x5511, Utf16(u"\u4EB0", 42));  // bytes B0 4E
    {
        ml::test::ScopedEnv gbk("LC_ALL", "zh_CN.GBK");
        if (GetACP() != 936)
            GTEST_SKIP() << "the ANSI code page follows the locale on POSIX only";
        ExpectRead(CT_OK, u"\u4EB0/-NP/\u4E2D");
    }
    ASSERT_EQ(Read(), CT_OK);
    EXPECT_NE(std::u16string(user_), u"\u4EB0");
}

}  // namespace
}  // namespace mltest
