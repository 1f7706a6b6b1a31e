// The login-file operations against the fake reader: the APDU sequences, the
// login record's layout, the legacy layout, cuts, failures and cleanup.
#include <cstdlib>
#include <cstring>
#include <functional>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Apdus = std::vector<std::vector<BYTE>>;

// The strings a successful read handed out; frees them.
struct ReadResult {
    LONG rv = 0;
    std::u16string user, domain, password;
    DWORD capacity = 0;
    bool handedOut = false;
    // Whether each buffer ended with its guaranteed zeros (index 21, 16, 50).
    bool terminated = false;
};

class LoginFilesTest : public FakeReaderTest {
  public:
    const LPCWSTR reader = u"Fake Reader 00";

    ReadResult Read(LPCSTR pin = nullptr) {
        ReadResult r;
        LPWSTR user = nullptr, domain = nullptr, password = nullptr;
        r.rv = SmartCardReadFiles(reader, &user, &domain, &password, &r.capacity, pin);
        if (user != nullptr && domain != nullptr && password != nullptr) {
            r.handedOut = true;
            r.user = user;
            r.domain = domain;
            r.password = password;
            r.terminated = user[21] == 0 && user[22] == 0 && domain[16] == 0 && domain[17] == 0 &&
                           password[50] == 0 && password[51] == 0;
        }
        std::free(user);
        std::free(domain);
        std::free(password);
        return r;
    }

    // A card of `variant` (by its ATR) answered by `card`.
    void UseMemoryCard(DWORD variant, DWORD protocol = SCARD_PROTOCOL_T1) {
        std::vector<BYTE> atr = variant == kCardVariantTcos12    ? Tcos12Atr()
                                : variant == kCardVariantClass80 ? Class80Atr()
                                                                 : GenericAtr();
        fake.InsertCard(atr, protocol);
        fake.SetResponder(std::ref(card));
    }

    void ExpectNothingOpen() {
        EXPECT_EQ(fake.OpenContexts(), 0);
        EXPECT_EQ(fake.OpenCards(), 0);
    }

    MemoryCard card;
};

// The 240-byte record of three ASCII values.
std::vector<BYTE> Record(const std::string& user, const std::string& domain,
                         const std::string& password) {
    std::vector<BYTE> record(240, 0);
    auto put = [&](size_t offset, const std::string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            record[offset + 2 * i] = static_cast<BYTE>(text[i]);
        }
    };
    put(8, user);
    put(80, domain);
    put(136, password);
    return record;
}

TEST_F(LoginFilesTest, ReadOfUniqueIsOneReadOf240Bytes) {
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    fake.ReplyData(Record("operator1", "PLANT", "s3cret"), 0x9000);
    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                       Hex("00 B0 00 00 F0")}));
    EXPECT_EQ(r.user, u"operator1");
    EXPECT_EQ(r.domain, u"PLANT");
    EXPECT_EQ(r.password, u"s3cret");
    EXPECT_EQ(r.capacity, 50u);
    EXPECT_TRUE(r.terminated);
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, LegacyFilesAreReadWhenUniqueIsMissing) {
    UseMemoryCard(kCardVariantGeneric);
    std::vector<BYTE> record = Record("legacy.user", "DOM", "pw");
    card.files[0x5511].assign(record.begin() + 8, record.begin() + 50);
    card.files[0x5522].assign(record.begin() + 80, record.begin() + 112);
    card.files[0x5533].assign(record.begin() + 136, record.begin() + 236);
    ReadResult legacy = Read();
    ASSERT_EQ(legacy.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 A4 02 0C 02 55 44"),
                                       Hex("00 A4 02 0C 02 55 11"), Hex("00 B0 00 00 2A"),
                                       Hex("00 A4 02 0C 02 55 22"), Hex("00 B0 00 00 20"),
                                       Hex("00 A4 02 0C 02 55 33"), Hex("00 B0 00 00 64")}));

    // The same data in UNIQUE gives the same outs.
    card.files[0x5544] = record;
    ReadResult unique = Read();
    ASSERT_EQ(unique.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(legacy.user, u"legacy.user");
    EXPECT_EQ(legacy.user, unique.user);
    EXPECT_EQ(legacy.domain, unique.domain);
    EXPECT_EQ(legacy.password, unique.password);
    EXPECT_EQ(legacy.capacity, unique.capacity);
}

