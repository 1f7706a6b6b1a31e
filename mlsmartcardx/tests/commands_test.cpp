// The card commands against the fake reader: the APDUs byte for byte, the
// PCI and send length by protocol, the status word map and each command's
// own acceptances.
#include <array>
#include <cstring>

#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

const DWORD kVariants[] = {kCardVariantGeneric, kCardVariantTcos12, kCardVariantClass80};

class CommandTest : public FakeReaderTest {};

// Runs `command` on a fresh card of each variant, answered 9000, and checks
// the one APDU it sent.
template <typename Command>
void ExpectApdus(CommandTest* test, DWORD protocol, Command command,
                 const std::array<std::string, 3>& expected) {
    for (DWORD variant : kVariants) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        SCARDHANDLE card = test->OpenCard(variant, protocol);
        test->fake.ClearSent();
        test->fake.ReplySw(0x9000);
        EXPECT_EQ(command(card, test->info), SCARD_S_SUCCESS);
        ASSERT_EQ(test->fake.Sent().size(), 1u);
        EXPECT_EQ(test->fake.Sent()[0].Bytes(), Hex(expected[variant]));
        EXPECT_EQ(test->fake.Sent()[0].receiveCapacity, kReceiveLength);
    }
}

TEST_F(CommandTest, EachCommandSendsItsTemplateForEachVariant) {
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) { return selectMF(c, i); },
                {"00 A4 00 00 02 3F 00", "00 A4 00 00 00", "00 A4 00 0C 02 3F 00"});
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) { return selectEF(c, i, 0x5544); },
                {"00 A4 02 0C 02 55 44", "B0 A4 02 0C 02 55 44", "00 A4 02 0C 02 55 44"});
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) { return createFile(c, i, 0x5544, 0xF0); },
                {"00 E0 00 00 17 62 15 81 01 F0 82 01 01 83 02 55 44 8A 01 01 8C 06 67 00 00 00 "
                 "00 00",
                 "B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 F0",
                 "80 E0 00 00 23 81 02 00 F0 82 01 01 83 02 55 44 85 02 01 00 86 12 60 00 00 00 "
                 "FF FF D6 00 00 00 FF FF B0 00 00 00 FF FF"});
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) { return deleteFile(c, i, 0x5511); },
                {"00 E4 00 0C 02 55 11", "B0 E4 00 00 02 55 11", "80 E4 00 00 02 55 11"});
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) {
                    BYTE buffer[240];
                    DWORD received = 0;
                    return readBinary(c, i, 0xF0, buffer, sizeof(buffer), &received);
                },
                {"00 B0 00 00 F0", "B0 B0 00 00 F0", "00 B0 00 00 F0"});
    ExpectApdus(this, SCARD_PROTOCOL_T1,
                [](SCARDHANDLE c, const CardInfo& i) {
                    const BYTE data[] = {0x01, 0x02, 0x03};
                    return updateBinary(c, i, data, 3);
                },
                {"00 D6 00 00 03 01 02 03", "B0 D6 00 00 03 01 02 03", "00 D6 00 00 03 01 02 03"});
    ExpectApdus(
        this, SCARD_PROTOCOL_T1,
        [](SCARDHANDLE c, const CardInfo& i) {
            const BYTE pin[] = {'1', '2', '3', '4'};
            return verifyPIN(c, i, pin, 4);
        },
        {"00 20 00 01 04 31 32 33 34", "B0 20 00 00 04 31 32 33 34", "00 20 00 01 04 31 32 33 34"});
}

TEST_F(CommandTest, CallerValuesReplaceTheStoredOnes) {
    // The generic create row carries F0 / 55 44; other values overwrite them.
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    fake.ReplySw(0x9000);
    EXPECT_EQ(createFile(card, info, 0x1234, 0x2A), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent()[0].Bytes(),
              Hex("00 E0 00 00 17 62 15 81 01 2A 82 01 01 83 02 12 34 8A 01 01 8C 06 67 00 00 00 "
                  "00 00"));
}

