// The card library against the fake reader: the commands of each variant,
// status words, acceptances and hostile answers; reader sessions with ATR
// recognition; the login-file operations.
#include <cstdarg>
#include <cstring>
#include <functional>
#include <optional>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

const DWORD kVariants[] = {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80};
const BYTE kPin[] = {'1', '2', '3', '4'};
// Values longer than their fields (full fields carry no terminator), a surrogate pair.
const std::u16string kUser = u"abcdefghijklmnopqrstuv", kDomain = u"ÄBCDEFGHIJKLMNOPQ",
                     kPassword = u"Gässwörd🔑" + std::u16string(41, u'p');
using Files = FakeSCard::Files;

// Every diagnostic text of a test, formatted.
std::string g_diagnostics;
void Collect(int, const char*, int, const char*, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    g_diagnostics += text;
}

class CardTest : public FakeReaderTest {
  public:
    CardTest() { SmartCardSetDiagnosticHook(&Collect), g_diagnostics.clear(); }
    ~CardTest() override { SmartCardSetDiagnosticHook(nullptr); }
    LONG Connect(LPCWSTR name = u"Fake Reader 00") {
        context = 0xDEAD, card = 0xBEEF;
        return SmartCardConnect(name, &context, &card, &info);
    }
    LONG Write() {
        return SmartCardWriteFiles(reader, kUser.c_str(), kDomain.c_str(), kPassword.c_str(), 51);
    }
    void UseCard(Files files, cardsim::Family family = cardsim::Family::generic) {
        fake.InsertCard(family, std::move(files));
        fake.ClearSent();
    }
    Files CardFiles() { return fake.Card().image().files; }

    const LPCWSTR reader = u"Fake Reader 00";
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
};

TEST_F(CardTest, EachVariantWorksTheCardOfItsFamily) {
    // The emulated card refuses a class, instruction or parameter not its own.
    for (DWORD variant : kVariants) {
        SCOPED_TRACE(variant);
        const DWORD protocol =
            variant == kCardVariantTcos12 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
        SCARDHANDLE card = OpenCard(variant, protocol);
        fake.InsertCard(static_cast<cardsim::Family>(variant), {{0x5511, {}}}, protocol);
        fake.Card().SetPin(Hex("31 32 33 34"));
        BYTE back[3] = {};
        DWORD received = 0;
        EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
        EXPECT_EQ(verifyPIN(card, info, kPin, 4), SCARD_S_SUCCESS);
        EXPECT_EQ(createFile(card, info, 0x1234, 3), SCARD_S_SUCCESS);
        if (variant == kCardVariantTcos12) {
            createFile(card, info, 0x1234, 3);
        }
        EXPECT_EQ(fake.Card().FileData(0x1234)->size(), 3u);
        EXPECT_EQ(selectEF(card, info, 0x1234), SCARD_S_SUCCESS);
        EXPECT_EQ(updateBinary(card, info, kPin, 3), SCARD_S_SUCCESS);
        EXPECT_EQ(readBinary(card, info, 3, back, 3, &received), SCARD_S_SUCCESS);
        EXPECT_EQ(std::vector<BYTE>(back, back + received), Hex("31 32 33"));
        EXPECT_EQ(deleteFile(card, info, 0x5511), SCARD_S_SUCCESS);
        EXPECT_FALSE(fake.Card().FileData(0x5511));
    }
    // An empty body has no P3 under T=0.
    fake.ReplySw(0x9000);
    EXPECT_EQ(selectMF(OpenCard(kCardVariantTcos12, SCARD_PROTOCOL_T0), info), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().back().Bytes(), Hex("00 A4 00 00"));
}

