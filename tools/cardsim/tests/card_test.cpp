#include "cardsim/card.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;
using test::TempDir;

// Command APDUs as the card library and the terminal path build them.
constexpr std::string_view kGenericCreateUnique =
    "00 E0 00 00 17 62 15 81 01 F0 82 01 01 83 02 55 44 8A 01 01 8C 06 67 00 00 00 00 00";
constexpr std::string_view kTcosCreateUnique = "B0 E0 00 00 0A 55 44 FF FF 80 FF 00 00 00 F0";
std::string Class80Create(std::string_view size, std::string_view fid) {
    return "80 E0 00 00 23 81 02 00 " + std::string(size) + " 82 01 01 83 02 " + std::string(fid) +
           " 85 02 01 00 86 12 60 00 00 00 FF FF D6 00 00 00 FF FF B0 00 00 00 FF FF";
}

std::uint16_t Sw(const Bytes& r) {
    return StatusOf(r);
}
Bytes Data(const Bytes& r) {
    return r.size() < 2 ? Bytes{} : Bytes(r.begin(), r.end() - 2);
}

class CardTest : public ::testing::Test {
  protected:
    std::string Image() const { return dir_.File("card.img"); }
    static Bytes Send(Card& card, std::string_view hex) { return card.Transmit(H(hex)); }

    TempDir dir_;
};

// ---- generic ISO 7816-4 card ------------------------------------------------------------

TEST_F(CardTest, GenericCreateSelectUpdateReadDelete) {
    Card card(Family::generic, Image());
    EXPECT_EQ(card.Atr(), AtrOf(Family::generic));

    const Bytes mf = Send(card, "00 A4 00 00 02 3F 00");
    EXPECT_EQ(Sw(mf), sw::kOk);
    EXPECT_EQ(Data(mf), H("62 0A 82 01 38 83 02 3F 00 8A 01 05")) << "FCP of the master file";

    EXPECT_EQ(Sw(Send(card, kGenericCreateUnique)), sw::kOk);
    EXPECT_EQ(card.FileData(0x5544), Bytes(240, 0x00));

    const Bytes fcp = Send(card, "00 A4 02 00 02 55 44");
    EXPECT_EQ(Data(fcp), H("62 0E 80 02 00 F0 82 01 01 83 02 55 44 8A 01 05"));
    EXPECT_EQ(Send(card, "00 A4 02 0C 02 55 44"), H("90 00")) << "P2 0C answers no data";

    Bytes record(240, 0);
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<std::uint8_t>(i);
    }
    Bytes update = H("00 D6 00 00 F0");
    update.insert(update.end(), record.begin(), record.end());
    EXPECT_EQ(Sw(card.Transmit(update)), sw::kOk);
    const Bytes read = Send(card, "00 B0 00 00 F0");
    EXPECT_EQ(Sw(read), sw::kOk);
    EXPECT_EQ(Data(read), record);
    EXPECT_EQ(Data(Send(card, "00 B0 00 EE 02")), H("EE EF")) << "read at an offset";

    EXPECT_EQ(Sw(Send(card, "00 E4 00 0C 02 55 44")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 44")), sw::kFileNotFound);
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 01")), sw::kNoCurrentEf)
        << "deleting the current file leaves the master file selected";
    EXPECT_FALSE(card.FileData(0x5544));
}

TEST_F(CardTest, GenericRefusals) {
    Card card(Family::generic, Image());
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 10")), sw::kNoCurrentEf);
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 44")), sw::kFileNotFound);
    EXPECT_EQ(Sw(Send(card, "00 E4 00 0C 02 55 44")), sw::kFileNotFound);
    EXPECT_EQ(Sw(Send(card, "00 E4 00 0C 02 3F 00")), sw::kConditionsNotSatisfied);
    EXPECT_EQ(Sw(Send(card, kGenericCreateUnique)), sw::kOk);
    EXPECT_EQ(Sw(Send(card, kGenericCreateUnique)), sw::kFileExists);

    // The wrong class, unknown instructions, unsupported parameters.
    EXPECT_EQ(Sw(Send(card, "B0 A4 02 0C 02 55 44")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "80 E0 00 00 02 00 00")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "00 CA 00 00 00")), sw::kInsNotSupported);
    EXPECT_EQ(Sw(Send(card, "00 A4 04 00 02 A0 00")), sw::kIncorrectP1P2);
    EXPECT_EQ(Sw(Send(card, "00 A4 02 08 02 55 44")), sw::kIncorrectP1P2);
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 03 55 44 00")), sw::kWrongLength);

    // Malformed file descriptions.
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 09 81 01 10 83 02 55 11 82 01")), sw::kIncorrectData)
        << "no 62 template, truncated";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 07 62 05 81 01 10 83 02")), sw::kIncorrectData)
        << "template longer than the data";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 05 62 03 81 01 10")), sw::kIncorrectData)
        << "no identifier";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 06 62 04 83 02 55 11")), sw::kIncorrectData) << "no size";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 0C 62 0A 81 01 10 82 01 38 83 02 55 11")),
              sw::kFunctionNotSupported)
        << "a DF";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 0C 62 0A 81 01 10 82 01 01 83 02 3F 00")),
              sw::kIncorrectData)
        << "the master file's identifier";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 0A 62 08 80 02 80 00 83 02 55 11")), sw::kNotEnoughMemory)
        << "32 KiB";
    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 0A 62 08 80 02 00 20 83 02 55 11")), sw::kOk)
        << "size in tag 80";
    EXPECT_EQ(card.FileData(0x5511), Bytes(32, 0));
}