TEST_F(CommandTest, EmptyBodyHasNoP3UnderT0) {
    // selectMF of a TCOS card: 4 bytes under T=0, 5 otherwise.
    SCARDHANDLE card = OpenCard(kCardVariantTcos12, SCARD_PROTOCOL_T0);
    fake.ReplySw(0x9000);
    EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().back().Bytes(), Hex("00 A4 00 00"));

    card = OpenCard(kCardVariantTcos12, SCARD_PROTOCOL_RAW);
    fake.ReplySw(0x9000);
    EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().back().Bytes(), Hex("00 A4 00 00 00"));

    // readBinary with Le 0, updateBinary and verifyPIN without data.
    card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T0);
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    fake.ReplySw(0x9000);
    BYTE buffer[8];
    DWORD received = 99;
    EXPECT_EQ(readBinary(card, info, 0, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(updateBinary(card, info, nullptr, 0), SCARD_S_SUCCESS);
    EXPECT_EQ(verifyPIN(card, info, reinterpret_cast<const BYTE*>(""), 0), SCARD_S_SUCCESS);
    auto sent = fake.SentBytes();
    EXPECT_EQ(sent[sent.size() - 3], Hex("00 B0 00 00"));
    EXPECT_EQ(sent[sent.size() - 2], Hex("00 D6 00 00"));
    EXPECT_EQ(sent[sent.size() - 1], Hex("00 20 00 01"));

    card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    fake.ReplySw(0x9000);
    EXPECT_EQ(readBinary(card, info, 0, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().back().Bytes(), Hex("00 B0 00 00 00"));
}

TEST_F(CommandTest, PciFollowsTheSessionProtocol) {
    const std::pair<DWORD, DWORD> cases[] = {{SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0},
                                             {SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1},
                                             {SCARD_PROTOCOL_RAW, SCARD_PROTOCOL_RAW}};
    for (auto [protocol, pci] : cases) {
        SCARDHANDLE card = OpenCard(kCardVariantGeneric, protocol);
        fake.ReplySw(0x9000);
        EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_S_SUCCESS);
        EXPECT_EQ(fake.Sent().back().protocol, pci);
    }
    // A protocol value the library does not know goes out with the raw PCI.
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    info.protocol = 0x8;
    fake.ReplySw(0x9000);
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_S_SUCCESS);
    EXPECT_EQ(fake.Sent().back().protocol, SCARD_PROTOCOL_RAW);
}

TEST_F(CommandTest, UnknownVariantSendsNothing) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    info.variant = 3;
    EXPECT_EQ(FindApduTemplate(kCmdSelectMF, 3), nullptr);
    EXPECT_EQ(selectMF(card, info), SCARD_E_INVALID_PARAMETER);
    EXPECT_TRUE(fake.Sent().empty());
}

struct SwCase {
    WORD sw;
    LONG result;
};

const SwCase kStatusWordMap[] = {
    {0x9000, SCARD_S_SUCCESS},
    {0x6200, SCARD_E_NO_MEMORY},
    {0x6281, SCARD_E_NO_MEMORY},
    {0x6282, SCARD_E_NO_MEMORY},
    {0x6300, SCARD_E_NO_MEMORY},
    {0x6581, SCARD_E_NO_MEMORY},
    {0x6A84, SCARD_E_NO_MEMORY},
    {0x6283, SCARD_E_FILE_NOT_FOUND},
    {0x6A82, SCARD_E_FILE_NOT_FOUND},
    {0x6284, SCARD_E_CARD_UNSUPPORTED},
    {0x6381, SCARD_E_WRITE_TOO_MANY},
    {0x6700, SCARD_E_INVALID_VALUE},
    {0x6987, SCARD_E_INVALID_VALUE},
    {0x6988, SCARD_E_INVALID_VALUE},
    {0x6A00, SCARD_E_INVALID_VALUE},
    {0x6A80, SCARD_E_INVALID_VALUE},
    {0x6A85, SCARD_E_INVALID_VALUE},
    {0x6A86, SCARD_E_INVALID_VALUE},
    {0x6A87, SCARD_E_INVALID_VALUE},
    {0x6A89, SCARD_E_INVALID_VALUE},
    {0x6A8A, SCARD_E_INVALID_VALUE},
    {0x6B00, SCARD_E_INVALID_VALUE},
    {0x6D00, SCARD_E_INVALID_VALUE},
    {0x6E00, SCARD_E_INVALID_VALUE},
    {0x6600, SCARD_E_INVALID_VALUE},
    {0x66F0, SCARD_E_INVALID_VALUE},
    {0x6800, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6881, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6882, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6900, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6981, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6985, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6A81, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6F00, SCARD_E_UNSUPPORTED_FEATURE},
    {0x69F0, SCARD_E_UNSUPPORTED_FEATURE},
    {0x6982, SCARD_W_SECURITY_VIOLATION},
    {0x6983, SCARD_W_CHV_BLOCKED},
    {0x6984, SCARD_E_DIR_NOT_FOUND},
    {0x6986, SCARD_E_DIR_NOT_FOUND},
    {0x6A83, SCARD_E_DIR_NOT_FOUND},
    {0x6A88, SCARD_E_DIR_NOT_FOUND},
    // Not in the map.
    {0x0000, SCARD_E_UNEXPECTED},
    {0x6100, SCARD_E_UNEXPECTED},
    {0x6C10, SCARD_E_UNEXPECTED},
    {0x63C2, SCARD_E_UNEXPECTED},
    {0x9001, SCARD_E_UNEXPECTED},
    {0x6A8B, SCARD_E_UNEXPECTED},
    {0xFFFF, SCARD_E_UNEXPECTED},
};

