// Reader sessions against the fake reader: connect and disconnect with their
// failures and cleanup, the session record, the ATR table and recognition,
// and the identification reads.
#include <cstring>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

class SessionTest : public FakeReaderTest {
  public:
    LONG Connect(CardInfo* out) {
        context = 0xDEAD;
        card = 0xBEEF;
        return SmartCardConnect(fake.ReaderName().c_str(), &context, &card, out);
    }

    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
};

TEST(CardInfoTest, SettersClamp) {
    CardInfo info{};
    BYTE bytes[40];
    for (int i = 0; i < 40; ++i) {
        bytes[i] = static_cast<BYTE>(i + 1);
    }
    info.SetAtr(bytes, 40);
    EXPECT_EQ(info.atrLength, 32u);
    EXPECT_EQ(0, std::memcmp(info.atr, bytes, 32));
    info.SetAtr(bytes, 5);
    EXPECT_EQ(info.atrLength, 5u);
    EXPECT_EQ(info.atr[5], 0);  // the rest of an earlier, longer ATR is gone

    info.SetId(bytes, 17);
    EXPECT_EQ(info.idLength, 16u);
    EXPECT_EQ(0, std::memcmp(info.id, bytes, 16));
    info.SetId(bytes, 10);
    EXPECT_EQ(info.idLength, 10u);
    EXPECT_EQ(info.id[10], 0);
    info.SetId(nullptr, 10);
    EXPECT_EQ(info.idLength, 0u);
}

TEST(AtrTableTest, SevenRowsInOrderBuiltOnce) {
    size_t count = 0;
    const AtrPattern* rows = AtrPatternTable(&count);
    ASSERT_EQ(count, 7u);
    const DWORD variants[] = {1, 1, 2, 2, 2, 2, 2};
    const DWORD lengths[] = {17, 17, 19, 19, 19, 15, 19};
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(rows[i].variant, variants[i]) << i;
        EXPECT_EQ(rows[i].length, lengths[i]) << i;
        EXPECT_EQ(std::vector<BYTE>(rows[i].mask, rows[i].mask + 32), std::vector<BYTE>(32, 0xFF));
        // Every row recognises its own pattern.
        EXPECT_EQ(RecognizeCardVariant(rows[i].pattern, rows[i].length), variants[i]) << i;
    }
    EXPECT_EQ(rows[5].pattern[1], 0x8A);
    EXPECT_EQ(rows[6].pattern[11], 0x7B);
    size_t again = 0;
    EXPECT_EQ(AtrPatternTable(&again), rows);
    EXPECT_EQ(again, count);
}

TEST(AtrTableTest, RecognitionComparesThePatternLengthOnly) {
    std::vector<BYTE> longer = Tcos12Atr();
    longer.push_back(0x42);
    longer.push_back(0x43);
    EXPECT_EQ(RecognizeCardVariant(longer.data(), longer.size()), kCardVariantTcos12);
    std::vector<BYTE> other = Class80Atr();
    other[11] = 0x0B;  // one byte off every class-80 row
    EXPECT_EQ(RecognizeCardVariant(other.data(), other.size()), kCardVariantGeneric);
    // A cut ATR compares against zeros beyond its end.
    std::vector<BYTE> cut = Tcos12Atr();
    cut.resize(16);
    EXPECT_EQ(RecognizeCardVariant(cut.data(), cut.size()), kCardVariantGeneric);
    std::vector<BYTE> second = Tcos12Atr();
    second[15] = 0x4B;
    second[16] = 0x2E;
    EXPECT_EQ(RecognizeCardVariant(second.data(), second.size()), kCardVariantTcos12);
    EXPECT_EQ(RecognizeCardVariant(nullptr, 0), kCardVariantGeneric);
}

TEST(AtrTableTest, MaskIgnoresBits) {
    const BYTE pattern[] = {0x3B, 0x80};
    const BYTE mask[] = {0xFF, 0xF0};
    AtrPattern row = MakeAtrPattern(2, pattern, 2, mask);
    EXPECT_EQ(row.length, 2u);
    EXPECT_EQ(row.mask[1], 0xF0);
    AtrPattern exact = MakeAtrPattern(1, pattern, 2);
    EXPECT_EQ(exact.mask[31], 0xFF);
    std::vector<BYTE> long_pattern(40, 0x11);
    EXPECT_EQ(MakeAtrPattern(1, long_pattern.data(), 40).length, 32u);
}