TEST_F(LoginFilesTest, LegacyReadStopsAtTheFirstFailure) {
    // 6A82 on UNIQUE and on USERNAME: file not found, no outs, nothing more sent.
    DiagnosticCollector diag;
    fake.ReplySw(0x9000);
    fake.ReplySw(0x6A82);
    fake.ReplySw(0x6A82);
    LPWSTR user = reinterpret_cast<LPWSTR>(0x1), domain = user, password = user;
    DWORD capacity = 77;
    EXPECT_EQ(SmartCardReadFiles(reader, &user, &domain, &password, &capacity),
              SCARD_E_FILE_NOT_FOUND);
    EXPECT_EQ(user, reinterpret_cast<LPWSTR>(0x1));
    EXPECT_EQ(domain, reinterpret_cast<LPWSTR>(0x1));
    EXPECT_EQ(password, reinterpret_cast<LPWSTR>(0x1));
    EXPECT_EQ(capacity, 77u);
    EXPECT_EQ(fake.Sent().size(), 3u);
    EXPECT_TRUE(diag.Contains("selectEF(UNIQUE) failed lRet: 80100024\n"));
    EXPECT_TRUE(diag.Contains("selectEF(USERNAME) failed lRet: 80100024\n"));
    ExpectNothingOpen();

    // The domain file is refused: the password file is not touched.
    fake.ClearSent();
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5511].assign(42, 0x41);
    card.files[0x5522].assign(32, 0x42);
    card.files[0x5533].assign(100, 0x43);
    card.refuse[0x5522] = 0x6982;
    EXPECT_EQ(Read().rv, SCARD_W_SECURITY_VIOLATION);
    EXPECT_EQ(fake.Sent().size(), 5u);
    EXPECT_TRUE(diag.Contains("selectEF(DOMAIN) failed lRet: 8010006a\n"));
}

TEST_F(LoginFilesTest, WriteLaysOutTheRecord) {
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0xCC);
    const char16_t password[] = u"pässwörd🔑XYZ";  // with a surrogate pair
    ASSERT_EQ(SmartCardWriteFiles(reader, u"jdoe", u"CORP", password, 10), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1], Hex("00 A4 02 0C 02 55 44"));
    ASSERT_EQ(sent[2].size(), 245u);
    EXPECT_EQ(std::vector<BYTE>(sent[2].begin(), sent[2].begin() + 5), Hex("00 D6 00 00 F0"));

    std::vector<BYTE> record(sent[2].begin() + 5, sent[2].end());
    EXPECT_EQ(record, card.files[0x5544]);
    std::vector<BYTE> expected(240, 0);
    const char16_t* fields[] = {u"jdoe", u"CORP", password};
    const size_t offsets[] = {8, 80, 136};
    const size_t lengths[] = {4, 4, 10};
    for (int f = 0; f < 3; ++f) {
        for (size_t i = 0; i < lengths[f]; ++i) {
            expected[offsets[f] + 2 * i] = static_cast<BYTE>(fields[f][i] & 0xFF);
            expected[offsets[f] + 2 * i + 1] = static_cast<BYTE>(fields[f][i] >> 8);
        }
    }
    EXPECT_EQ(record, expected);
    EXPECT_EQ(record[136 + 2 * 8], 0x3D);  // U+1F511 as D83D DD11, little-endian
    EXPECT_EQ(record[136 + 2 * 8 + 1], 0xD8);
    EXPECT_EQ(record[136 + 2 * 10], 0);  // "XYZ" lies beyond the length given

    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.password, std::u16string(password, 10));
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, LongValuesAreCutToTheirFields) {
    DiagnosticCollector diag;
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0);
    const std::u16string user22 = u"abcdefghijklmnopqrstuv";  // 22
    const std::u16string domain17 = u"ABCDEFGHIJKLMNOPQ";     // 17
    const std::u16string password51(51, u'p');
    ASSERT_EQ(SmartCardWriteFiles(reader, user22.c_str(), domain17.c_str(), password51.c_str(), 51),
              SCARD_S_SUCCESS);
    const std::vector<BYTE>& record = card.files[0x5544];
    // Full fields carry no terminator; the zones between them stay zero.
    EXPECT_EQ(record[8 + 40], 'u');
    EXPECT_EQ(record[80 + 30], 'P');
    EXPECT_EQ(record[136 + 98], 'p');
    for (size_t zero : {0, 7, 50, 79, 112, 135, 236, 239}) {
        EXPECT_EQ(record[zero], 0) << zero;
    }
    EXPECT_TRUE(diag.Contains("wrong user name length: 44\n"));
    EXPECT_TRUE(diag.Contains("wrong domain name length: 34\n"));
    EXPECT_TRUE(diag.Contains("wrong password length: 102\n"));

    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, user22.substr(0, 21));
    EXPECT_EQ(r.domain, domain17.substr(0, 16));
    EXPECT_EQ(r.password, password51.substr(0, 50));
    EXPECT_TRUE(r.terminated);
}