TEST_F(CardTest, ReadAndUpdateAtTheEndOfAFile) {
    Card card(Family::generic, Image());
    ASSERT_EQ(Sw(Send(card, "00 E0 00 00 09 62 07 81 01 04 83 02 55 11")), sw::kOk);
    ASSERT_EQ(Sw(Send(card, "00 D6 00 00 04 01 02 03 04")), sw::kOk);

    EXPECT_EQ(Send(card, "00 B0 00 00 2C"), H("01 02 03 04 62 82")) << "fewer bytes than Le";
    EXPECT_EQ(Send(card, "00 B0 00 02 00"), H("03 04 62 82")) << "Le 00 = 256";
    EXPECT_EQ(Send(card, "00 B0 00 00"), H("01 02 03 04 62 82")) << "no Le reads up to 256";
    EXPECT_EQ(Send(card, "00 B0 00 04 01"), H("62 82")) << "at the very end";
    EXPECT_EQ(Sw(Send(card, "00 B0 00 05 01")), sw::kWrongOffset);
    EXPECT_EQ(Sw(Send(card, "00 B0 81 00 01")), sw::kFileNotFound) << "short EF identifier";

    EXPECT_EQ(Sw(Send(card, "00 D6 00 03 02 AA BB")), sw::kWrongLength) << "one byte past the end";
    EXPECT_EQ(Sw(Send(card, "00 D6 00 05 01 AA")), sw::kWrongOffset);
    EXPECT_EQ(Sw(Send(card, "00 D6 00 00")), sw::kWrongLength) << "no data";
    EXPECT_EQ(Sw(Send(card, "00 D6 00 03 01 AA")), sw::kOk);
    EXPECT_EQ(card.FileData(0x5511), H("01 02 03 AA")) << "failed writes changed nothing";
}

// ---- TCOS 1.2 card ----------------------------------------------------------------------

TEST_F(CardTest, TcosWorksInClassB0WithItsOwnCreateFormat) {
    Card card(Family::tcos12, Image());
    EXPECT_EQ(card.Atr(), AtrOf(Family::tcos12));

    // The card library's master-file selection, with and without Le, and by identifier.
    EXPECT_EQ(Sw(Send(card, "00 A4 00 00")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 A4 00 00 00")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 A4 00 00 02 3F 00")), sw::kOk);

    // Identification read: the 10-byte identifier file, read with Le 2C.
    EXPECT_EQ(Sw(Send(card, "B0 A4 02 0C 02 5A 49")), sw::kOk);
    const Bytes id = Send(card, "B0 B0 00 00 2C");
    EXPECT_EQ(Sw(id), sw::kEndOfFile);
    EXPECT_EQ(Data(id).size(), 10u);

    // Create, sent twice as the card library does on this family.
    EXPECT_EQ(Sw(Send(card, kTcosCreateUnique)), sw::kOk);
    EXPECT_EQ(Sw(Send(card, kTcosCreateUnique)), sw::kFileExists);
    EXPECT_EQ(card.FileData(0x5544), Bytes(240, 0));
    EXPECT_EQ(Sw(Send(card, "B0 A4 02 0C 02 55 44")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "B0 D6 00 00 03 41 00 42")), sw::kOk);
    EXPECT_EQ(Data(Send(card, "B0 B0 00 00 03")), H("41 00 42"));
    EXPECT_EQ(Sw(Send(card, "B0 E4 00 00 02 55 44")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "B0 E4 00 00 02 55 44")), sw::kFileNotFound);

    EXPECT_EQ(Sw(Send(card, "B0 E0 00 00 09 55 44 FF FF 80 FF 00 00 F0")), sw::kWrongLength);
    EXPECT_EQ(Sw(Send(card, "B0 E0 00 00 0A 55 44 FF FF 01 FF 00 00 00 F0")),
              sw::kFunctionNotSupported)
        << "file type other than transparent";
}

