// The login-file operations against the fake reader: the APDU sequences, the
// login record's layout, the legacy layout, cuts, failures and cleanup.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Files = std::map<WORD, std::vector<BYTE>>;

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

    ReadResult Read(LPCSTR pin = nullptr) { return ReadCard(reader, pin); }
    // A card of `family` holding `files`.
    void UseCard(Files files, cardsim::Family family = cardsim::Family::generic,
                 DWORD protocol = SCARD_PROTOCOL_T1) {
        fake.InsertCard(family, std::move(files), protocol);
    }
    Files CardFiles() { return fake.Card().image().files; }
};

std::vector<BYTE> Record(const std::string& user, const std::string& domain,
                         const std::string& password) {
    return mltest::Record(Widen(user), Widen(domain), Widen(password));
}

TEST_F(LoginFilesTest, UniqueIsReadInOneGoElseTheLegacyFiles) {
    const std::vector<BYTE> record = Record("legacy.user", "DOM", "pw");
    UseCard(Legacy(record));
    ReadResult legacy = Read();
    ASSERT_EQ(legacy.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                       Hex("00 A4 02 0C 02 55 11"), Hex("00 B0 00 00 2A"),
                                       Hex("00 A4 02 0C 02 55 22"), Hex("00 B0 00 00 20"),
                                       Hex("00 A4 02 0C 02 55 33"), Hex("00 B0 00 00 64")}));
    EXPECT_EQ(legacy.user, u"legacy.user");
    EXPECT_EQ(legacy.domain, u"DOM");
    EXPECT_EQ(legacy.password, u"pw");

    // The same data in UNIQUE: one read of 240 bytes, the same outs.
    UseCard({{kFileUnique, record}});
    fake.ClearSent();
    ReadResult unique = Read();
    ASSERT_EQ(unique.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                       Hex("00 B0 00 00 F0")}));
    EXPECT_EQ(legacy.user, unique.user);
    EXPECT_EQ(legacy.domain, unique.domain);
    EXPECT_EQ(legacy.password, unique.password);
    EXPECT_EQ(unique.capacity, 50u);
    EXPECT_EQ(legacy.capacity, 50u);
    EXPECT_TRUE(unique.terminated && legacy.terminated);
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, LegacyReadStopsAtTheFirstFailure) {
    // 6A82 on UNIQUE and on USERNAME: file not found, no outs, nothing more sent.
    DiagnosticCollector diag;
    fake.ReplySw(0x9000);
    fake.ReplySw(0x6A82);
    fake.ReplySw(0x6A82);
    LPWSTR untouched = reinterpret_cast<LPWSTR>(0x1), user = untouched, domain = user,
           password = user;
    DWORD capacity = 77;
    EXPECT_EQ(SmartCardReadFiles(reader, &user, &domain, &password, &capacity),
              SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(user == untouched && domain == untouched && password == untouched);
    EXPECT_EQ(capacity, 77u);
    EXPECT_EQ(fake.Sent().size(), 3u);
    EXPECT_TRUE(diag.Contains("selectEF(UNIQUE) failed lRet: 80100024\n"));
    EXPECT_TRUE(diag.Contains("selectEF(USERNAME) failed lRet: 80100024\n"));
    ExpectNothingOpen();

    // The domain file is refused: the password file is not touched.
    fake.ClearSent();
    UseCard(Legacy(Record("A", "B", "C")));
    fake.Card().RefuseFile(kFileDomain, 0x6982);
    EXPECT_EQ(Read().rv, SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(fake.Sent().size(), 5u);
    EXPECT_TRUE(diag.Contains("selectEF(DOMAIN) failed lRet: 8010006a\n"));
}

TEST_F(LoginFilesTest, WriteLaysOutTheRecord) {
    // A surrogate pair and text beyond the length given; values longer than
    // their fields (22, 17, 51 characters: full fields carry no terminator);
    // no password at all. No password reaches the diagnostics, not even as
    // one narrowed character.
    const std::u16string password = u"Gässwörd🔑XYZ", user22 = u"abcdefghijklmnopqrstuv",
                         domain17 = u"ABCDEFGHIJKLMNOPQ", password51(51, u'p');
    const struct {
        std::u16string user, domain;
        const char16_t* password;
        DWORD length;
        std::vector<std::string> diagnostics;
    } cases[] = {
        {u"jdoe", u"CORP", password.c_str(), 10, {}},
        {user22,
         domain17,
         password51.c_str(),
         51,
         {"wrong user name length: 44\n", "wrong domain name length: 34\n",
          "wrong password length: 102\n"}},
        {u"u", u"d", nullptr, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user.begin(), c.user.end()));
        DiagnosticCollector diag;
        UseCard({{kFileUnique, std::vector<BYTE>(240, 0xCC)}});
        fake.ClearSent();
        ASSERT_EQ(
            SmartCardWriteFiles(reader, c.user.c_str(), c.domain.c_str(), c.password, c.length),
            SCARD_S_SUCCESS);
        const std::u16string written(c.password == nullptr ? u"" : c.password, c.length);
        const std::vector<BYTE> record = mltest::Record(c.user, c.domain, written);
        EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                           Concat(Hex("00 D6 00 00 F0"), record)}));
        EXPECT_EQ(fake.Card().FileData(kFileUnique), record);
        for (const std::string& text : c.diagnostics) {
            EXPECT_TRUE(diag.Contains(text)) << text;
        }
        ReadResult r = Read();
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, c.user.substr(0, 21));
        EXPECT_EQ(r.domain, c.domain.substr(0, 16));
        EXPECT_EQ(r.password, written.substr(0, 50));
        EXPECT_EQ(r.capacity, 50u);
        EXPECT_TRUE(r.terminated);
        EXPECT_FALSE(diag.AnyContains("G"));
        ExpectNothingOpen();
    }
    // A length without a password is refused before the card is touched.
    fake.ClearSent();
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", nullptr, 3), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(fake.Sent().empty());
}

