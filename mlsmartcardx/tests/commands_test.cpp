// The card commands against the fake reader: the APDUs byte for byte, the
// PCI and send length by protocol, the status word map and each command's
// own acceptances.
#include <cstring>
#include <functional>

#include "mlsmartcardx/card_tables_internal.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

const DWORD kVariants[] = {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80};
const BYTE kData[] = {0x01, 0x02, 0x03};
const BYTE kPin[] = {'1', '2', '3', '4'};

using Command = std::function<LONG(SCARDHANDLE, const CardInfo&)>;

LONG Read(SCARDHANDLE card, const CardInfo& info, BYTE le) {
    BYTE buffer[240];
    DWORD received = 0;
    return readBinary(card, info, le, buffer, sizeof(buffer), &received);
}

// The seven commands, as the tables below name them.
const Command kSelectMF = [](SCARDHANDLE c, const CardInfo& i) { return selectMF(c, i); };
const Command kSelectEF = [](SCARDHANDLE c, const CardInfo& i) { return selectEF(c, i, 0x5544); };
const Command kCreate = [](SCARDHANDLE c, const CardInfo& i) {
    return createFile(c, i, 0x1234, 0x2A);
};
const Command kDelete = [](SCARDHANDLE c, const CardInfo& i) { return deleteFile(c, i, 0x5511); };
const Command kRead = [](SCARDHANDLE c, const CardInfo& i) { return Read(c, i, 0xF0); };
const Command kUpdate = [](SCARDHANDLE c, const CardInfo& i) {
    return updateBinary(c, i, kData, 3);
};
const Command kVerify = [](SCARDHANDLE c, const CardInfo& i) { return verifyPIN(c, i, kPin, 4); };

class CommandTest : public FakeReaderTest {};

TEST_F(CommandTest, EachCommandSendsItsTemplateForEachVariant) {
    // Caller values (file 1234, size 2A) replace the stored ones of the create templates.
    const struct {
        const Command& command;
        const char* apdu[3];  // generic, TCOS, class 80
    } cases[] = {
        {kSelectMF, {"00 A4 00 00 02 3F 00", "00 A4 00 00 00", "00 A4 00 0C 02 3F 00"}},
        {kSelectEF, {"00 A4 02 0C 02 55 44", "B0 A4 02 0C 02 55 44", "00 A4 02 0C 02 55 44"}},
        {kCreate,
         {"00 E0 00 00 17 62 15 81 01 2A 82 01 01 83 02 12 34 8A 01 01 8C 06 67 00 00 00 00 00",
          "B0 E0 00 00 0A 12 34 FF FF 80 FF 00 00 00 2A",
          "80 E0 00 00 23 81 02 00 2A 82 01 01 83 02 12 34 85 02 01 00 86 12 60 00 00 00 FF FF D6 "
          "00 00 00 FF FF B0 00 00 00 FF FF"}},
        {kDelete, {"00 E4 00 0C 02 55 11", "B0 E4 00 00 02 55 11", "80 E4 00 00 02 55 11"}},
        {kRead, {"00 B0 00 00 F0", "B0 B0 00 00 F0", "00 B0 00 00 F0"}},
        {kUpdate,
         {"00 D6 00 00 03 01 02 03", "B0 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03"}},
        {kVerify,
         {"00 20 00 01 04 31 32 33 34", "B0 20 00 00 04 31 32 33 34",
          "00 20 00 01 04 31 32 33 34"}},
    };
    for (const auto& c : cases) {
        for (DWORD variant : kVariants) {
            SCOPED_TRACE(c.apdu[variant]);
            SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
            fake.ClearSent();
            fake.ReplySw(0x9000);
            EXPECT_EQ(c.command(card, info), SCARD_S_SUCCESS);
            ASSERT_EQ(fake.Sent().size(), 1u);
            EXPECT_EQ(fake.Sent()[0].Bytes(), Hex(c.apdu[variant]));
            EXPECT_EQ(fake.Sent()[0].receiveCapacity, 300u);
        }
    }
}

TEST_F(CommandTest, SendLengthAndPciFollowTheSessionProtocol) {
    // An empty body has no P3 byte under T=0; a protocol value the library
    // does not know (8) goes out with the raw PCI.
    const DWORD t0 = SCARD_PROTOCOL_T0, t1 = SCARD_PROTOCOL_T1, raw = SCARD_PROTOCOL_RAW;
    const Command read0 = [](auto c, auto& i) { return Read(c, i, 0); };
    const struct {
        DWORD variant, protocol, pci;
        Command command;
        const char* apdu;
    } cases[] = {
        {kCardVariantTcos12, t0, t0, kSelectMF, "00 A4 00 00"},
        {kCardVariantTcos12, raw, raw, kSelectMF, "00 A4 00 00 00"},
        {kCardVariantGeneric, t0, t0, read0, "00 B0 00 00"},
        {kCardVariantGeneric, t1, t1, read0, "00 B0 00 00 00"},
        {kCardVariantGeneric, 8, raw, read0, "00 B0 00 00 00"},
        {kCardVariantGeneric, t0, t0,
         [](auto c, auto& i) { return updateBinary(c, i, nullptr, 0); }, "00 D6 00 00"},
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
    }
    // An unknown variant has no templates and sends nothing.
    fake.ClearSent();
    SCARDHANDLE card = OpenCard(3, SCARD_PROTOCOL_T1);
    EXPECT_EQ(FindApduTemplate(kCmdSelectMF, 3), nullptr);
    EXPECT_EQ(selectMF(card, info), SCARD_E_INVALID_PARAMETER);
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
        // Not in the map.
        {SCARD_E_UNEXPECTED, {0x0000, 0x6100, 0x6C10, 0x63C2, 0x9001, 0x6A8B, 0xFFFF}},
    };
    // Through a command without acceptances, so the map alone decides.
    for (const auto& row : map) {
        for (WORD sw : row.sws) {
            SCOPED_TRACE(testing::Message() << std::hex << "SW " << sw);
            EXPECT_EQ(MapStatusWord(sw), row.result);
            for (DWORD variant : kVariants) {
                SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
                fake.ReplyData(Hex("01 02 03"), sw);
                EXPECT_EQ(deleteFile(card, info, 0x5544), row.result);
            }
        }
    }
}

