// The card commands against the fake reader: each variant's commands on the
// emulated card of its family, the PCI and send length by protocol, the
// status word map, each command's own acceptances and hostile answers.
#include <cstring>
#include <functional>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

const DWORD kVariants[] = {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80};
const BYTE kPin[] = {'1', '2', '3', '4'};
using Command = std::function<LONG(SCARDHANDLE, const CardInfo&)>;

LONG Read(SCARDHANDLE card, const CardInfo& info, BYTE le) {
    BYTE buffer[240];
    DWORD received = 0;
    return readBinary(card, info, le, buffer, sizeof(buffer), &received);
}

class CommandTest : public FakeReaderTest {};

TEST_F(CommandTest, EachVariantWorksTheCardOfItsFamily) {
    // The emulated card refuses a class, instruction or parameter not its own.
    for (DWORD variant : kVariants) {
        SCOPED_TRACE(variant);
        SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
        fake.InsertCard(static_cast<cardsim::Family>(variant), {{0x5511, {}}});
        fake.Card().SetPin(Hex("31 32 33 34"));
        const BYTE data[] = {7, 8, 9};
        BYTE back[3] = {};
        DWORD received = 0;
        EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
        EXPECT_EQ(verifyPIN(card, info, kPin, 4), SCARD_S_SUCCESS);
        EXPECT_EQ(createFile(card, info, 0x1234, 3), SCARD_S_SUCCESS);
        if (variant == kCardVariantTcos12)
            createFile(card, info, 0x1234, 3);
        EXPECT_EQ(fake.Card().FileData(0x1234)->size(), 3u);
        EXPECT_EQ(selectEF(card, info, 0x1234), SCARD_S_SUCCESS);
        EXPECT_EQ(updateBinary(card, info, data, 3), SCARD_S_SUCCESS);
        EXPECT_EQ(readBinary(card, info, 3, back, 3, &received), SCARD_S_SUCCESS);
        EXPECT_EQ(std::vector<BYTE>(back, back + received), std::vector<BYTE>(data, data + 3));
        EXPECT_EQ(deleteFile(card, info, 0x5511), SCARD_S_SUCCESS);
        EXPECT_FALSE(fake.Card().FileData(0x5511));
    }
}

