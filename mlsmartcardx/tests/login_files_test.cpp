// The login-file operations against the fake reader: the APDU sequences, the
// login record's layout, the legacy layout, cuts, failures and cleanup.
#include <algorithm>
#include <functional>
#include <map>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Files = std::map<WORD, std::vector<BYTE>>;

std::vector<BYTE> Record(const std::string& user, const std::string& domain,
                         const std::string& password) {
    return mltest::Record(Widen(user), Widen(domain), Widen(password));
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

    ReadResult Read(LPCSTR pin = nullptr) { return ReadCard(reader, pin); }
    LONG Write(LPCWSTR user = u"usr", LPCWSTR domain = u"dom") {
        return SmartCardWriteFiles(reader, user, domain, u"pwd", 3);
    }
    void UseCard(Files files, cardsim::Family family = cardsim::Family::generic) {
        fake.InsertCard(family, std::move(files));
        fake.ClearSent();
    }
    Files CardFiles() { return fake.Card().image().files; }
};

TEST_F(LoginFilesTest, ReadTakesUniqueInOneGoElseTheLegacyFiles) {
    const std::vector<BYTE> record = Record("legacy.user", "DOM", "pw");
    for (const Files& files : {Legacy(record), Files{{kFileUnique, record}}}) {
        UseCard(files);
        ReadResult r = Read();
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, u"legacy.user");
        EXPECT_EQ(r.domain, u"DOM");
        EXPECT_EQ(r.password, u"pw");
        EXPECT_EQ(r.capacity, 50u);
        EXPECT_TRUE(r.terminated);
        ExpectNothingOpen();
        Apdus sent{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44")};
        if (files.contains(kFileUnique)) {
            sent.push_back(Hex("00 B0 00 00 F0"));
        } else {
            for (const char* file :
                 {"11 00 B0 00 00 2A", "22 00 B0 00 00 20", "33 00 B0 00 00 64"}) {
                const std::vector<BYTE> bytes = Hex(file);
                sent.push_back(Concat(Hex("00 A4 02 0C 02 55"), {bytes[0]}));
                sent.emplace_back(bytes.begin() + 1, bytes.end());
            }
        }
        EXPECT_EQ(fake.SentBytes(), sent);
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
    EXPECT_EQ(Read().rv, SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(fake.Sent().size(), 5u);
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, WriteLaysOutTheRecord) {
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
        const std::vector<BYTE> record = mltest::Record(c.user, c.domain, written);
        EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                           Concat(Hex("00 D6 00 00 F0"), record)}));
        EXPECT_EQ(fake.Card().FileData(kFileUnique), record);
        ReadResult r = Read();
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, c.user.substr(0, 21));
        EXPECT_EQ(r.domain, c.domain.substr(0, 16));
        EXPECT_EQ(r.password, written.substr(0, 50));
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
        Files files;
        bool inPlace;
    } cases[] = {
        {{{kFileUnique, old}}, true},
        {{{kFileUnique, std::vector<BYTE>(200, 0x41)}}, false},
        {Legacy(old), false},
        {{}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        UseCard(c.files);
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
    const Files cases[] = {
        {{kFileUnique, std::vector<BYTE>(240, 0)}},
        {{kFileUnique, noUser}},
        {{kFileUnique, lateUser}},
        {{kFileUnique, shortUnique}},
        Legacy(noUser),
        {{kFileUserName, Zone(Record("u", "", ""), kFileUserName)},
         {kFileDomain, std::vector<BYTE>(32, 0)},
         {kFilePassword, std::vector<BYTE>(60, 0x41)}},
    };
    for (const Files& files : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&files - cases));
        UseCard(files);
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

TEST_F(LoginFilesTest, LegacyWriteGoesPasswordDomainUserNameAndStopsAtAFailure) {
    Files files = Legacy(std::vector<BYTE>(240, 0xEE));
    files[0x5A49].assign(10, 0x01);
    UseCard(files, cardsim::Family::tcos12);
    ASSERT_EQ(Write(), SCARD_S_SUCCESS);
    Apdus sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 10u);  // 2 identification, selectMF, UNIQUE, 3 x select + update
    EXPECT_EQ(sent[3], Hex("B0 A4 02 0C 02 55 44"));
    const std::vector<BYTE> record = Record("usr", "dom", "pwd");
    int i = 4;
    for (WORD file : {kFilePassword, kFileDomain, kFileUserName}) {
        const std::vector<BYTE> zone = Zone(record, file);
        EXPECT_EQ(sent[i++], Hex("B0 A4 02 0C 02 55 " + HexOf({BYTE(file)})));
        EXPECT_EQ(sent[i++], Concat(Hex("B0 D6 00 00"), Concat({BYTE(zone.size())}, zone)));
        EXPECT_EQ(fake.Card().FileData(file), zone);
    }

    UseCard(Legacy(std::vector<BYTE>(240, 0xEE)));
    fake.Card().RefuseFile(kFileDomain, 0x6985);
    EXPECT_EQ(Write(), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(CardFiles()[kFilePassword][0], 'p');   // written
    EXPECT_EQ(CardFiles()[kFileUserName][0], 0xEE);  // never reached
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, CreateAndDelete) {
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(),
              (Apdus{Hex("00 A4 00 00 02 3F 00"),
                     Hex("00 E0 00 00 17 62 15 81 01 F0 82 01 01 83 02 55 44 8A 01 01 8C 06 67 00 "
                         "00 00 00 00")}));
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // 6A89: exists

    // TCOS: no identifier file, selectMF, create, create again (6A89: ignored);
    // when the first create fails, that is the result and no second follows.
    for (WORD second : {0x9000, 0x6A84}) {
        UseCard({}, cardsim::Family::tcos12);
        for (WORD sw : {WORD(0x6A82), WORD(0x9000), second}) {
            fake.ReplySw(sw);
        }
        if (second == 0x9000) {
            fake.ReplySw(0x6A89);
        }
        EXPECT_EQ(SmartCardCreateFiles(reader),
                  second == 0x9000 ? SCARD_S_SUCCESS : SCARD_E_NO_MEMORY);
        const Apdus sent = fake.SentBytes();
        ASSERT_EQ(sent.size(), second == 0x9000 ? 4u : 3u);
        EXPECT_EQ(sent[2], Hex("B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 F0"));
        EXPECT_EQ(sent.back(), sent[2]);
    }

    // All four files are deleted, the legacy user name first; UNIQUE decides.
    UseCard({{kFileUnique, std::vector<BYTE>(240, 0)}});
    ASSERT_EQ(SmartCardDeleteFiles(reader), SCARD_S_SUCCESS);  // legacy files absent
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 E4 00 0C 02 55 11"),
                                       Hex("00 E4 00 0C 02 55 22"), Hex("00 E4 00 0C 02 55 33"),
                                       Hex("00 E4 00 0C 02 55 44")}));
    UseCard(Legacy(std::vector<BYTE>(240, 0)));
    EXPECT_EQ(SmartCardDeleteFiles(reader), SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(CardFiles().empty());
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, PinIsVerifiedAfterTheMasterFileAndNeverLogged) {
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
    // A PIN that cannot be sent in one command is refused without sending it.
    fake.ClearSent();
    EXPECT_EQ(SmartCardCreateFiles(reader, std::string(256, '9').c_str()),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(fake.Sent().size(), 1u);
    ExpectNothingOpen();
    EXPECT_FALSE(diag.AnyContains("k7Zq"));
    EXPECT_FALSE(diag.AnyContains("wxyv"));
}

TEST_F(LoginFilesTest, FailuresAroundTheBodyLeaveNothingOpen) {
    // A refused master file ends every operation after one command.
    const std::function<LONG()> ops[] = {
        [&] { return SmartCardCreateFiles(reader); },
        [&] { return SmartCardDeleteFiles(reader); },
        [&] { return Read().rv; },
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
    UseCard({{kFileUnique, Record("a", "b", "c")}});
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    EXPECT_EQ(Read().rv, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(Write(), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // the body's own failure wins
    EXPECT_EQ(fake.OpenContexts(), 0);
    // Failed connects are returned as they are.
    fake.disconnectResult = SCARD_S_SUCCESS;
    fake.RemoveCard();
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(Write(), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardDeleteFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    ExpectNothingOpen();
    EXPECT_EQ(SmartCardReadFiles(reader, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace mltest