TEST_F(LoginFilesTest, StoreUpdatesAFittingRecordInPlaceElseMakesTheFilesAfresh) {
    const std::vector<BYTE> old = Record("old", "D", "p");
    const std::vector<BYTE> fresh = Record("new", "PLANT", "s3cret");
    const struct {
        const char* name;
        Files files;
        bool inPlace;
    } cases[] = {
        {"UNIQUE of 240 bytes", {{kFileUnique, old}}, true},
        {"UNIQUE of 200 bytes", {{kFileUnique, std::vector<BYTE>(200, 0x41)}}, false},
        {"legacy files", Legacy(old), false},
        {"no files", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseCard(c.files);
        fake.ClearSent();
        ASSERT_EQ(SmartCardStoreFiles(reader, u"new", u"PLANT", u"s3cret", 6), SCARD_S_SUCCESS);
        EXPECT_EQ(CardFiles(), (Files{{kFileUnique, fresh}}));
        const Apdus sent = fake.SentBytes();
        ASSERT_GE(sent.size(), 4u);
        EXPECT_EQ(sent.back(), Concat(Hex("00 D6 00 00 F0"), fresh)) << "one update of the record";
        if (c.inPlace) {
            EXPECT_EQ(sent, (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                   Hex("00 B0 00 00 F0"), sent.back()}));
        } else {
            // Afresh: the legacy user name goes first, UNIQUE is made last.
            const auto first =
                std::find_if(sent.begin(), sent.end(), [](const auto& a) { return a[1] == 0xE4; });
            ASSERT_NE(first, sent.end());
            EXPECT_EQ(*first, Hex("00 E4 00 0C 02 55 11"));
            EXPECT_EQ(
                std::count_if(sent.begin(), sent.end(), [](const auto& a) { return a[1] == 0xE0; }),
                1);
        }
        ExpectNothingOpen();
    }
}