TEST_F(CommandTest, StatusWordsMapToResults) {
    // Through a command without acceptances, so the map alone decides.
    for (const SwCase& c : kStatusWordMap) {
        SCOPED_TRACE(testing::Message() << std::hex << "SW " << c.sw);
        EXPECT_EQ(MapStatusWord(c.sw), c.result);
        for (DWORD variant : kVariants) {
            SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
            fake.ReplySw(c.sw);
            EXPECT_EQ(selectEF(card, info, 0x5544), c.result);
            fake.ReplyData(Hex("01 02 03"), c.sw);
            EXPECT_EQ(deleteFile(card, info, 0x5544), c.result);
            fake.ReplySw(c.sw);
            EXPECT_EQ(createFile(card, info, 0x5544, 0xF0), c.result);
        }
    }
}

TEST_F(CommandTest, SelectMasterFileAcceptsMoreData) {
    for (DWORD variant : kVariants) {
        SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
        fake.ClearSent();
        fake.ReplySw(0x6100);
        EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
        fake.ReplySw(0x6115);
        EXPECT_EQ(selectMF(card, info), SCARD_S_SUCCESS);
        // Only selectMF: a 61xx elsewhere is unexpected, and no GET RESPONSE follows.
        fake.ReplySw(0x6115);
        EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_UNEXPECTED);
        EXPECT_EQ(fake.Sent().size(), 3u);
        fake.ClearSent();
        // 6E00 only on TCOS cards.
        fake.ReplySw(0x6E00);
        EXPECT_EQ(selectMF(card, info),
                  variant == kCardVariantTcos12 ? SCARD_S_SUCCESS : SCARD_E_INVALID_VALUE);
    }
}

TEST_F(CommandTest, VerifyPinAcceptances) {
    const BYTE pin[] = {'1', '2'};
    for (DWORD variant : kVariants) {
        SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
        fake.ReplySw(0x6984);
        EXPECT_EQ(verifyPIN(card, info, pin, 2), SCARD_S_SUCCESS);
        fake.ReplySw(0x6A88);
        EXPECT_EQ(verifyPIN(card, info, pin, 2), SCARD_S_SUCCESS);
        fake.ReplySw(0x6A82);
        EXPECT_EQ(verifyPIN(card, info, pin, 2),
                  variant == kCardVariantTcos12 ? SCARD_S_SUCCESS : SCARD_E_FILE_NOT_FOUND);
        fake.ReplySw(0x6982);
        EXPECT_EQ(verifyPIN(card, info, pin, 2), SCARD_W_SECURITY_VIOLATION);
        fake.ReplySw(0x63C1);
        EXPECT_EQ(verifyPIN(card, info, pin, 2), SCARD_E_UNEXPECTED);
    }
}

TEST_F(CommandTest, UpdateBinaryAcceptsWarning6381) {
    const BYTE data[] = {0xAA};
    for (DWORD variant : kVariants) {
        SCARDHANDLE card = OpenCard(variant, SCARD_PROTOCOL_T1);
        fake.ReplySw(0x6381);
        EXPECT_EQ(updateBinary(card, info, data, 1), SCARD_S_SUCCESS);
        fake.ReplySw(0x6282);
        EXPECT_EQ(updateBinary(card, info, data, 1), SCARD_E_NO_MEMORY);
    }
}

