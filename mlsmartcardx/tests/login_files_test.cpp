// The login-file operations against the fake reader: the login record's
// layout and the legacy one, cuts, failures and cleanup.
#include <algorithm>
#include <functional>
#include <map>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Files = std::map<WORD, std::vector<BYTE>>;

std::vector<BYTE> Rec(const std::string& user, const std::string& domain,
                      const std::string& password) {
    return Record(Widen(user), Widen(domain), Widen(password));
}

// The legacy files with the zones of `record`.
Files Legacy(const std::vector<BYTE>& record) {
    Files files;
    for (WORD file : {kFileUserName, kFileDomain, kFilePassword}) {
        files[file] = Zone(record, file);
    }
    return files;
}

class LoginFilesTest : public FakeReaderTest {
  public:
    const LPCWSTR reader = u"Fake Reader 00";

    LONG Write() { return SmartCardWriteFiles(reader, u"usr", u"dom", u"pwd", 3); }
    void UseCard(Files files, cardsim::Family family = cardsim::Family::generic) {
        fake.InsertCard(family, std::move(files));
        fake.ClearSent();
    }
    Files CardFiles() { return fake.Card().image().files; }
};

TEST_F(LoginFilesTest, ReadTakesUniqueElseTheLegacyFiles) {
    const std::vector<BYTE> record = Rec("legacy.user", "DOM", "pw");
    for (const Files& files : {Legacy(record), Files{{kFileUnique, record}}}) {
        UseCard(files);
        ReadResult r = ReadCard(reader);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user + u"|" + r.domain + u"|" + r.password, u"legacy.user|DOM|pw");
        EXPECT_EQ(fake.Sent().size(), files.size() == 1 ? 3u : 8u);
        ExpectNothingOpen();
    }
    // Neither UNIQUE nor the user name: the failure, no outs, nothing more sent.
    UseCard({});
    LPWSTR untouched = reinterpret_cast<LPWSTR>(0x1), user = untouched, domain = user,
           password = user;
    DWORD capacity = 77;
    EXPECT_EQ(SmartCardReadFiles(reader, &user, &domain, &password, &capacity),
              SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(user == untouched && domain == untouched && password == untouched);
    EXPECT_EQ(capacity, 77u);
    EXPECT_EQ(fake.Sent().size(), 3u);
    // The domain file is refused: the password file is not touched.
    UseCard(Legacy(record));
    fake.Card().RefuseFile(kFileDomain, 0x6982);
    EXPECT_EQ(ReadCard(reader).rv, SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(fake.Sent().size(), 5u);
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, WriteLaysOutTheRecordAndLogsNoPassword) {
    // A surrogate pair and text beyond the length given; values longer than
    // their fields (22, 17, 51 characters: full fields carry no terminator);
    // no password at all. No password reaches the diagnostics, not even as
    // one narrowed character.
    const std::u16string password = u"Gässwörd🔑XYZ", password51(51, u'p');
    const struct {
        std::u16string user, domain;
        const char16_t* password;
        DWORD length;
    } cases[] = {
        {u"jdoe", u"CORP", password.c_str(), 10},
        {u"abcdefghijklmnopqrstuv", u"ABCDEFGHIJKLMNOPQ", password51.c_str(), 51},
        {u"u", u"d", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user.begin(), c.user.end()));
        DiagnosticCollector diag;
        UseCard({{kFileUnique, std::vector<BYTE>(240, 0xCC)}});
        ASSERT_EQ(
            SmartCardWriteFiles(reader, c.user.c_str(), c.domain.c_str(), c.password, c.length),
            SCARD_S_SUCCESS);
        const std::u16string written(c.password == nullptr ? u"" : c.password, c.length);
        EXPECT_EQ(fake.Card().FileData(kFileUnique), Record(c.user, c.domain, written));
        ReadResult r = ReadCard(reader);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, c.user.substr(0, 21));
        EXPECT_EQ(r.domain, c.domain.substr(0, 16));
        EXPECT_EQ(r.password, written.substr(0, 50));
        EXPECT_FALSE(diag.AnyContains("G"));
        ExpectNothingOpen();
    }
    // A length without a password is refused before the card is touched.
    fake.ClearSent();
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", nullptr, 3), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(fake.Sent().empty());
}

