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

// One command and the status word it must get.
struct Step {
    std::string apdu;
    std::uint16_t sw;
    const char* why = "";
};

class CardTest : public ::testing::Test {
  protected:
    std::string Image() const { return dir_.File("card.img"); }
    static Bytes Send(Card& card, std::string_view hex) { return card.Transmit(H(hex)); }
    static std::uint16_t Sw(Card& card, std::string_view hex) { return StatusOf(Send(card, hex)); }
    static void Expect(Card& card, std::initializer_list<Step> steps) {
        for (const Step& s : steps) {
            EXPECT_EQ(Sw(card, s.apdu), s.sw) << s.apdu << " " << s.why;
        }
    }
    std::ptrdiff_t FilesInDir() const {
        return std::distance(std::filesystem::directory_iterator(dir_.path()), {});
    }

    TempDir dir_;
};

TEST_F(CardTest, GenericRefusals) {
    Card card(Family::generic, Image());
    Expect(
        card,
        {
            {"00 B0 00 00 10", sw::kNoCurrentEf},
            {"00 E0 00 00 0A 62 08 80 02 80 00 83 02 55 11", sw::kNotEnoughMemory, "32 KiB"},
            {"00 A4 02 0C 02 55 44", sw::kFileNotFound},
            {"00 E4 00 0C 02 55 44", sw::kFileNotFound},
            {"00 E4 00 0C 02 3F 00", sw::kConditionsNotSatisfied},
            {std::string(kGenericCreateUnique), sw::kOk},
            {std::string(kGenericCreateUnique), 0x6A89},
            {"00 A4 02 0C 02 55 44 00", sw::kOk, "Le after the data"},
            {"B0 A4 02 0C 02 55 44", sw::kClassNotSupported},
            {"80 E0 00 00 02 00 00", sw::kClassNotSupported},
            {"00 CA 00 00 00", sw::kInsNotSupported},
            {"00 A4 04 00 02 A0 00", sw::kIncorrectP1P2},
            {"00 A4 02 08 02 55 44", sw::kIncorrectP1P2},
            {"00 A4 02 0C 03 55 44 00", sw::kWrongLength},
            // Empty, too short, Lc beyond the data, two too many, extended Le, data in a read.
            {"", sw::kWrongLength},
            {"00 A4 02", sw::kWrongLength},
            {"00 A4 02 0C 05 55", sw::kWrongLength},
            {"00 D6 00 00 02 01 02 03 04", sw::kWrongLength},
            {"00 B0 00 00 00 00 10", sw::kWrongLength},
            {"00 B0 00 00 01 AA", sw::kWrongLength},
            {"00 E0 00 00 09 81 01 10 83 02 55 11 82 01", sw::kIncorrectData, "no 62, truncated"},
            {"00 E0 00 00 07 62 05 81 01 10 83 02", sw::kIncorrectData, "template too long"},
            {"00 E0 00 00 05 62 03 81 01 10", sw::kIncorrectData, "no identifier"},
            {"00 E0 00 00 06 62 04 83 02 55 11", sw::kIncorrectData, "no size"},
            {"00 E0 00 00 0C 62 0A 81 01 10 82 01 38 83 02 55 11", sw::kFunctionNotSupported,
             "a DF"},
            {"00 E0 00 00 0C 62 0A 81 01 10 82 01 01 83 02 3F 00", sw::kIncorrectData, "3F00"},
            {"00 E0 00 00 0A 62 08 80 02 00 20 83 02 55 11", sw::kOk, "size in tag 80"},
        });
    EXPECT_EQ(card.FileData(0x5511), Bytes(32, 0));
}