TEST_F(CommandTest, ReadBinaryCopiesTheDataBeforeTheStatusWord) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    BYTE buffer[16];
    DWORD received = 0;

    std::memset(buffer, 0xEE, sizeof(buffer));
    fake.ReplyData(Hex("11 22 33"), 0x9000);
    EXPECT_EQ(readBinary(card, info, 3, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 4), Hex("11 22 33 EE"));

    // End of file reached before Le: success with the bytes that came.
    std::memset(buffer, 0xEE, sizeof(buffer));
    fake.ReplyData(Hex("44 55"), 0x6282);
    EXPECT_EQ(readBinary(card, info, 8, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), Hex("44 55 EE"));

    // Any other status word: nothing copied, nothing reported.
    std::memset(buffer, 0xEE, sizeof(buffer));
    fake.ReplyData(Hex("66 77"), 0x6A82);
    EXPECT_EQ(readBinary(card, info, 2, buffer, sizeof(buffer), &received), SCARD_E_FILE_NOT_FOUND);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(CommandTest, ReadBinaryNeverWritesBeyondTheCallersBuffer) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    // A card that answers far more than asked for.
    struct {
        BYTE data[10];
        BYTE guard[8];
    } buffer;
    std::memset(&buffer, 0xEE, sizeof(buffer));
    fake.ReplyData(std::vector<BYTE>(298, 0x5A), 0x9000);
    DWORD received = 0;
    EXPECT_EQ(readBinary(card, info, 10, buffer.data, sizeof(buffer.data), &received),
              SCARD_S_SUCCESS);
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(std::vector<BYTE>(buffer.guard, buffer.guard + 8), std::vector<BYTE>(8, 0xEE));
}

TEST_F(CommandTest, ShortAnswersAreReadFromTheStartOfTheBuffer) {
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    // One byte: that byte and 00.
    fake.Reply(Hex("6A"));
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_INVALID_VALUE);  // 6A00
    fake.Reply(Hex("6E"));
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_INVALID_VALUE);  // 6E00
    fake.Reply(Hex("61"));
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_UNEXPECTED);  // 6100
    // No answer at all.
    fake.Reply({});
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_UNEXPECTED);
    // A lone 90 reads as 9000: a read of it delivers no data and no garbage.
    BYTE buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    DWORD received = 7;
    fake.Reply(Hex("90"));
    EXPECT_EQ(readBinary(card, info, 4, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
    // Two bytes: the status word itself; three: the last two.
    fake.Reply(Hex("90 00"));
    EXPECT_EQ(readBinary(card, info, 4, buffer, sizeof(buffer), &received), SCARD_S_SUCCESS);
    EXPECT_EQ(received, 0u);
    fake.Reply(Hex("90 6A 82"));
    EXPECT_EQ(readBinary(card, info, 4, buffer, sizeof(buffer), &received), SCARD_E_FILE_NOT_FOUND);
}

TEST_F(CommandTest, TransmitFailureIsReturnedUnchanged) {
    for (LONG failure : {SCARD_E_NOT_TRANSACTED, SCARD_W_REMOVED_CARD, SCARD_E_INVALID_HANDLE}) {
        SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
        fake.FailTransmit(failure);
        EXPECT_EQ(selectMF(card, info), failure);
        fake.FailTransmit(failure);
        BYTE buffer[4];
        DWORD received = 5;
        EXPECT_EQ(readBinary(card, info, 4, buffer, sizeof(buffer), &received), failure);
        EXPECT_EQ(received, 0u);
        fake.FailTransmit(failure);
        EXPECT_EQ(verifyPIN(card, info, buffer, 1), failure);
    }
}

TEST_F(CommandTest, FailuresAndAnswersAreReportedToTheHook) {
    DiagnosticCollector diag;
    SCARDHANDLE card = OpenCard(kCardVariantGeneric, SCARD_PROTOCOL_T1);
    fake.ReplySw(0x6A82);
    EXPECT_EQ(selectEF(card, info, 0x5544), SCARD_E_FILE_NOT_FOUND);
    EXPECT_TRUE(diag.Contains("select file receive length: 0x00000002 \tSW: 0x6a82\n"));
    EXPECT_TRUE(diag.Contains("ScardTransmit(select file) failed lRet = 0x80100024\n"));
    fake.FailTransmit(SCARD_E_NOT_TRANSACTED);
    BYTE buffer[2];
    DWORD received;
    EXPECT_EQ(readBinary(card, info, 2, buffer, 2, &received), SCARD_E_NOT_TRANSACTED);
    EXPECT_TRUE(diag.Contains("SCardTransmit(read binary) failed lRet = 0x80100016"));
    EXPECT_FALSE(diag.AnyContains("read binary receive length"));
    for (const auto& entry : diag.entries()) {
        EXPECT_EQ(entry.level, 0);
        EXPECT_EQ(entry.source, "mlsmartcard");
        EXPECT_EQ(entry.library, "smartcard.lib");
        EXPECT_GT(entry.line, 0);
    }
}

}  // namespace
}  // namespace mltest