TEST_F(LoginFilesTest, ARecordWithoutUserNameOrAShortFileIsNoLoginData) {
    std::vector<BYTE> noUser = Record("", "PLANT", "pw");
    std::vector<BYTE> lateUser = Record("", "d", "p");
    lateUser[kUserNameOffset + 2] = 'x';  // after the first zero unit: not read
    std::vector<BYTE> shortUnique = Record("u", "d", "p");
    shortUnique.resize(200);
    const struct {
        const char* name;
        Files files;
    } cases[] = {
        {"UNIQUE all zero", {{kFileUnique, std::vector<BYTE>(240, 0)}}},
        {"UNIQUE without user name", {{kFileUnique, noUser}}},
        {"UNIQUE with a zero first unit", {{kFileUnique, lateUser}}},
        {"UNIQUE of 200 bytes", {{kFileUnique, shortUnique}}},
        {"legacy user name empty",
         {{kFileUserName, std::vector<BYTE>(42, 0)},
          {kFileDomain, Zone(noUser, kFileDomain)},
          {kFilePassword, Zone(noUser, kFilePassword)}}},
        {"legacy password short",
         {{kFileUserName, Zone(Record("u", "", ""), kFileUserName)},
          {kFileDomain, std::vector<BYTE>(32, 0)},
          {kFilePassword, std::vector<BYTE>(60, 0x41)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseCard(c.files);
        ReadResult r = Read();
        EXPECT_EQ(r.rv, kSmartCardNoLoginData);
        EXPECT_FALSE(r.handedOut);
        ExpectNothingOpen();
    }
    // A user name alone is complete: an empty password reads as before.
    UseCard({{kFileUnique, Record("u", "", "")}});
    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.password, u"");
}

TEST_F(LoginFilesTest, LegacyWriteGoesPasswordDomainUserName) {
    Files files = Legacy(std::vector<BYTE>(240, 0xEE));
    files[0x5A49].assign(10, 0x01);
    UseCard(files, cardsim::Family::tcos12, SCARD_PROTOCOL_T0);
    ASSERT_EQ(SmartCardWriteFiles(reader, u"usr", u"dom", u"pwd", 3), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 10u);  // 2 identification, selectMF, UNIQUE, 3 x select + update
    EXPECT_EQ(sent[2], Hex("00 A4 00 00"));
    EXPECT_EQ(sent[3], Hex("B0 A4 02 0C 02 55 44"));
    const char* order[][2] = {{"B0 A4 02 0C 02 55 33", "B0 D6 00 00 64"},
                              {"B0 A4 02 0C 02 55 22", "B0 D6 00 00 20"},
                              {"B0 A4 02 0C 02 55 11", "B0 D6 00 00 2A"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[4 + 2 * i], Hex(order[i][0]));
        const std::vector<BYTE> header = Hex(order[i][1]);
        EXPECT_EQ(std::vector<BYTE>(sent[5 + 2 * i].begin(), sent[5 + 2 * i].begin() + 5), header);
        EXPECT_EQ(sent[5 + 2 * i].size(), 5u + header[4]);
    }
    const std::vector<BYTE> record = Record("usr", "dom", "pwd");
    for (WORD file : {kFileUserName, kFileDomain, kFilePassword}) {
        EXPECT_EQ(fake.Card().FileData(file), Zone(record, file)) << file;
    }
    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"usr");
    EXPECT_EQ(r.domain, u"dom");
    EXPECT_EQ(r.password, u"pwd");
}

TEST_F(LoginFilesTest, LegacyWriteStopsAtTheFirstFailureAndKeepsWhatWasWritten) {
    DiagnosticCollector diag;
    UseCard(Legacy(std::vector<BYTE>(240, 0xEE)));
    fake.Card().RefuseFile(kFileDomain, 0x6985);
    EXPECT_EQ(SmartCardWriteFiles(reader, u"usr", u"dom", u"pwd", 3), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(CardFiles()[kFilePassword][0], 'p');   // written
    EXPECT_EQ(CardFiles()[kFileUserName][0], 0xEE);  // never reached
    EXPECT_TRUE(diag.Contains("selectEF(Domain) failed lRet: 80100022\n"));
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, CreateSendsTheTemplateOnceOrTwiceOnTcos) {
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(),
              (Apdus{Hex("00 A4 00 00 02 3F 00"),
                     Hex("00 E0 00 00 17 62 15 81 01 F0 82 01 01 83 02 55 44 8A 01 01 8C 06 67 00 "
                         "00 00 00 00")}));

    // TCOS: no identifier file, selectMF, create, create again (6A89: exists, ignored).
    fake.InsertCard(cardsim::Family::tcos12);
    fake.ClearSent();
    for (WORD sw : {0x6A82, 0x9000, 0x9000, 0x6A89}) {
        fake.ReplySw(sw);
    }
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2], Hex("B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 F0"));
    EXPECT_EQ(sent[3], sent[2]);
    // When the first create fails, that is the result and no second follows.
    fake.ClearSent();
    for (WORD sw : {0x6A82, 0x9000, 0x6A84}) {
        fake.ReplySw(sw);
    }
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_NO_MEMORY);
    EXPECT_EQ(fake.Sent().size(), 3u);

    // Other cards that have UNIQUE return the refusal (6A89).
    UseCard({{kFileUnique, std::vector<BYTE>(240, 0)}});
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, DeleteRemovesAllFourUniqueDecides) {
    UseCard({{kFileUnique, std::vector<BYTE>(240, 0)}});
    ASSERT_EQ(SmartCardDeleteFiles(reader), SCARD_S_SUCCESS);  // legacy files absent
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 E4 00 0C 02 55 11"),
                                       Hex("00 E4 00 0C 02 55 22"), Hex("00 E4 00 0C 02 55 33"),
                                       Hex("00 E4 00 0C 02 55 44")}));
    EXPECT_TRUE(CardFiles().empty());

    // Legacy files only: all deleted, yet file not found.
    UseCard(Legacy(std::vector<BYTE>(240, 0)));
    EXPECT_EQ(SmartCardDeleteFiles(reader), SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(CardFiles().empty());
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, FailedSelectOfTheMasterFileEndsEveryOperation) {
    const std::function<LONG()> ops[] = {
        [&] { return SmartCardCreateFiles(reader); },
        [&] { return SmartCardDeleteFiles(reader); },
        [&] { return Read().rv; },
        [&] { return SmartCardWriteFiles(reader, u"u", u"d", u"p", 1); },
    };
    for (const auto& op : ops) {
        fake.ClearSent();
        fake.ReplySw(0x6A86);
        EXPECT_EQ(op(), SCARD_E_INVALID_VALUE);
        EXPECT_EQ(fake.Sent().size(), 1u);
        ExpectNothingOpen();
    }
}