TEST_F(SessionTest, ConnectFillsTheRecordOfAGenericCard) {
    fake.InsertCard(GenericAtr(), SCARD_PROTOCOL_T0);
    CardInfo info{};
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_NE(context, 0u);
    EXPECT_NE(card, 0u);
    EXPECT_EQ(info.protocol, SCARD_PROTOCOL_T0);
    EXPECT_EQ(info.variant, kCardVariantGeneric);
    EXPECT_EQ(info.readerState, SCARD_SPECIFIC);
    EXPECT_EQ(std::vector<BYTE>(info.atr, info.atr + info.atrLength), GenericAtr());
    EXPECT_EQ(info.idLength, 0u);
    EXPECT_TRUE(fake.Sent().empty());  // no identification read
    EXPECT_EQ(fake.OpenContexts(), 1);
    EXPECT_EQ(fake.OpenCards(), 1);

    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.LastDisposition(), SCARD_LEAVE_CARD);
    EXPECT_EQ(fake.OpenContexts(), 0);
    EXPECT_EQ(fake.OpenCards(), 0);
}

TEST_F(SessionTest, TcosCardIsIdentifiedByTenBytes) {
    fake.InsertCard(Tcos12Atr(), SCARD_PROTOCOL_T1);
    fake.ReplySw(0x9000);
    fake.ReplyData(Hex("01 02 03 04 05 06 07 08 09 0A"), 0x9000);
    CardInfo info{};
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_EQ(info.variant, kCardVariantTcos12);
    EXPECT_EQ(fake.SentBytes(),
              (std::vector<std::vector<BYTE>>{Hex("B0 A4 02 0C 02 5A 49"), Hex("B0 B0 00 00 2C")}));
    EXPECT_EQ(std::vector<BYTE>(info.id, info.id + info.idLength),
              Hex("01 02 03 04 05 06 07 08 09 0A"));
    SmartCardDisconnect(context, card);

    // 9 or 11 bytes: no identifier, and the session still opens.
    for (size_t n : {9u, 11u}) {
        fake.ReplySw(0x9000);
        fake.ReplyData(std::vector<BYTE>(n, 0x33), 0x9000);
        CardInfo other{};
        ASSERT_EQ(Connect(&other), SCARD_S_SUCCESS);
        EXPECT_EQ(other.variant, kCardVariantTcos12);
        EXPECT_EQ(other.idLength, 0u);
        SmartCardDisconnect(context, card);
    }
}

TEST_F(SessionTest, Class80CardIsIdentifiedByItsTaggedNumber) {
    fake.InsertCard(Class80Atr(), SCARD_PROTOCOL_T1);
    fake.ReplySw(0x9000);
    fake.ReplyData(Hex("5A 04 A1 A2 A3 A4"), 0x9000);
    CardInfo info{};
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_EQ(info.variant, kCardVariantClass80);
    EXPECT_EQ(fake.SentBytes(),
              (std::vector<std::vector<BYTE>>{Hex("00 A4 02 0C 02 2F 02"), Hex("00 B0 00 00 2C")}));
    EXPECT_EQ(std::vector<BYTE>(info.id, info.id + info.idLength), Hex("A1 A2 A3 A4"));
    SmartCardDisconnect(context, card);

    // A long number is cut to 16 bytes.
    std::vector<BYTE> data = {0x5A, 20};
    for (BYTE i = 0; i < 20; ++i) {
        data.push_back(i);
    }
    fake.ReplySw(0x9000);
    fake.ReplyData(data, 0x9000);
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_EQ(info.idLength, 16u);
    EXPECT_EQ(info.id[15], 15);
    SmartCardDisconnect(context, card);

    // Wrong tag, wrong length byte, refused select: no identifier, success.
    const std::vector<BYTE> bad[] = {Hex("5B 02 01 02"), Hex("5A 03 01 02"), Hex("5A")};
    for (const auto& answer : bad) {
        fake.ReplySw(0x9000);
        fake.ReplyData(answer, 0x9000);
        CardInfo other{};
        ASSERT_EQ(Connect(&other), SCARD_S_SUCCESS);
        EXPECT_EQ(other.idLength, 0u);
        SmartCardDisconnect(context, card);
    }
    fake.ClearSent();
    fake.ReplySw(0x6A82);
    CardInfo other{};
    ASSERT_EQ(Connect(&other), SCARD_S_SUCCESS);
    EXPECT_EQ(other.idLength, 0u);
    EXPECT_EQ(fake.Sent().size(), 1u);  // no read after the refused select
    SmartCardDisconnect(context, card);
}