TEST_F(CardTest, TcosAnswersClassNotSupportedToOtherClasses) {
    Card card(Family::tcos12, Image());
    // Everything the terminal path sends with class 00 or 80: so its select reports a wrong
    // card version.
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 11")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, Class80Create("2A", "55 11"))), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "80 E4 00 00 02 55 11")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 2A")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "00 D6 00 00 01 00")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "00 A4 00 0C 02 55 11")), sw::kClassNotSupported)
        << "class 00 selects only the master file";
    EXPECT_EQ(Sw(Send(card, "B0 CA 00 00 00")), sw::kInsNotSupported);
    EXPECT_FALSE(card.FileData(0x5511));
}

TEST_F(CardTest, IdentifierFilesCannotBeChanged) {
    for (const auto& [family, select, update, del] :
         {std::tuple{Family::tcos12, "B0 A4 02 0C 02 5A 49", "B0 D6 00 00 01 00",
                     "B0 E4 00 00 02 5A 49"},
          std::tuple{Family::class80, "00 A4 02 0C 02 2F 02", "00 D6 00 00 01 00",
                     "80 E4 00 00 02 2F 02"}}) {
        SCOPED_TRACE(std::string(FamilyName(family)));
        TempDir dir;
        Card card(family, dir.File("card.img"));
        const Bytes before = *card.FileData(*IdentifierFileOf(family));
        ASSERT_EQ(Sw(Send(card, select)), sw::kOk);
        EXPECT_EQ(Sw(Send(card, update)), sw::kSecurityNotSatisfied);
        EXPECT_EQ(Sw(Send(card, del)), sw::kSecurityNotSatisfied);
        EXPECT_EQ(card.FileData(*IdentifierFileOf(family)), before);
    }
}

// ---- class-80 card ----------------------------------------------------------------------