TEST_F(LoginFilesTest, PinIsVerifiedAfterTheMasterFile) {
    UseCard({{kFileUnique, Record("a", "b", "c")}});
    fake.Card().SetPin(Hex("6B 37 5A 71"));
    DiagnosticCollector diag;
    ASSERT_EQ(Read("k7Zq").rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes()[1], Hex("00 20 00 01 04 6B 37 5A 71"));

    // A wrong PIN ends the operation with the card's answer.
    fake.ClearSent();
    EXPECT_EQ(SmartCardDeleteFiles(reader, "wxyv"), SCARD_E_UNEXPECTED);  // 63C2
    EXPECT_EQ(fake.Sent().size(), 2u);
    EXPECT_EQ(CardFiles().count(kFileUnique), 1u);
    EXPECT_TRUE(diag.Contains("verifyPIN() failed lRet: 8010001f\n"));

    // A PIN that cannot be sent in one command is refused without sending it.
    fake.ClearSent();
    std::string longPin(256, '9');
    EXPECT_EQ(SmartCardCreateFiles(reader, longPin.c_str()), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(fake.Sent().size(), 1u);
    ExpectNothingOpen();
    // Neither PIN reached the diagnostics.
    EXPECT_FALSE(diag.AnyContains("k7Zq"));
    EXPECT_FALSE(diag.AnyContains("wxyv"));
}

TEST_F(LoginFilesTest, FailuresAroundTheBodyLeaveNothingOpen) {
    // A failed disconnect fails an otherwise successful operation.
    UseCard({{kFileUnique, Record("a", "b", "c")}});
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    ReadResult r = Read();
    EXPECT_EQ(r.rv, SCARD_E_INVALID_HANDLE);
    EXPECT_FALSE(r.handedOut);
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // the body's own failure wins
    EXPECT_EQ(fake.OpenContexts(), 0);

    // Failed connects are returned as they are.
    fake.disconnectResult = SCARD_S_SUCCESS;
    fake.RemoveCard();
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardCreateFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SmartCardDeleteFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    ExpectNothingOpen();
    EXPECT_EQ(SmartCardReadFiles(reader, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace mltest