TEST_F(CommandTest, SendLengthAndPciFollowTheSessionProtocol) {
    // An empty body has no P3 byte under T=0; a protocol value the library
    // does not know (8) goes out with the raw PCI.
    const DWORD t0 = SCARD_PROTOCOL_T0, t1 = SCARD_PROTOCOL_T1, raw = SCARD_PROTOCOL_RAW;
    const Command select = [](auto c, auto& i) { return selectMF(c, i); };
    const Command read0 = [](auto c, auto& i) { return Read(c, i, 0); };
    const struct {
        DWORD variant, protocol, pci;
        Command command;
        const char* apdu;
    } cases[] = {
        {kCardVariantTcos12, t0, t0, select, "00 A4 00 00"},
        {kCardVariantTcos12, raw, raw, select, "00 A4 00 00 00"},
        {kCardVariantGeneric, t0, t0, read0, "00 B0 00 00"},
        {kCardVariantGeneric, t1, t1, read0, "00 B0 00 00 00"},
        {kCardVariantGeneric, 8, raw, read0, "00 B0 00 00 00"},
        {kCardVariantGeneric, t0, t0, [](auto c, auto& i) { return updateBinary(c, i, kPin, 0); },
         "00 D6 00 00"},
        {kCardVariantGeneric, t0, t0, [](auto c, auto& i) { return verifyPIN(c, i, kPin, 0); },
         "00 20 00 01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.apdu);
        SCARDHANDLE card = OpenCard(c.variant, c.pci);
        info.protocol = c.protocol;
        fake.ReplySw(0x9000);
        EXPECT_EQ(c.command(card, info), SCARD_S_SUCCESS);
        EXPECT_EQ(fake.Sent().back().Bytes(), Hex(c.apdu));
        EXPECT_EQ(fake.Sent().back().protocol, c.pci);
        EXPECT_EQ(fake.Sent().back().receiveCapacity, 300u);
    }
    // An unknown variant has no templates and sends nothing.
    fake.ClearSent();
    EXPECT_EQ(selectMF(OpenCard(3, SCARD_PROTOCOL_T1), info), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(fake.Sent().empty());
}

TEST_F(CommandTest, StatusWordsMapToResults) {
    const struct {
        LONG result;
        std::vector<WORD> sws;
    } map[] = {
        {SCARD_S_SUCCESS, {0x9000}},
        {SCARD_E_NO_MEMORY, {0x6200, 0x6281, 0x6282, 0x6300, 0x6581, 0x6A84}},
        {SCARD_E_FILE_NOT_FOUND, {0x6283, 0x6A82}},
        {SCARD_E_CARD_UNSUPPORTED, {0x6284}},
        {SCARD_E_WRITE_TOO_MANY, {0x6381}},
        {SCARD_E_INVALID_VALUE,
         {0x6700, 0x6987, 0x6988, 0x6A00, 0x6A80, 0x6A85, 0x6A86, 0x6A87, 0x6A89, 0x6A8A, 0x6B00,
          0x6D00, 0x6E00, 0x6600, 0x66F0}},
        {SCARD_E_UNSUPPORTED_FEATURE,
         {0x6800, 0x6881, 0x6882, 0x6900, 0x6981, 0x6985, 0x6A81, 0x6F00, 0x69F0}},
        {SCARD_W_SECURITY_VIOLATION, {0x6982}},
        {SCARD_W_CHV_BLOCKED, {0x6983}},
        {SCARD_E_DIR_NOT_FOUND, {0x6984, 0x6986, 0x6A83, 0x6A88}},
        {SCARD_E_UNEXPECTED, {0x0000, 0x6100, 0x6C10, 0x63C2, 0x9001, 0x6A8B, 0xFFFF}},
    };
    for (const auto& row : map) {
        for (WORD sw : row.sws) {
            EXPECT_EQ(MapStatusWord(sw), row.result) << std::hex << sw;
        }
        // Through a command without acceptances, so the map alone decides.
        SCARDHANDLE card = OpenCard(kCardVariantClass80, SCARD_PROTOCOL_T1);
        fake.ReplyData(Hex("01 02 03"), row.sws[0]);
        EXPECT_EQ(deleteFile(card, info, 0x5544), row.result) << std::hex << row.sws[0];
    }
}

TEST_F(CommandTest, EachCommandHasItsOwnAcceptances) {
    // 61xx only for selectMF, and no GET RESPONSE follows; 6E00 only on TCOS cards.
    const LONG ok = SCARD_S_SUCCESS, unexpected = SCARD_E_UNEXPECTED;
    const Command mf = [](auto c, auto& i) { return selectMF(c, i); };
    const Command ef = [](auto c, auto& i) { return selectEF(c, i, 0x5544); };
    const Command verify = [](auto c, auto& i) { return verifyPIN(c, i, kPin, 4); };
    const Command update = [](auto c, auto& i) { return updateBinary(c, i, kPin, 4); };
    const struct {
        const Command& command;
        WORD sw;
        LONG result[3];  // generic, TCOS, class 80
    } cases[] = {
        {mf, 0x6115, {ok, ok, ok}},
        {mf, 0x6E00, {SCARD_E_INVALID_VALUE, ok, SCARD_E_INVALID_VALUE}},
        {ef, 0x6115, {unexpected, unexpected, unexpected}},
        {verify, 0x6984, {ok, ok, ok}},
        {verify, 0x6A88, {ok, ok, ok}},
        {verify, 0x6A82, {SCARD_E_FILE_NOT_FOUND, ok, SCARD_E_FILE_NOT_FOUND}},
        {verify, 0x63C1, {unexpected, unexpected, unexpected}},
        {update, 0x6381, {ok, ok, ok}},
    };
    for (const auto& c : cases) {
        for (DWORD variant : kVariants) {
            SCOPED_TRACE(testing::Message() << std::hex << "SW " << c.sw << " variant " << variant);
            SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
            fake.ReplySw(c.sw);
            EXPECT_EQ(c.command(card, info), c.result[variant]);
            EXPECT_EQ(fake.Sent().size(), 1u);
            fake.ClearSent();
        }
    }
}

TEST_F(CommandTest, ReadBinaryCopiesOnlyTheDataItMay) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    // Data, data cut short by the end of the file (6282), a refusal, a card
    // that answers far more than asked for, and answers too short to carry
    // data: a lone 90 reads as 9000, three bytes as the last two, one byte
    // as that byte and 00, none at all as 0000.
    std::vector<BYTE> flood(298, 0x5A);
    flood.insert(flood.end(), {0x90, 0x00});
    const struct {
        std::vector<BYTE> answer;
        BYTE le;
        LONG result;
        DWORD received;
    } cases[] = {
        {Hex("11 22 33 90 00"), 3, SCARD_S_SUCCESS, 3},
        {Hex("44 55 62 82"), 8, SCARD_S_SUCCESS, 2},
        {Hex("66 77 6A 82"), 2, SCARD_E_FILE_NOT_FOUND, 0},
        {flood, 10, SCARD_S_SUCCESS, 10},
        {Hex("90"), 4, SCARD_S_SUCCESS, 0},
        {Hex("90 6A 82"), 4, SCARD_E_FILE_NOT_FOUND, 0},
        {Hex("6A"), 4, SCARD_E_INVALID_VALUE, 0},
        {{}, 4, SCARD_E_UNEXPECTED, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        BYTE buffer[16];
        std::memset(buffer, 0xEE, sizeof(buffer));
        DWORD received = 99;
        fake.Reply(c.answer);
        // The buffer offered is Le bytes; what lies beyond must stay untouched.
        EXPECT_EQ(readBinary(card, info, c.le, buffer, c.le, &received), c.result);
        ASSERT_EQ(received, c.received);
        EXPECT_EQ(std::vector<BYTE>(buffer, buffer + received),
                  std::vector<BYTE>(c.answer.begin(), c.answer.begin() + received));
        EXPECT_EQ(std::vector<BYTE>(buffer + received, buffer + 16),
                  std::vector<BYTE>(16 - received, 0xEE));
    }
}

TEST_F(CommandTest, TransmitFailureIsReturnedUnchanged) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    BYTE buffer[300];
    DWORD received = 5;
    fake.FailTransmit(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(selectMF(card, info), SCARD_E_NOT_TRANSACTED);
    fake.FailTransmit(SCARD_W_REMOVED_CARD);
    EXPECT_EQ(readBinary(card, info, 4, buffer, 4, &received), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(received, 0u);
    // A service that reports more bytes than the buffer holds is not believed.
    fake.overstateReceived = 1;
    fake.ReplyData(std::vector<BYTE>(298, 0x5A), 0x9000);
    received = 5;
    EXPECT_EQ(readBinary(card, info, 0, buffer, sizeof(buffer), &received),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(received, 0u);
}

}  // namespace
}  // namespace mltest