TEST_F(CardTest, ReadAndUpdateAtTheEndOfAFile) {
    Card card(Family::generic, Image());
    Expect(card, {{"00 E0 00 00 09 62 07 81 01 04 83 02 55 11", sw::kOk},
                  {"00 D6 00 00 04 01 02 03 04", sw::kOk}});
    EXPECT_EQ(Send(card, "00 B0 00 00 2C"), H("01 02 03 04 62 82")) << "fewer bytes than Le";
    EXPECT_EQ(Send(card, "00 B0 00 02 00"), H("03 04 62 82")) << "Le 00 = 256";
    EXPECT_EQ(Send(card, "00 B0 00 00"), H("01 02 03 04 62 82")) << "no Le reads up to 256";
    EXPECT_EQ(Send(card, "00 B0 00 04 01"), H("62 82")) << "at the very end";
    Expect(card, {{"00 B0 00 05 01", sw::kWrongOffset},
                  {"00 B0 81 00 01", sw::kFileNotFound, "short EF identifier"},
                  {"00 D6 00 03 02 AA BB", sw::kWrongLength, "one byte past the end"},
                  {"00 D6 00 05 01 AA", sw::kWrongOffset},
                  {"00 D6 00 00", sw::kWrongLength, "no data"},
                  {"00 D6 00 03 01 AA", sw::kOk}});
    EXPECT_EQ(card.FileData(0x5511), H("01 02 03 AA")) << "failed writes changed nothing";
}

TEST_F(CardTest, TcosWorksInClassB0AndRefusesOtherClasses) {
    Card card(Family::tcos12, Image());
    Expect(card, {{"00 A4 00 00 02 3F 00", sw::kOk},
                  {std::string(kTcosCreateUnique), sw::kOk},
                  {std::string(kTcosCreateUnique), sw::kFileExists},
                  {"B0 A4 02 0C 02 55 44", sw::kOk},
                  {"B0 D6 00 00 03 41 00 42", sw::kOk}});
    EXPECT_EQ(Send(card, "B0 B0 00 00 03"), H("41 00 42 90 00"));
    // Everything the terminal path sends with class 00 or 80 is refused, so that its select
    // reports a wrong card version; class 00 selects only the master file.
    Expect(card, {{"B0 E4 00 00 02 55 44", sw::kOk},
                  {"B0 B0 00 00 01", sw::kNoCurrentEf, "the deleted file was the current one"},
                  {"B0 E4 00 00 02 55 44", sw::kFileNotFound},
                  {"B0 E0 00 00 0A 55 66 FF FF 80 FF 01 00 00 10", sw::kNotEnoughMemory},
                  {"B0 E0 00 00 09 55 44 FF FF 80 FF 00 00 F0", sw::kWrongLength},
                  {"B0 E0 00 00 0A 55 44 FF FF 01 FF 00 00 00 F0", sw::kFunctionNotSupported},
                  {"00 A4 02 0C 02 55 11", sw::kClassNotSupported},
                  {Class80Create("2A", "55 11"), sw::kClassNotSupported},
                  {"00 D6 00 00 01 00", sw::kClassNotSupported},
                  {"00 A4 00 0C 02 55 11", sw::kClassNotSupported},
                  {"B0 20 00 00 04 31 32 33 34", sw::kFileNotFound, "no PIN"},
                  {"B0 A4 02 0C 02 5A 49", sw::kOk},
                  {"B0 D6 00 00 01 00", sw::kSecurityNotSatisfied, "the identifier stays"},
                  {"B0 E4 00 00 02 5A 49", sw::kSecurityNotSatisfied}});
    EXPECT_FALSE(card.FileData(0x5511));
}

