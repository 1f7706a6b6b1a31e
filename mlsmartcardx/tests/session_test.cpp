// Reader sessions against the fake reader: connect and disconnect with their
// failures and cleanup, the session record, ATR recognition and the
// identification reads.
#include <cstring>

#include "mlsmartcardx/card_tables_internal.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

class SessionTest : public FakeReaderTest {
  public:
    LONG Connect(CardInfo* out, LPCWSTR reader = u"Fake Reader 00") {
        context = 0xDEAD;
        card = 0xBEEF;
        return SmartCardConnect(reader, &context, &card, out);
    }
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    CardInfo info{};
};

TEST(CardInfoTest, AtrIsClampedAndEachKnownAtrGivesItsVariant) {
    CardInfo info{};
    BYTE bytes[40];
    for (int i = 0; i < 40; ++i)
        bytes[i] = static_cast<BYTE>(i + 1);
    info.SetAtr(bytes, 40);
    EXPECT_EQ(std::vector<BYTE>(info.atr, info.atr + info.atrLength),
              std::vector<BYTE>(bytes, bytes + 32));
    info.SetAtr(bytes, 5);
    EXPECT_EQ(info.atrLength, 5u);
    EXPECT_EQ(info.atr[5], 0);  // the rest of an earlier, longer ATR is gone
    EXPECT_EQ(MakeAtrPattern(1, bytes, 40).length, 32u);

    // The seven known ATRs; then ones a byte off, longer, cut short, or a
    // card of no known kind.
    const struct {
        const char* atr;
        DWORD variant;
    } cases[] = {
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 00 65", kCardVariantTcos12},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 4B 2E", kCardVariantTcos12},
        {"3B BA 13 00 81 31 86 5D 00 64 05 0A 02 01 31 80 90 00 8B", kCardVariantClass80},
        {"3B BA 14 00 81 31 86 5D 00 64 05 14 02 02 31 80 90 00 91", kCardVariantClass80},
        {"3B BA 96 00 81 31 86 5D 00 64 05 60 02 03 31 80 90 00 66", kCardVariantClass80},
        {"3B 8A 80 01 00 64 05 76 02 03 31 80 90 00 3C", kCardVariantClass80},
        {"3B BA 96 00 81 31 86 5D 00 64 05 7B 02 03 31 80 90 00 7D", kCardVariantClass80},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 00 65 42 43", kCardVariantTcos12},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 00", kCardVariantGeneric},
        {"3B A8 00 81 71 46 5D 00 54 43 4F 53 31 2E 32 01 65", kCardVariantGeneric},
        {"3B 8A 80 01 00 64 05 76 02 03 31 80 90 00 3D", kCardVariantGeneric},
        {"3B 88 01 80 56 4D 4C 43 53 49 4D 4A", kCardVariantGeneric},
    };
    for (const auto& c : cases) {
        const std::vector<BYTE> atr = Hex(c.atr);
        EXPECT_EQ(RecognizeCardVariant(atr.data(), atr.size()), c.variant) << c.atr;
    }
    EXPECT_EQ(RecognizeCardVariant(nullptr, 17), kCardVariantGeneric);
}

TEST_F(SessionTest, ConnectFillsTheRecordAndDisconnectLeavesTheCard) {
    fake.InsertCard(cardsim::Family::generic, {}, SCARD_PROTOCOL_T0);
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
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
    EXPECT_EQ(SmartCardConnect(u"Fake Reader 00", &context, &card, nullptr),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SmartCardConnect(u"Fake Reader 00", nullptr, &card, &info),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SmartCardConnect(u"Fake Reader 00", &context, nullptr, &info),
              SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(fake.ConnectCalls(), 1);

    // A failed status call leaves a generic session without ATR.
    fake.InsertCard(cardsim::Family::tcos12);
    fake.statusResult = SCARD_E_INSUFFICIENT_BUFFER;
    info.variant = kCardVariantClass80;
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    EXPECT_EQ(info.variant, kCardVariantGeneric);
    EXPECT_EQ(info.protocol, SCARD_PROTOCOL_T1);
    EXPECT_TRUE(fake.Sent().empty());
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);
}