TEST_F(LoginFilesTest, EmptyPasswordWritesAZeroField) {
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0xCC);
    ASSERT_EQ(SmartCardWriteFiles(reader, u"u", u"d", nullptr, 0), SCARD_S_SUCCESS);
    const std::vector<BYTE>& record = card.files[0x5544];
    EXPECT_EQ(std::vector<BYTE>(record.begin() + 136, record.begin() + 236),
              std::vector<BYTE>(100, 0));
    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.password, u"");
    EXPECT_EQ(r.capacity, 50u);
    // A length without a password is refused before the card is touched.
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", nullptr, 3), SCARD_E_INVALID_PARAMETER);
}

TEST_F(LoginFilesTest, LegacyWriteGoesPasswordDomainUserName) {
    UseMemoryCard(kCardVariantTcos12, SCARD_PROTOCOL_T0);
    card.files[0x5A49].assign(10, 0x01);
    card.files[0x5511].assign(42, 0xEE);
    card.files[0x5522].assign(32, 0xEE);
    card.files[0x5533].assign(100, 0xEE);
    ASSERT_EQ(SmartCardWriteFiles(reader, u"usr", u"dom", u"pwd", 3), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 10u);  // 2 identification, selectMF, UNIQUE, 3 x select + update
    EXPECT_EQ(sent[2], Hex("00 A4 00 00"));
    EXPECT_EQ(sent[3], Hex("B0 A4 02 0C 02 55 44"));
    EXPECT_EQ(sent[4], Hex("B0 A4 02 0C 02 55 33"));
    EXPECT_EQ(std::vector<BYTE>(sent[5].begin(), sent[5].begin() + 5), Hex("B0 D6 00 00 64"));
    EXPECT_EQ(sent[5].size(), 105u);
    EXPECT_EQ(sent[6], Hex("B0 A4 02 0C 02 55 22"));
    EXPECT_EQ(std::vector<BYTE>(sent[7].begin(), sent[7].begin() + 5), Hex("B0 D6 00 00 20"));
    EXPECT_EQ(sent[8], Hex("B0 A4 02 0C 02 55 11"));
    EXPECT_EQ(std::vector<BYTE>(sent[9].begin(), sent[9].begin() + 5), Hex("B0 D6 00 00 2A"));
    EXPECT_EQ(card.files[0x5533][0], 'p');
    EXPECT_EQ(card.files[0x5533][6], 0);
    EXPECT_EQ(card.files[0x5511][4], 'r');

    ReadResult r = Read();
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.user, u"usr");
    EXPECT_EQ(r.domain, u"dom");
    EXPECT_EQ(r.password, u"pwd");
}