TEST_F(LoginFilesTest, StoreUpdatesAFittingRecordInPlaceElseMakesTheFilesAfresh) {
    const std::vector<BYTE> old = Rec("old", "D", "p"), fresh = Rec("new", "PLANT", "s3cret");
    const struct {
        Files files;
        size_t sent;  // 4 in place; afresh: 5 deletes, 2 creates, 3 writes
    } cases[] = {
        {{{kFileUnique, old}}, 4},
        {{{kFileUnique, std::vector<BYTE>(200, 0x41)}}, 13},
        {Legacy(old), 12},
        {{}, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        UseCard(c.files);
        ASSERT_EQ(SmartCardStoreFiles(reader, u"new", u"PLANT", u"s3cret", 6), SCARD_S_SUCCESS);
        EXPECT_EQ(CardFiles(), (Files{{kFileUnique, fresh}}));
        const Apdus sent = fake.SentBytes();
        EXPECT_EQ(sent.size(), c.sent);
        // Afresh: the legacy user name goes first.
        const auto del =
            std::find_if(sent.begin(), sent.end(), [](auto& a) { return a[1] == 0xE4; });
        EXPECT_TRUE(del == sent.end() ? c.sent == 4 : *del == Hex("00 E4 00 0C 02 55 11"));
        ExpectNothingOpen();
    }
}

TEST_F(LoginFilesTest, ARecordWithoutUserNameOrAShortFileIsNoLoginData) {
    std::vector<BYTE> noUser = Rec("", "PLANT", "pw"), lateUser = Rec("", "d", "p"),
                      shortUnique = Rec("u", "d", "p");
    lateUser[kUserNameOffset + 2] = 'x';  // after the first zero unit: not read
    shortUnique.resize(200);
    const Files cases[] = {
        {{kFileUnique, noUser}},
        {{kFileUnique, lateUser}},
        {{kFileUnique, shortUnique}},
        Legacy(noUser),
        {{kFileUserName, Zone(Rec("u", "", ""), kFileUserName)},
         {kFileDomain, std::vector<BYTE>(32, 0)},
         {kFilePassword, std::vector<BYTE>(60, 0x41)}},
    };
    for (const Files& files : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&files - cases));
        UseCard(files);
        EXPECT_EQ(ReadCard(reader).rv, kSmartCardNoLoginData);
        ExpectNothingOpen();
    }
    // A user name alone is complete: an empty password reads as before.
    UseCard({{kFileUnique, Rec("u", "", "")}});
    ReadResult r = ReadCard(reader);
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.password, u"");
}