TEST_F(CardTest, Class80IdentifierFileAndCreateClass) {
    Card card(Family::class80, Image());
    Expect(card, {{"00 A4 02 0C 02 55 11", sw::kFileNotFound},
                  {"00 A4 00 0C 02 3F 00", sw::kOk},
                  {"00 A4 02 0C 02 2F 02", sw::kOk}});
    const Bytes gdo = Send(card, "00 B0 00 00 2C");
    ASSERT_GE(gdo.size(), 5u);
    EXPECT_EQ(gdo[0], 0x5A);
    EXPECT_EQ(gdo[1], gdo.size() - 4) << "5A, length, serial number, status word";
    // 6A F1 for an existing file, where the ISO family answers 6A 89.
    Expect(card, {{Class80Create("F0", "55 44"), sw::kOk},
                  {Class80Create("F0", "55 44"), 0x6AF1},
                  {"00 E0 00 00 09 62 07 81 01 04 83 02 55 11", sw::kInsNotSupported},
                  {"00 E4 00 00 02 55 44", sw::kInsNotSupported},
                  {"80 B0 00 00 10", sw::kInsNotSupported},
                  {"B0 A4 02 0C 02 55 44", sw::kClassNotSupported},
                  {"80 E0 00 00 06 83 02 55 11 81 00", sw::kIncorrectData},
                  {"00 20 00 01 04 31 32 33 34", sw::kReferenceNotFound, "no PIN"},
                  {"00 A4 02 0C 02 2F 02", sw::kOk},
                  {"00 D6 00 00 01 00", sw::kSecurityNotSatisfied, "the identifier stays"},
                  {"80 E4 00 00 02 2F 02", sw::kSecurityNotSatisfied}});
    EXPECT_EQ(card.FileData(0x5544), Bytes(240, 0));
    EXPECT_EQ(Sw(card, "80 E4 00 00 02 55 44"), sw::kOk);
    EXPECT_FALSE(card.FileData(0x5544));
}

TEST_F(CardTest, PinGuardsTheFilesUntilVerified) {
    {
        Card card(Family::class80, Image());
        ASSERT_EQ(Sw(card, Class80Create("2A", "55 11")), sw::kOk);
        card.SetPin(H("31 32 33 34"));
    }
    Card card(Family::class80, Image());
    Expect(card, {{"00 A4 02 0C 02 55 11", sw::kOk, "select needs no PIN"},
                  {"00 B0 00 00 2A", sw::kSecurityNotSatisfied},
                  {"00 D6 00 00 01 00", sw::kSecurityNotSatisfied},
                  {"80 E4 00 00 02 55 11", sw::kSecurityNotSatisfied},
                  {Class80Create("20", "55 22"), sw::kSecurityNotSatisfied},
                  {"00 A4 02 0C 02 2F 02", sw::kOk},
                  {"00 B0 00 00 2C", sw::kEndOfFile, "the identifier stays free"},
                  {"00 20 00 01", sw::PinTriesLeft(3), "state query"},
                  {"00 20 00 01 04 31 32 33 35", sw::PinTriesLeft(2)},
                  {"00 20 00 02 04 31 32 33 34", sw::kReferenceNotFound},
                  {"00 20 00 01 04 31 32 33 34", sw::kOk},
                  {"00 20 00 01", sw::kOk}});
    EXPECT_EQ(card.image().pin_tries_left, 3) << "a right PIN restores the tries";
    Expect(card, {{"00 A4 02 0C 02 55 11", sw::kOk}, {"00 B0 00 00 2A", sw::kOk}});
    card.Reset();
    Expect(card, {{"00 A4 02 0C 02 55 11", sw::kOk},
                  {"00 B0 00 00 2A", sw::kSecurityNotSatisfied, "a reset forgets the PIN"}});
}

TEST_F(CardTest, WrongPinsBlockTheCardAcrossRuns) {
    {
        Card card(Family::generic, Image());
        card.SetPin(H("31 32 33 34"));
        Expect(card, {{"00 20 00 01 02 30 30", sw::PinTriesLeft(2)},
                      {"00 20 00 01 02 30 30", sw::PinTriesLeft(1)}});
    }
    Card card(Family::generic, Image());
    EXPECT_EQ(card.image().pin_tries_left, 1) << "the tries left are kept in the image";
    Expect(card, {{"00 20 00 01 02 30 30", sw::kPinBlocked},
                  {"00 20 00 01 04 31 32 33 34", sw::kPinBlocked},
                  {"00 20 00 01", sw::kPinBlocked}});
}