TEST_F(LoginFilesTest, LegacyWriteStopsAtTheFirstFailureAndKeepsWhatWasWritten) {
    DiagnosticCollector diag;
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5511].assign(42, 0xEE);
    card.files[0x5522].assign(32, 0xEE);
    card.files[0x5533].assign(100, 0xEE);
    card.refuse[0x5522] = 0x6985;
    EXPECT_EQ(SmartCardWriteFiles(reader, u"usr", u"dom", u"pwd", 3), SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(card.files[0x5533][0], 'p');   // written
    EXPECT_EQ(card.files[0x5511][0], 0xEE);  // never reached
    EXPECT_TRUE(diag.Contains("selectEF(Domain) failed lRet: 80100022\n"));
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, CreateSendsTheTemplateOfTheVariant) {
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes(),
              (Apdus{Hex("00 A4 00 00 02 3F 00"),
                     Hex("00 E0 00 00 17 62 15 81 01 F0 82 01 01 83 02 55 44 8A 01 01 8C 06 67 00 "
                         "00 00 00 00")}));
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, TcosCreateIsSentTwice) {
    fake.InsertCard(Tcos12Atr(), SCARD_PROTOCOL_T1);
    fake.ReplySw(0x6A82);  // no identifier file
    fake.ReplySw(0x9000);  // selectMF
    fake.ReplySw(0x9000);  // create
    fake.ReplySw(0x6A89);  // create again: exists, ignored
    ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2], Hex("B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 F0"));
    EXPECT_EQ(sent[3], sent[2]);

    // When the first create fails, that is the result and no second follows.
    fake.ClearSent();
    fake.ReplySw(0x6A82);
    fake.ReplySw(0x9000);
    fake.ReplySw(0x6A84);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_NO_MEMORY);
    EXPECT_EQ(fake.Sent().size(), 3u);
}

TEST_F(LoginFilesTest, CreateOnACardThatHasUniqueReturnsTheRefusal) {
    UseMemoryCard(kCardVariantClass80);
    card.files[0x5544].assign(240, 0);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // 6A89
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, DeleteRemovesAllFourUniqueDecides) {
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0);
    ASSERT_EQ(SmartCardDeleteFiles(reader), SCARD_S_SUCCESS);  // legacy files absent
    EXPECT_EQ(fake.SentBytes(), (Apdus{Hex("00 A4 00 00 02 3F 00"), Hex("00 E4 00 0C 02 55 11"),
                                       Hex("00 E4 00 0C 02 55 22"), Hex("00 E4 00 0C 02 55 33"),
                                       Hex("00 E4 00 0C 02 55 44")}));
    EXPECT_TRUE(card.files.empty());

    // Legacy files only: all deleted, yet file not found.
    card.files[0x5511].assign(42, 0);
    card.files[0x5522].assign(32, 0);
    card.files[0x5533].assign(100, 0);
    EXPECT_EQ(SmartCardDeleteFiles(reader), SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(card.files.empty());
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, FailedSelectOfTheMasterFileEndsEveryOperation) {
    using Op = std::function<LONG()>;
    const Op ops[] = {
        [&] { return SmartCardCreateFiles(reader); },
        [&] { return SmartCardDeleteFiles(reader); },
        [&] { return Read().rv; },
        [&] { return SmartCardWriteFiles(reader, u"u", u"d", u"p", 1); },
    };
    for (const Op& op : ops) {
        fake.ClearSent();
        fake.ReplySw(0x6A86);
        EXPECT_EQ(op(), SCARD_E_INVALID_VALUE);
        EXPECT_EQ(fake.Sent().size(), 1u);
        ExpectNothingOpen();
    }
}