TEST_F(CardTest, Class80IdentifierFileAndCreateClass) {
    Card card(Family::class80, Image());
    EXPECT_EQ(card.Atr(), AtrOf(Family::class80));
    EXPECT_EQ(Sw(Send(card, "00 A4 00 0C 02 3F 00")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 02 2F 02")), sw::kOk);
    const Bytes gdo = Send(card, "00 B0 00 00 2C");
    ASSERT_EQ(Sw(gdo), sw::kEndOfFile);
    const Bytes data = Data(gdo);
    ASSERT_GE(data.size(), 3u);
    EXPECT_EQ(data[0], 0x5A);
    EXPECT_EQ(data[1], data.size() - 2) << "5A, length, serial number";

    // The card library's UNIQUE file: 240 bytes through the class-80 template.
    EXPECT_EQ(Sw(Send(card, Class80Create("F0", "55 44"))), sw::kOk);
    EXPECT_EQ(Sw(Send(card, Class80Create("F0", "55 44"))), sw::kFileExistsClass80);
    EXPECT_EQ(card.FileData(0x5544), Bytes(240, 0));

    EXPECT_EQ(Sw(Send(card, "00 E0 00 00 09 62 07 81 01 04 83 02 55 11")), sw::kInsNotSupported)
        << "create is a class-80 command here";
    EXPECT_EQ(Sw(Send(card, "00 E4 00 00 02 55 44")), sw::kInsNotSupported);
    EXPECT_EQ(Sw(Send(card, "80 B0 00 00 10")), sw::kInsNotSupported);
    EXPECT_EQ(Sw(Send(card, "B0 A4 02 0C 02 55 44")), sw::kClassNotSupported);
    EXPECT_EQ(Sw(Send(card, "80 E0 00 00 06 83 02 55 11 81 00")), sw::kIncorrectData);
    EXPECT_EQ(Sw(Send(card, "80 E4 00 00 02 55 44")), sw::kOk);
    EXPECT_FALSE(card.FileData(0x5544));
}

// The terminal path's whole conversation with a working card, byte for byte: delete and
// create the three login files, write them, read them back.
TEST_F(CardTest, Class80AnswersTheTerminalPathAsAWorkingCard) {
    struct LoginFile {
        const char* fid;
        const char* size;
        std::size_t bytes;
    };
    const LoginFile files[] = {{"55 11", "2A", 42}, {"55 22", "20", 32}, {"55 33", "64", 100}};
    Card card(Family::class80, Image());

    // Before anything exists the select reports a missing file.
    EXPECT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 11")), sw::kFileNotFound);

    for (const LoginFile& f : files) {
        Send(card, std::string("80 E4 00 00 02 ") + f.fid);  // not examined
    }
    for (const LoginFile& f : files) {
        EXPECT_EQ(Sw(Send(card, Class80Create(f.size, f.fid))), sw::kOk) << f.fid;
    }
    for (const LoginFile& f : files) {
        ASSERT_EQ(Sw(Send(card, std::string("00 A4 02 0C 02 ") + f.fid)), sw::kOk);
        Bytes update = H(std::string("00 D6 00 00 ") + f.size);
        for (std::size_t i = 0; i < f.bytes; ++i) {
            update.push_back(i < 6 ? static_cast<std::uint8_t>('a' + i) : 0);
        }
        EXPECT_EQ(Sw(card.Transmit(update)), sw::kOk) << f.fid;
    }
    for (const LoginFile& f : files) {
        ASSERT_EQ(Sw(Send(card, std::string("00 A4 02 0C 02 ") + f.fid)), sw::kOk);
        const Bytes read = Send(card, std::string("00 B0 00 00 ") + f.size);
        EXPECT_EQ(Sw(read), sw::kOk);
        ASSERT_EQ(Data(read).size(), f.bytes);
        EXPECT_EQ(Data(read)[5], 'f');
    }
    // Creating again stops at the first file with "file exists".
    EXPECT_EQ(Sw(Send(card, Class80Create("2A", "55 11"))), sw::kFileExistsClass80);
    // The next write deletes first: all three deletes succeed.
    for (const LoginFile& f : files) {
        EXPECT_EQ(Sw(Send(card, std::string("80 E4 00 00 02 ") + f.fid)), sw::kOk);
    }
}

// ---- PIN --------------------------------------------------------------------------------

TEST_F(CardTest, PinGuardsTheFilesUntilVerified) {
    {
        Card card(Family::class80, Image());
        ASSERT_EQ(Sw(Send(card, Class80Create("2A", "55 11"))), sw::kOk);
        card.SetPin(H("31 32 33 34"));
    }
    Card card(Family::class80, Image());
    ASSERT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 11")), sw::kOk) << "select needs no PIN";
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 2A")), sw::kSecurityNotSatisfied);
    EXPECT_EQ(Sw(Send(card, "00 D6 00 00 01 00")), sw::kSecurityNotSatisfied);
    EXPECT_EQ(Sw(Send(card, "80 E4 00 00 02 55 11")), sw::kSecurityNotSatisfied);
    EXPECT_EQ(Sw(Send(card, Class80Create("20", "55 22"))), sw::kSecurityNotSatisfied);
    ASSERT_EQ(Sw(Send(card, "00 A4 02 0C 02 2F 02")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 2C")), sw::kEndOfFile) << "the identifier stays free";

    EXPECT_EQ(Sw(Send(card, "00 20 00 01")), sw::PinTriesLeft(3)) << "state query";
    EXPECT_EQ(Sw(Send(card, "00 20 00 01 04 31 32 33 35")), sw::PinTriesLeft(2));
    EXPECT_EQ(Sw(Send(card, "00 20 00 02 04 31 32 33 34")), sw::kReferenceNotFound);
    EXPECT_EQ(Sw(Send(card, "00 20 00 01 04 31 32 33 34")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 20 00 01")), sw::kOk);
    EXPECT_EQ(card.image().pin_tries_left, 3) << "a right PIN restores the tries";
    ASSERT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 11")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 2A")), sw::kOk);

    card.Reset();
    ASSERT_EQ(Sw(Send(card, "00 A4 02 0C 02 55 11")), sw::kOk);
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 2A")), sw::kSecurityNotSatisfied)
        << "a reset forgets the PIN";
}

TEST_F(CardTest, WrongPinsBlockTheCardAcrossRuns) {
    {
        Card card(Family::generic, Image());
        card.SetPin(H("31 32 33 34"));
        EXPECT_EQ(Sw(Send(card, "00 20 00 01 02 30 30")), sw::PinTriesLeft(2));
        EXPECT_EQ(Sw(Send(card, "00 20 00 01 02 30 30")), sw::PinTriesLeft(1));
    }
    Card card(Family::generic, Image());
    EXPECT_EQ(card.image().pin_tries_left, 1) << "the tries left are kept in the image";
    EXPECT_EQ(Sw(Send(card, "00 20 00 01 02 30 30")), sw::kPinBlocked);
    EXPECT_EQ(Sw(Send(card, "00 20 00 01 04 31 32 33 34")), sw::kPinBlocked);
    EXPECT_EQ(Sw(Send(card, "00 20 00 01")), sw::kPinBlocked);
}

TEST_F(CardTest, VerifyWithoutPinReportsMissingReferenceData) {
    Card generic(Family::generic, dir_.File("g.img"));
    EXPECT_EQ(Sw(Send(generic, "00 20 00 01 04 31 32 33 34")), sw::kReferenceNotFound);
    Card class80(Family::class80, dir_.File("c.img"));
    EXPECT_EQ(Sw(Send(class80, "00 20 00 01 04 31 32 33 34")), sw::kReferenceNotFound);
    Card tcos(Family::tcos12, dir_.File("t.img"));
    EXPECT_EQ(Sw(Send(tcos, "B0 20 00 00 04 31 32 33 34")), sw::kFileNotFound);
}

// ---- image file -------------------------------------------------------------------------

TEST_F(CardTest, MissingImageStartsAnEmptyCardWrittenAtTheFirstChange) {
    {
        Card card(Family::tcos12, Image());
        EXPECT_EQ(card.image().files.size(), 1u) << "only the identifier file";
        Send(card, "B0 A4 02 0C 02 5A 49");
        Send(card, "B0 B0 00 00 0A");
        EXPECT_FALSE(std::filesystem::exists(Image())) << "reading writes nothing";
        ASSERT_EQ(Sw(Send(card, kTcosCreateUnique)), sw::kOk);
        ASSERT_TRUE(std::filesystem::exists(Image()));
        struct stat st {};
        ASSERT_EQ(::stat(Image().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "the image holds passwords";
        ASSERT_EQ(Sw(Send(card, "B0 D6 00 00 02 12 34")), sw::kOk);
    }
    Card again(Family::tcos12, Image());
    Bytes expected(240, 0);
    expected[0] = 0x12;
    expected[1] = 0x34;
    EXPECT_EQ(again.FileData(0x5544), expected);
    EXPECT_EQ(again.FileData(0x5A49)->size(), 10u);
}

TEST_F(CardTest, EveryChangeReplacesTheImageFileWhole) {
    Card card(Family::generic, Image());
    ASSERT_EQ(Sw(Send(card, kGenericCreateUnique)), sw::kOk);
    struct stat before {};
    ASSERT_EQ(::stat(Image().c_str(), &before), 0);
    ASSERT_EQ(Sw(Send(card, "00 D6 00 00 01 77")), sw::kOk);
    struct stat after {};
    ASSERT_EQ(::stat(Image().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file renamed over the old one";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left behind";
}

TEST_F(CardTest, FailedImageWriteAnswersMemoryFailureAndKeepsTheOldImage) {
    Card card(Family::generic, Image());
    ASSERT_EQ(Sw(Send(card, kGenericCreateUnique)), sw::kOk);
    const std::string old_text = test::ReadText(Image());

    // Let the file system refuse anything larger than the image already is.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Bytes update = Send(card, "00 D6 00 00 02 AA BB");
    const Bytes create = Send(card, "00 E0 00 00 09 62 07 81 01 04 83 02 55 11");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(Sw(update), sw::kMemoryFailure);
    EXPECT_EQ(Sw(create), sw::kMemoryFailure);
    EXPECT_EQ(test::ReadText(Image()), old_text);
    EXPECT_EQ(card.FileData(0x5544), Bytes(240, 0)) << "the card kept its state too";
    EXPECT_FALSE(card.FileData(0x5511));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(CardTest, ImageOfAnotherFamilyOrUnreadableIsRefused) {
    {
        Card card(Family::class80, Image());
        ASSERT_EQ(Sw(Send(card, Class80Create("2A", "55 11"))), sw::kOk);
    }
    try {
        Card card(Family::tcos12, Image());
        FAIL() << "opened a class80 image as tcos12";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("holds a class80 card"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(Card(Family::generic, dir_.path().string()), ImageError) << "a folder";
    test::WriteText(Image(), "mlcardsim-image 1\nfamily class80\nef 5511 00\n");
    EXPECT_THROW(Card(Family::class80, Image()), ImageError) << "truncated";
}

// ---- malformed input and fault injection ------------------------------------------------

TEST_F(CardTest, MalformedApdusGetAStatusWord) {
    for (Family family : {Family::generic, Family::tcos12, Family::class80}) {
        SCOPED_TRACE(std::string(FamilyName(family)));
        TempDir dir;
        Card card(family, dir.File("card.img"));
        const std::uint8_t cla = family == Family::tcos12 ? 0xB0 : 0x00;
        EXPECT_EQ(card.Transmit({}), H("67 00"));
        EXPECT_EQ(card.Transmit(H("00")), H("67 00"));
        EXPECT_EQ(card.Transmit(Bytes{cla, 0xA4, 0x02}), H("67 00"));
        EXPECT_EQ(card.Transmit(Bytes{cla, 0xA4, 0x02, 0x0C, 0x05, 0x55}), H("67 00"))
            << "Lc beyond the data";
        EXPECT_EQ(card.Transmit(Bytes{cla, 0xB0, 0x00, 0x00, 0x00, 0x00, 0x10}), H("67 00"))
            << "extended Le";
        EXPECT_EQ(card.Transmit(Bytes{cla, 0xB0, 0x00, 0x00, 0x01, 0xAA}), H("67 00"))
            << "data in a read";

        // Random bytes of every length from 0 to 300, and random bodies behind each
        // supported header: every answer ends with a status word, the image stays readable.
        std::mt19937 rng(1234);
        for (int round = 0; round < 3000; ++round) {
            Bytes apdu(static_cast<std::size_t>(rng() % 301));
            for (auto& b : apdu) {
                b = static_cast<std::uint8_t>(rng());
            }
            if (apdu.size() >= 2 && round % 2 == 0) {
                static const std::uint8_t kIns[] = {0xA4, 0xE0, 0xE4, 0xB0, 0xD6, 0x20};
                apdu[0] = round % 4 == 0 ? cla : 0x80;
                apdu[1] = kIns[rng() % 6];
            }
            const Bytes r = card.Transmit(apdu);
            ASSERT_GE(r.size(), 2u);
            ASSERT_LE(r.size(), 258u);
        }
        if (std::filesystem::exists(dir.File("card.img"))) {
            EXPECT_NO_THROW(Card(family, dir.File("card.img")));
        }
    }
}

TEST_F(CardTest, ForcedStatusIsAnsweredInsteadOfTheCommand) {
    Card card(Family::generic, Image());
    ASSERT_EQ(Sw(Send(card, "00 E0 00 00 09 62 07 81 01 04 83 02 55 11")), sw::kOk);
    card.ForceStatus(0xD6, 0x6581);
    EXPECT_EQ(Send(card, "00 D6 00 00 01 AA"), H("65 81"));
    EXPECT_EQ(card.FileData(0x5511), Bytes(4, 0)) << "the forced command is not carried out";
    EXPECT_EQ(Send(card, "00 D6 00"), H("65 81")) << "whatever its length";
    EXPECT_EQ(Sw(Send(card, "00 B0 00 00 04")), sw::kOk) << "other instructions unaffected";
}

}  // namespace
}  // namespace cardsim