TEST_F(SessionTest, SameAtrSameVariantInEverySession) {
    fake.InsertCard(Class80Atr(), SCARD_PROTOCOL_T1);
    for (int i = 0; i < 3; ++i) {
        fake.ReplySw(0x6A82);
        CardInfo info{};
        ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
        EXPECT_EQ(info.variant, kCardVariantClass80);
        SmartCardDisconnect(context, card);
    }
}

TEST_F(SessionTest, FailedStatusLeavesAGenericSession) {
    fake.InsertCard(Tcos12Atr(), SCARD_PROTOCOL_T1);
    fake.statusResult = SCARD_E_INSUFFICIENT_BUFFER;
    CardInfo info{};
    info.variant = 2;
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_EQ(info.variant, kCardVariantGeneric);
    EXPECT_EQ(info.protocol, SCARD_PROTOCOL_T1);
    EXPECT_EQ(info.atrLength, 0u);
    EXPECT_TRUE(fake.Sent().empty());
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);
}

TEST_F(SessionTest, FailedEstablishReturnsItsResult) {
    fake.establishResult = SCARD_E_NO_SERVICE;
    CardInfo info{};
    EXPECT_EQ(Connect(&info), SCARD_E_NO_SERVICE);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(card, 0u);
    EXPECT_EQ(fake.ConnectCalls(), 0);
}

TEST_F(SessionTest, FailedConnectReleasesTheContext) {
    DiagnosticCollector diag;
    const LONG failures[] = {SCARD_E_SHARING_VIOLATION, SCARD_W_REMOVED_CARD,
                             SCARD_W_UNRESPONSIVE_CARD};
    for (LONG failure : failures) {
        fake.connectResult = failure;
        CardInfo info{};
        EXPECT_EQ(Connect(&info), failure);
        EXPECT_EQ(context, 0u);
        EXPECT_EQ(card, 0u);
        EXPECT_EQ(fake.OpenContexts(), 0);
        EXPECT_EQ(fake.OpenCards(), 0);
    }
    EXPECT_TRUE(diag.AnyContains("SCardConnect() failed 0x80100066 Context=0x00000000 Reader="));

    // An unknown reader name: the platform's result, nothing left open.
    fake.connectResult = SCARD_S_SUCCESS;
    CardInfo info{};
    EXPECT_EQ(SmartCardConnect(u"No Such Reader", &context, &card, &info), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(context, 0u);
    EXPECT_EQ(fake.OpenContexts(), 0);

    // An empty reader.
    fake.RemoveCard();
    EXPECT_EQ(Connect(&info), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(fake.OpenContexts(), 0);
}

TEST_F(SessionTest, FailedReleaseAfterFailedConnectKeepsTheContext) {
    DiagnosticCollector diag;
    fake.connectResult = SCARD_E_SHARING_VIOLATION;
    fake.releaseResult = SCARD_E_INVALID_HANDLE;
    CardInfo info{};
    EXPECT_EQ(Connect(&info), SCARD_E_SHARING_VIOLATION);
    EXPECT_NE(context, 0u);  // the caller still holds it
    EXPECT_EQ(card, 0u);
    EXPECT_TRUE(diag.Contains("SCardReleaseContext() failed 0x80100003\n"));
}

TEST_F(SessionTest, DisconnectPrefersTheDisconnectFailure) {
    CardInfo info{};
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    fake.releaseResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(fake.ReleaseCalls(), 1);  // released all the same

    fake.disconnectResult = SCARD_S_SUCCESS;
    ASSERT_EQ(fake.releaseResult = SCARD_S_SUCCESS, SCARD_S_SUCCESS);
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    fake.releaseResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_E_NO_SERVICE);
}

TEST_F(SessionTest, SessionTextsGoToTheHook) {
    DiagnosticCollector diag;
    fake.InsertCard(GenericAtr(), SCARD_PROTOCOL_T1);
    CardInfo info{};
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_TRUE(diag.Contains("Context established\n"));
    EXPECT_TRUE(diag.Contains("ATR String (Status): lTmp=0x00000000, ATRLength=4\n"));
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    SmartCardDisconnect(context, card);
    EXPECT_TRUE(diag.Contains("SCardDisconnect() failed 0x80100003\n"));

    fake.establishResult = SCARD_E_NO_SERVICE;
    Connect(&info);
    EXPECT_TRUE(diag.Contains("SCardEstablishContext() failed 0x8010001d \n"));
}

}  // namespace
}  // namespace mltest