TEST_F(LoginFilesTest, PinIsVerifiedAfterTheMasterFile) {
    UseMemoryCard(kCardVariantGeneric);
    card.pin = "k7Zq";
    card.files[0x5544] = Record("a", "b", "c");
    DiagnosticCollector diag;
    ReadResult r = Read("k7Zq");
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(fake.SentBytes()[1], Hex("00 20 00 01 04 6B 37 5A 71"));

    // A wrong PIN ends the operation with the card's answer.
    fake.ClearSent();
    EXPECT_EQ(SmartCardDeleteFiles(reader, "wxyv"), SCARD_E_UNEXPECTED);  // 63C2
    EXPECT_EQ(fake.Sent().size(), 2u);
    EXPECT_EQ(card.files.count(0x5544), 1u);
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

TEST_F(LoginFilesTest, NoPasswordReachesTheDiagnostics) {
    DiagnosticCollector diag;
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0);
    ASSERT_EQ(SmartCardWriteFiles(reader, u"user", u"dom", u"Geheim99", 8), SCARD_S_SUCCESS);
    ASSERT_EQ(Read().rv, SCARD_S_SUCCESS);
    ASSERT_FALSE(diag.entries().empty());
    EXPECT_FALSE(diag.AnyContains("Geheim99"));
    EXPECT_FALSE(diag.AnyContains("G"));  // not even as one narrowed character
}

TEST_F(LoginFilesTest, DisconnectFailureFailsASuccessfulOperation) {
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544] = Record("a", "b", "c");
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    LPWSTR user = nullptr, domain = nullptr, password = nullptr;
    DWORD capacity = 0;
    EXPECT_EQ(SmartCardReadFiles(reader, &user, &domain, &password, &capacity),
              SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(user, nullptr);
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // the body's own failure wins
    EXPECT_EQ(fake.OpenContexts(), 0);
}

TEST_F(LoginFilesTest, ConnectFailuresAreReturnedWithNothingOpen) {
    fake.RemoveCard();
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SmartCardCreateFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SmartCardDeleteFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    ExpectNothingOpen();
    EXPECT_EQ(SmartCardReadFiles(reader, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
}

TEST_F(LoginFilesTest, CardPulledDuringAWriteLeavesTheLibraryUsable) {
    UseMemoryCard(kCardVariantGeneric);
    card.files[0x5544].assign(240, 0);
    // The card goes at the update: the reader answers nothing.
    fake.SetResponder([&](const std::vector<BYTE>& apdu) -> std::vector<BYTE> {
        if (apdu[1] == 0xD6) {
            fake.RemoveCard();
            return {};
        }
        return card(apdu);
    });
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_E_UNEXPECTED);
    ExpectNothingOpen();
    EXPECT_EQ(Read().rv, SCARD_W_REMOVED_CARD);
    fake.InsertCard(GenericAtr());
    fake.SetResponder(std::ref(card));
    ASSERT_EQ(SmartCardWriteFiles(reader, u"u", u"d", u"p", 1), SCARD_S_SUCCESS);
    EXPECT_EQ(Read().user, u"u");
    ExpectNothingOpen();
}

TEST_F(LoginFilesTest, EveryVariantRoundTrips) {
    const DWORD variants[] = {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80};
    for (DWORD variant : variants) {
        for (DWORD protocol : {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}) {
            SCOPED_TRACE(testing::Message() << "variant " << variant << " protocol " << protocol);
            card = MemoryCard{};
            UseMemoryCard(variant, protocol);
            SmartCardDeleteFiles(reader);
            ASSERT_EQ(SmartCardCreateFiles(reader), SCARD_S_SUCCESS);
            ASSERT_EQ(card.files.count(0x5544), 1u);
            EXPECT_EQ(card.files[0x5544].size(), 240u);
            ASSERT_EQ(SmartCardWriteFiles(reader, u"Müller", u"WERK-2", u"pa55", 4),
                      SCARD_S_SUCCESS);
            ReadResult r = Read();
            ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
            EXPECT_EQ(r.user, u"Müller");
            EXPECT_EQ(r.domain, u"WERK-2");
            EXPECT_EQ(r.password, u"pa55");
            ASSERT_EQ(SmartCardDeleteFiles(reader), SCARD_S_SUCCESS);
            EXPECT_EQ(Read().rv, SCARD_E_FILE_NOT_FOUND);
            ExpectNothingOpen();
        }
    }
}

}  // namespace
}  // namespace mltest