TEST_F(CommandTest, EachCommandHasItsOwnAcceptances) {
    // 61xx only for selectMF, and no GET RESPONSE follows; 6E00 only on TCOS cards.
    const struct {
        const Command& command;
        WORD sw;
        LONG result[3];  // generic, TCOS, class 80
    } cases[] = {
        {kSelectMF, 0x6100, {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS}},
        {kSelectMF, 0x6115, {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS}},
        {kSelectMF, 0x6E00, {SCARD_E_INVALID_VALUE, SCARD_S_SUCCESS, SCARD_E_INVALID_VALUE}},
        {kSelectEF, 0x6115, {SCARD_E_UNEXPECTED, SCARD_E_UNEXPECTED, SCARD_E_UNEXPECTED}},
        {kVerify, 0x6984, {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS}},
        {kVerify, 0x6A88, {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS}},
        {kVerify, 0x6A82, {SCARD_E_FILE_NOT_FOUND, SCARD_S_SUCCESS, SCARD_E_FILE_NOT_FOUND}},
        {kVerify,
         0x6982,
         {SCARD_W_SECURITY_VIOLATION, SCARD_W_SECURITY_VIOLATION, SCARD_W_SECURITY_VIOLATION}},
        {kVerify, 0x63C1, {SCARD_E_UNEXPECTED, SCARD_E_UNEXPECTED, SCARD_E_UNEXPECTED}},
        {kUpdate, 0x6381, {SCARD_S_SUCCESS, SCARD_S_SUCCESS, SCARD_S_SUCCESS}},
        {kUpdate, 0x6282, {SCARD_E_NO_MEMORY, SCARD_E_NO_MEMORY, SCARD_E_NO_MEMORY}},
    };
    for (const auto& c : cases) {
        for (DWORD variant : kVariants) {
            SCOPED_TRACE(testing::Message() << std::hex << "SW " << c.sw << " variant " << variant);
            SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
            fake.ClearSent();
            fake.ReplySw(c.sw);
            EXPECT_EQ(c.command(card, info), c.result[variant]);
            EXPECT_EQ(fake.Sent().size(), 1u);
        }
    }
}

TEST_F(CommandTest, ReadBinaryCopiesOnlyTheDataItMay) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    // Data, data cut short by the end of the file (6282), a refusal, a card
    // that answers far more than asked for, and answers too short to carry data.
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
        {Hex("90"), 4, SCARD_S_SUCCESS, 0},  // a lone 90 reads as 9000
        {Hex("90 00"), 4, SCARD_S_SUCCESS, 0},
        {Hex("90 6A 82"), 4, SCARD_E_FILE_NOT_FOUND, 0},  // three bytes: the last two
        // One byte: that byte and 00; no answer at all: 0000.
        {Hex("6A"), 4, SCARD_E_INVALID_VALUE, 0},
        {Hex("61"), 4, SCARD_E_UNEXPECTED, 0},
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

TEST_F(CommandTest, TransmitFailureIsReturnedUnchangedAndReported) {
    DiagnosticCollector diag;
    for (LONG failure : {SCARD_E_NOT_TRANSACTED, SCARD_W_REMOVED_CARD}) {
        SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
        fake.FailTransmit(failure);
        EXPECT_EQ(selectMF(card, info), failure);
        fake.FailTransmit(failure);
        BYTE buffer[4];
        DWORD received = 5;
        EXPECT_EQ(readBinary(card, info, 4, buffer, sizeof(buffer), &received), failure);
        EXPECT_EQ(received, 0u);
    }
    EXPECT_TRUE(diag.AnyContains("SCardTransmit(read binary) failed lRet = 0x80100016"));
    EXPECT_FALSE(diag.AnyContains("read binary receive length"));
    for (const auto& entry : diag.entries()) {
        EXPECT_EQ(entry.level, 0);
        EXPECT_EQ(entry.source, "mlsmartcard");
        EXPECT_EQ(entry.library, "smartcard.lib");
        EXPECT_GT(entry.line, 0);
    }
    // A service that reports more bytes than the buffer holds is not believed.
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    fake.overstateReceived = 1;
    fake.ReplyData(std::vector<BYTE>(298, 0x5A), 0x9000);
    BYTE buffer[300];
    DWORD received = 5;
    EXPECT_EQ(readBinary(card, info, 0, buffer, sizeof(buffer), &received),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(received, 0u);
}

}  // namespace
}  // namespace mltest