TEST_F(LoginFilesTest, LegacyWriteGoesPasswordDomainUserNameAndStopsAtAFailure) {
    UseCard(Legacy(std::vector<BYTE>(240, 0xEE)), cardsim::Family::tcos12);
    ASSERT_EQ(Write(), SCARD_S_SUCCESS);
    const Apdus sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 9u);  // identification, selectMF, UNIQUE, 3 x select + update
    EXPECT_EQ(std::vector<BYTE>({sent[3][6], sent[5][6], sent[7][6]}), Hex("33 22 11"));
    EXPECT_EQ(CardFiles(), Legacy(Rec("usr", "dom", "pwd")));

    UseCard(Legacy(std::vector<BYTE>(240, 0xEE)));
    fake.Card().RefuseFile(kFileDomain, 0x6985);
    EXPECT_EQ(Write(), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(CardFiles()[kFilePassword][0], 'p');   // written
    EXPECT_EQ(CardFiles()[kFileUserName][0], 0xEE);  // never reached
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, CreateAndDelete) {
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Card().FileData(kFileUnique)->size(), 240u);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // 6A89: exists

    // TCOS: no identifier file, selectMF, create, create again (6A89: ignored);
    // when the first create fails, that is the result and no second follows.
    for (WORD first : {0x9000, 0x6A84}) {
        UseCard({}, cardsim::Family::tcos12);
        for (int sw : {0x6A82, 0x9000, int(first), first == 0x9000 ? 0x6A89 : 0x9000}) {
            fake.ReplySw(sw);
        }
        EXPECT_EQ(SmartCardCreateFiles(reader),
                  first == 0x9000 ? SCARD_S_SUCCESS : SCARD_E_NO_MEMORY);
        const Apdus sent = fake.SentBytes();
        ASSERT_EQ(sent.size(), first == 0x9000 ? 4u : 3u);
        EXPECT_EQ(sent.back(), sent[2]);
    }

    // All four files are deleted; UNIQUE decides.
    UseCard({{kFileUnique, std::vector<BYTE>(240, 0)}});
    EXPECT_EQ(SmartCardDeleteFiles(reader), SCARD_S_SUCCESS);  // legacy files absent
    EXPECT_EQ(fake.Sent().size(), 5u);
    UseCard(Legacy(std::vector<BYTE>(240, 0)));
    EXPECT_EQ(SmartCardDeleteFiles(reader), SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(CardFiles().empty());
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, PinIsVerifiedAfterTheMasterFileAndNeverLogged) {
    UseCard({{kFileUnique, Rec("a", "b", "c")}});
    fake.Card().SetPin(Hex("6B 37 5A 71"));
    DiagnosticCollector diag;
    ASSERT_EQ(ReadCard(reader, "k7Zq").rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes()[1], Hex("00 20 00 01 04 6B 37 5A 71"));
    // A wrong PIN ends the operation with the card's answer.
    fake.ClearSent();
    EXPECT_EQ(SmartCardDeleteFiles(reader, "wxyv"), SCARD_E_UNEXPECTED);  // 63C2
    EXPECT_EQ(fake.Sent().size(), 2u);
    EXPECT_EQ(CardFiles().count(kFileUnique), 1u);
    // A PIN that cannot be sent in one command is refused without sending it.
    fake.ClearSent();
    EXPECT_EQ(SmartCardCreateFiles(reader, std::string(256, '9').c_str()),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(fake.Sent().size(), 1u);
    ExpectNothingOpen();
    EXPECT_FALSE(diag.AnyContains("k7Zq") || diag.AnyContains("wxyv"));
}

TEST_F(LoginFilesTest, FailuresAroundTheBodyLeaveNothingOpen) {
    // A refused master file ends every operation after one command.
    const std::function<LONG()> ops[] = {
        [&] { return SmartCardCreateFiles(reader); },
        [&] { return SmartCardDeleteFiles(reader); },
        [&] { return ReadCard(reader).rv; },
        [&] { return Write(); },
    };
    for (const auto& op : ops) {
        fake.ClearSent();
        fake.ReplySw(0x6A86);
        EXPECT_EQ(op(), SCARD_E_INVALID_VALUE);
        EXPECT_EQ(fake.Sent().size(), 1u);
        ExpectNothingOpen();
    }
    // A failed disconnect fails an otherwise successful operation.
    UseCard({{kFileUnique, Rec("a", "b", "c")}});
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    EXPECT_EQ(ReadCard(reader).rv, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(Write(), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // the body's own failure wins
    EXPECT_EQ(fake.OpenContexts(), 0);
    // Failed connects are returned as they are.
    fake.disconnectResult = SCARD_S_SUCCESS;
    fake.RemoveCard();
    EXPECT_EQ(ReadCard(reader).rv, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(Write(), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardDeleteFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    ExpectNothingOpen();
    EXPECT_EQ(SmartCardReadFiles(reader, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace mltest