TEST_F(SessionTest, IdentificationReads) {
    std::vector<BYTE> longNumber = {0x5A, 20};
    for (BYTE i = 0; i < 20; ++i)
        longNumber.push_back(i);
    // TCOS: ten bytes of 5A49 or none; class 80: the number tagged 5A in
    // 2F02, cut to 16 bytes. Anything else: no identifier, and the session opens.
    const cardsim::Family tcos = cardsim::Family::tcos12, class80 = cardsim::Family::class80;
    const struct {
        cardsim::Family family;
        WORD selectSw;
        std::vector<BYTE> answer, id;
    } cases[] = {
        {tcos, 0x9000, Hex("01 02 03 04 05 06 07 08 09 0A"), Hex("01 02 03 04 05 06 07 08 09 0A")},
        {tcos, 0x9000, std::vector<BYTE>(9, 0x33), {}},
        {tcos, 0x9000, std::vector<BYTE>(11, 0x33), {}},
        {class80, 0x9000, Hex("5A 04 A1 A2 A3 A4"), Hex("A1 A2 A3 A4")},
        {class80, 0x9000, longNumber, {longNumber.begin() + 2, longNumber.begin() + 18}},
        {class80, 0x9000, Hex("5B 02 01 02"), {}},
        {class80, 0x9000, Hex("5A 03 01 02"), {}},
        {class80, 0x9000, Hex("5A"), {}},
        {class80, 0x6A82, {}, {}},  // no read after the refused select
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        fake.InsertCard(c.family);
        fake.ClearSent();
        info = CardInfo{};
        fake.ReplySw(c.selectSw);
        if (c.selectSw == 0x9000)
            fake.ReplyData(c.answer, 0x9000);
        ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
        EXPECT_EQ(info.variant, c.family == tcos ? kCardVariantTcos12 : kCardVariantClass80);
        EXPECT_EQ(fake.Sent()[0].Bytes(),
                  c.family == tcos ? Hex("B0 A4 02 0C 02 5A 49") : Hex("00 A4 02 0C 02 2F 02"));
        EXPECT_EQ(fake.Sent().size(), c.selectSw == 0x9000 ? 2u : 1u);
        EXPECT_EQ(std::vector<BYTE>(info.id, info.id + info.idLength), c.id);
        EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);
    }
}

TEST_F(SessionTest, FailedConnectLeavesNothingOpen) {
    // No service, refused, an empty reader, an unknown reader name: the
    // platform's result, and nothing for the caller to close.
    fake.establishResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(Connect(&info), SCARD_E_NO_SERVICE);
    EXPECT_EQ(context + card, 0u);
    fake.establishResult = SCARD_S_SUCCESS;
    fake.connectResult = SCARD_E_SHARING_VIOLATION;
    EXPECT_EQ(Connect(&info), SCARD_E_SHARING_VIOLATION);
    fake.connectResult = SCARD_S_SUCCESS;
    fake.RemoveCard();
    EXPECT_EQ(Connect(&info), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(context + card, 0u);
    fake.ReinsertCard();
    EXPECT_EQ(Connect(&info, u"No Such Reader"), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(context + card, 0u);
    ExpectNothingOpen();

    // When even the release fails, the caller keeps the context.
    fake.connectResult = SCARD_E_SHARING_VIOLATION;
    fake.releaseResult = SCARD_E_INVALID_HANDLE;
    EXPECT_EQ(Connect(&info), SCARD_E_SHARING_VIOLATION);
    EXPECT_NE(context, 0u);
    EXPECT_EQ(card, 0u);
}

TEST_F(SessionTest, DisconnectPrefersTheDisconnectFailure) {
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    fake.disconnectResult = SCARD_E_INVALID_HANDLE;
    fake.releaseResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(fake.releaseCalls, 1);  // released all the same
    fake.disconnectResult = fake.releaseResult = SCARD_S_SUCCESS;
    ASSERT_EQ(Connect(&info), SCARD_S_SUCCESS);
    fake.releaseResult = SCARD_E_NO_SERVICE;
    EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_E_NO_SERVICE);
}

}  // namespace
}  // namespace mltest