TEST_F(CardTest, StatusWordsMapToResultsAndEachCommandHasItsOwnAcceptances) {
    // Through delete, which accepts nothing, so the map alone decides.
    const std::pair<LONG, std::vector<WORD>> map[] = {
        {SCARD_S_SUCCESS, {0x9000}},
        {SCARD_E_NO_MEMORY, {0x6200, 0x6281, 0x6A84}},
        {SCARD_E_FILE_NOT_FOUND, {0x6283, 0x6A82}},
        {SCARD_E_CARD_UNSUPPORTED, {0x6284}},
        {SCARD_E_WRITE_TOO_MANY, {0x6381}},
        {SCARD_E_INVALID_VALUE, {0x6700, 0x6A86, 0x6B00, 0x6E00, 0x66F0}},
        {SCARD_E_UNSUPPORTED_FEATURE, {0x6800, 0x6985, 0x6A81, 0x69F0}},
        {SCARD_W_SECURITY_VIOLATION, {0x6982}},
        {SCARD_W_CHV_BLOCKED, {0x6983}},
        {SCARD_E_DIR_NOT_FOUND, {0x6984, 0x6A88}},
        {SCARD_E_UNEXPECTED, {0x0000, 0x6100, 0x63C2, 0x9001, 0x6A8B}},
    };
    SCARDHANDLE card = OpenCard(kCardVariantClass80, SCARD_PROTOCOL_T1);
    for (const auto& [result, sws] : map) {
        for (WORD sw : sws) {
            fake.ReplyData(Hex("01 02 03"), sw);
            EXPECT_EQ(deleteFile(card, info, 0x5544), result) << std::hex << sw;
        }
    }
    // 61xx only for selectMF, no GET RESPONSE follows; 6E00 only on TCOS
    // cards; verify takes 6984 on every card, 6A82 on TCOS cards; update 6381.
    for (DWORD variant : kVariants) {
        card = OpenCard(variant, SCARD_PROTOCOL_T1);
        fake.ClearSent();
        const bool tcos = variant == kCardVariantTcos12;
        for (WORD sw : {0x6115, 0x6E00, 0x6984, 0x6A82, 0x6381, 0x6115}) {
            fake.ReplySw(sw);
        }
        EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
        EXPECT_EQ(selectMF(card, info), tcos ? SCARD_S_SUCCESS : SCARD_E_INVALID_VALUE);
        EXPECT_EQ(verifyPIN(card, info, kPin, 4), SCARD_S_SUCCESS);
        EXPECT_EQ(verifyPIN(card, info, kPin, 4), tcos ? SCARD_S_SUCCESS : SCARD_E_FILE_NOT_FOUND);
        EXPECT_EQ(updateBinary(card, info, kPin, 4), SCARD_S_SUCCESS);
        EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_UNEXPECTED);
        EXPECT_EQ(fake.Sent().size(), 6u);
    }
}

TEST_F(CardTest, ReadBinaryCopiesOnlyTheDataItMay) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    // Data; cut short by the file's end (6282); a refusal; far more than asked
    // for; too short for data (a lone byte padded with 00); a failed transmit.
    std::vector<BYTE> flood(300, 0x5A);
    flood[298] = 0x90, flood[299] = 0x00;
    const struct {
        std::vector<BYTE> answer;
        BYTE le;
        LONG result;
        DWORD received;
        LONG failure = SCARD_S_SUCCESS;
    } cases[] = {
        {Hex("11 22 33 90 00"), 3, SCARD_S_SUCCESS, 3},
        {Hex("11 22 33 90 00"), 2, SCARD_S_SUCCESS, 2},  // one byte more than Le
        {Hex("44 55 62 82"), 8, SCARD_S_SUCCESS, 2},
        {Hex("66 77 6A 82"), 2, SCARD_E_FILE_NOT_FOUND, 0},
        {flood, 10, SCARD_S_SUCCESS, 10},
        {Hex("6A"), 4, SCARD_E_INVALID_VALUE, 0},
        {{}, 4, SCARD_E_UNEXPECTED, 0},
        {{}, 4, SCARD_W_REMOVED_CARD, 0, SCARD_W_REMOVED_CARD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        BYTE buffer[16];
        std::memset(buffer, 0xEE, sizeof(buffer));
        DWORD received = 99;
        fake.Reply(c.answer, c.failure);
        // The buffer offered is Le bytes; what lies beyond must stay untouched.
        EXPECT_EQ(readBinary(card, info, c.le, buffer, c.le, &received), c.result);
        ASSERT_EQ(received, c.received);
        std::vector<BYTE> expected(c.answer.begin(), c.answer.begin() + received);
        expected.resize(16, 0xEE);
        EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 16), expected);
    }
}

TEST(CardInfoTest, AtrIsClampedAndAKnownAtrGivesItsVariant) {
    CardInfo info{};
    const std::vector<BYTE> bytes(40, 0x3B);
    info.SetAtr(bytes.data(), 40);
    EXPECT_EQ(std::vector<BYTE>(info.atr, info.atr + info.atrLength), std::vector<BYTE>(32, 0x3B));
    info.SetAtr(bytes.data(), 5);
    EXPECT_EQ(info.atrLength + info.atr[5], 5u);  // the rest of an earlier, longer ATR is gone
    // Known ATRs; longer, a byte off, cut short.
    const std::pair<const char*, DWORD> cases[] = {
        {"3B BA 13 00 81 31 86 5D 00 64 05 0A 02 01 31 80 90 00 8B", kCardVariantClass80},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 4B 2E", kCardVariantTcos12},
        {"3B 8A 80 01 00 64 05 76 02 03 31 80 90 00 3C", kCardVariantClass80},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 00 65 42 43", kCardVariantTcos12},
        {"3B 8A 80 01 00 64 05 76 02 03 31 80 90 00 3D", kCardVariantGeneric},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 00", kCardVariantGeneric},
    };
    for (const auto& [text, variant] : cases) {
        const std::vector<BYTE> atr = Hex(text);
        EXPECT_EQ(RecognizeCardVariant(atr.data(), atr.size()), variant) << text;
    }
    EXPECT_EQ(RecognizeCardVariant(nullptr, 17), kCardVariantGeneric);
}