TEST_F(CardTest, MissingImageStartsAnEmptyCardWrittenAtTheFirstChange) {
    {
        Card card(Family::tcos12, Image());
        EXPECT_EQ(card.image().files.size(), 1u) << "only the identifier file";
        Send(card, "B0 A4 02 0C 02 5A 49");
        Send(card, "B0 B0 00 00 0A");
        EXPECT_FALSE(std::filesystem::exists(Image())) << "reading writes nothing";
        ASSERT_EQ(Sw(card, kTcosCreateUnique), sw::kOk);
        struct stat st {};
        ASSERT_EQ(::stat(Image().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "the image holds passwords";
        ASSERT_EQ(Sw(card, "B0 D6 00 00 02 12 34"), sw::kOk);
    }
    Card again(Family::tcos12, Image());
    Bytes expected(240, 0);
    expected[0] = 0x12;
    expected[1] = 0x34;
    EXPECT_EQ(again.FileData(0x5544), expected);
    EXPECT_EQ(again.FileData(0x5A49)->size(), 10u);
}

TEST_F(CardTest, EveryChangeReplacesTheImageWholeAndAFailedWriteKeepsTheOld) {
    Card card(Family::generic, Image());
    ASSERT_EQ(Sw(card, kGenericCreateUnique), sw::kOk);
    struct stat before = {};
    struct stat after = {};
    ASSERT_EQ(::stat(Image().c_str(), &before), 0);
    ASSERT_EQ(Sw(card, "00 D6 00 00 01 77"), sw::kOk);
    ASSERT_EQ(::stat(Image().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file renamed over the old one";
    EXPECT_EQ(FilesInDir(), 1) << "no temporary file left behind";

    // Let the file system refuse anything larger than the image already is.
    const std::string old_text = test::ReadText(Image());
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::uint16_t update = Sw(card, "00 D6 00 00 02 AA BB");
    const std::uint16_t create = Sw(card, "00 E0 00 00 09 62 07 81 01 04 83 02 55 11");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(update, sw::kMemoryFailure);
    EXPECT_EQ(create, sw::kMemoryFailure);
    EXPECT_EQ(test::ReadText(Image()), old_text);
    EXPECT_EQ(card.FileData(0x5544)->at(0), 0x77) << "the card kept its state too";
    EXPECT_FALSE(card.FileData(0x5511));
    EXPECT_EQ(FilesInDir(), 1);
}

TEST_F(CardTest, ImageOfAnotherFamilyOrUnreadableIsRefused) {
    {
        Card card(Family::class80, Image());
        ASSERT_EQ(Sw(card, Class80Create("2A", "55 11")), sw::kOk);
    }
    try {
        Card(Family::tcos12, Image());
        ADD_FAILURE() << "opened a class80 image as tcos12";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("holds a class80 card"), std::string::npos);
    }
    EXPECT_THROW(Card(Family::generic, dir_.path().string()), ImageError) << "a folder";
    const std::string comment(1 << 20, ' ');  // a valid image beyond the size of any image
    test::WriteText(Image(), "mlcardsim-image 1\nfamily class80\n#" + comment + "\nend\n");
    EXPECT_THROW(Card(Family::class80, Image()), ImageError) << "too large";
}

TEST_F(CardTest, FaultModesAnswerInsteadOfTheCommand) {
    CardImage image;
    image.files = {{0x5511, H("01 02 03 04")}, {0x5522, H("05 06")}};
    Card card(image);
    card.ForceStatus(0xE0, 0x6581);
    Expect(card, {{"00 E0 00 00 09 62 07 81 01 04 83 02 55 33", 0x6581},
                  {"00 E0", 0x6581, "whatever its length"},
                  {"00 A4 02 0C 02 55 11", sw::kOk}});
    EXPECT_FALSE(card.FileData(0x5533)) << "the forced command is not carried out";
    card.LimitReads(3);
    EXPECT_EQ(Send(card, "00 B0 00 00 04"), H("01 02 03 90 00")) << "a short answer";
    card.RefuseFile(0x5511, 0x6982);
    Expect(card, {{"00 B0 00 00 02", 0x6982, "the selected file"},
                  {"00 D6 00 00 01 AA", 0x6982},
                  {"00 A4 02 0C 02 55 22", sw::kOk},
                  {"00 B0 00 00 01", sw::kOk, "another file"},
                  {"00 E4 00 0C 02 55 22", sw::kOk, "a card in memory needs no image file"}});
}

}  // namespace
}  // namespace cardsim