TEST_F(CardTest, ConnectFillsTheRecordAndDisconnectLeavesTheCard) {
    fake.InsertCard(cardsim::Family::generic, {}, SCARD_PROTOCOL_T0);
    ASSERT_EQ(Connect(), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.lastScope, SCARD_SCOPE_USER);
    EXPECT_EQ(fake.lastShareMode, SCARD_SHARE_SHARED);
    EXPECT_EQ(info.protocol, SCARD_PROTOCOL_T0);
    EXPECT_EQ(info.readerState, SCARD_SPECIFIC);
    EXPECT_EQ(std::vector<BYTE>(info.atr, info.atr + info.atrLength), fake.Card().Atr());
    EXPECT_TRUE(fake.Sent().empty());  // no identification read
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.lastDisposition, SCARD_LEAVE_CARD);
    ExpectNothingOpen();
    // Any missing output is refused before the service is asked.
    EXPECT_EQ(SmartCardConnect(reader, &context, &card, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SmartCardConnect(reader, nullptr, &card, &info), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SmartCardConnect(reader, &context, nullptr, &info), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(fake.ConnectCalls(), 1);
}

TEST_F(CardTest, FailedConnectOrDisconnectLeavesNothingOpen) {
    // No service, an empty reader: the platform's result, nothing to close.
    fake.establishResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(Connect(), SCARD_E_NO_SERVICE);
    EXPECT_EQ(context + card, 0u);
    fake.establishResult = SCARD_S_SUCCESS;
    fake.RemoveCard();
    EXPECT_EQ(Connect(), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(context + card, 0u);
    ExpectNothingOpen();
    // A failed disconnect is preferred to a failed release; both are done.
    fake.ReinsertCard();
    ASSERT_EQ(Connect(), SCARD_S_SUCCESS);
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    fake.releaseResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(fake.releaseCalls, 2);  // one after the failed connect above
}

TEST_F(CardTest, EachOperationOnTheFilesOfACard) {
    // Writes take the long values, stores a password given with text beyond its length.
    const std::vector<BYTE> old = Record(u"old", u"D", u"p"),
                            now = Record(kUser, kDomain, kPassword);
    std::vector<BYTE> noUser = Record(u"", u"PLANT", u"pw"), lateUser = noUser, shortUnique = old;
    lateUser[kUserNameOffset + 2] = 'x';  // after the first zero unit: not read
    shortUnique.resize(200);
    const Files unique{{kFileUnique, old}},
        legacy = Legacy(old), written{{kFileUnique, now}},
        stored{{kFileUnique, Record(u"jdoe", u"CORP", u"Gässwörd🔑")}},
        created{{kFileUnique, std::vector<BYTE>(240, 0)}};
    Files shortLegacy = Legacy(Record(u"u", u"", u"")), halfWritten = legacy;
    shortLegacy[kFilePassword].resize(98);
    halfWritten[kFilePassword] = Legacy(now)[kFilePassword];
    ReadResult r{};
    const char* pin = nullptr;
    const std::string longPin(256, '9');  // more than one command can carry
    const auto read = [&] { return (r = ReadCard(reader, pin)).rv; };
    const auto create = [&] { return SmartCardCreateFiles(reader, pin); };
    const auto del = [&] { return SmartCardDeleteFiles(reader, pin); };
    const auto write = [&] { return Write(); };
    const auto store = [&] {
        return SmartCardStoreFiles(reader, u"jdoe", u"CORP", u"Gässwörd🔑XYZ", 10);
    };
    const LONG ok = SCARD_S_SUCCESS, none = kSmartCardNoLoginData;
    const cardsim::Family generic = cardsim::Family::generic, tcos = cardsim::Family::tcos12;
    const struct {
        std::function<LONG()> op;
        Files files;
        LONG result;
        size_t sent;                      // commands
        std::u16string read = u"";        // what a successful read gives
        std::optional<Files> after = {};  // the card's files afterwards; none: unchanged
        int refused = 0;                  // a file (above FF) or an instruction answered 6982
        cardsim::Family family = generic;
        const char* pin = nullptr;  // given to the operation; the card's is k7Zq
    } cases[] = {
        // Reads take UNIQUE, else the legacy files, and stop at the first failure.
        {read, unique, ok, 3, u"old|D|p"},
        {read, legacy, ok, 8, u"old|D|p"},
        {read, {}, SCARD_E_FILE_NOT_FOUND, 3},
        {read, legacy, SCARD_W_SECURITY_VIOLATION, 5, u"", {}, kFileDomain},
        {read, {{kFileUnique, Record(u"Ā", u"", u"")}}, ok, 3, u"Ā||"},  // a user name is enough
        // No user name, or a short file: no login data.
        {read, {{kFileUnique, noUser}}, none, 3},
        {read, {{kFileUnique, lateUser}}, none, 3},
        {read, {{kFileUnique, shortUnique}}, none, 3},
        {read, Legacy(noUser), none, 8},
        {read, shortLegacy, none, 8},
        {write, unique, ok, 3, u"", written},
        {read, written, ok, 3,
         kUser.substr(0, 21) + u"|" + kDomain.substr(0, 16) + u"|" + kPassword.substr(0, 50)},
        // A write without UNIQUE goes password, domain, user name, and stops at a failure.
        {write, legacy, ok, 8, u"", Legacy(now)},
        {write, legacy, SCARD_W_SECURITY_VIOLATION, 5, u"", halfWritten, kFileDomain},
        // A store updates a fitting UNIQUE in place, else deletes all, creates and writes.
        {store, unique, ok, 4, u"", stored},
        {store, {{kFileUnique, std::vector<BYTE>(200, 0x41)}}, ok, 3 + 5 + 2 + 3, u"", stored},
        {store, legacy, ok, 2 + 5 + 2 + 3, u"", stored},
        // Create makes UNIQUE once; TCOS cards in two steps, none after a failed first.
        {create, {}, ok, 2, u"", created},
        {create, {}, ok, 4, u"", created, 0, tcos},  // and its identifier
        {create, unique, SCARD_E_INVALID_VALUE, 2},  // 6A89: exists
        {create, {}, SCARD_W_SECURITY_VIOLATION, 3, u"", {}, 0xE0, tcos},
        // Delete removes all four files; UNIQUE decides.
        {del, unique, ok, 5, u"", Files{}},
        {del, legacy, SCARD_E_FILE_NOT_FOUND, 5, u"", Files{}},
        // The PIN is verified after the master file; a wrong one ends the operation.
        {read, unique, ok, 4, u"old|D|p", {}, 0, generic, "k7Zq"},
        {del, unique, SCARD_E_UNEXPECTED, 2, u"", {}, 0, generic, "wxyv"},
        {create, {}, SCARD_E_INVALID_PARAMETER, 1, u"", {}, 0, generic, longPin.c_str()},
        // A refused master file ends every operation after one command.
        {create, unique, SCARD_W_SECURITY_VIOLATION, 1, u"", {}, 0xA4},
        {del, unique, SCARD_W_SECURITY_VIOLATION, 1, u"", {}, 0xA4},
        {read, unique, SCARD_W_SECURITY_VIOLATION, 1, u"", {}, 0xA4},
        {write, unique, SCARD_W_SECURITY_VIOLATION, 1, u"", {}, 0xA4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        UseCard(c.files, c.family);
        if (c.refused > 0xFF)
            fake.Card().RefuseFile(static_cast<WORD>(c.refused), 0x6982);
        else if (c.refused != 0)
            fake.Card().ForceStatus(static_cast<BYTE>(c.refused), 0x6982);
        if ((pin = c.pin) != nullptr)
            fake.Card().SetPin(Hex("6B 37 5A 71"));
        r = {};
        EXPECT_EQ(c.op(), c.result);
        EXPECT_EQ(fake.Sent().size(), c.sent);
        EXPECT_EQ(r.text, c.read);
        EXPECT_EQ(CardFiles(), c.after.value_or(c.files));
        ExpectNothingOpen();
    }
    for (const char* secret : {"G", "k7Zq", "wxyv"})  // not even one narrowed character
        EXPECT_EQ(g_diagnostics.find(secret), std::string::npos) << secret;
    // Afresh, the legacy user name goes first.
    UseCard(legacy);
    ASSERT_EQ(store(), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent()[3].Bytes(), Hex("00 E4 00 0C 02 55 11"));  // after the deletes' selectMF
}

TEST_F(CardTest, FailuresAroundTheBodyLeaveNothingOpen) {
    // A failed disconnect fails an otherwise successful operation.
    UseCard({{kFileUnique, Record(u"a", u"b", u"c")}});
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    EXPECT_EQ(ReadCard(reader).rv, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(Write(), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SmartCardCreateFiles(reader), SCARD_E_INVALID_VALUE);  // the body's own failure wins
    EXPECT_EQ(fake.OpenContexts(), 0);
    // A failed connect is returned as it is; missing outputs are refused.
    EXPECT_EQ(SmartCardWriteFiles(reader, u"u", u"d", nullptr, 3), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SmartCardDeleteFiles(u"Other Reader"), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SmartCardReadFiles(reader, nullptr, nullptr, nullptr, nullptr),
              SCARD_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace mltest
