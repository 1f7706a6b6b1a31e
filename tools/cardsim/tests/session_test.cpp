#include "session.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

class SessionTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    Card card_{Family::class80, dir_.File("card.img")};
};

TEST_F(SessionTest, ControlCodesAndCommands) {
    Options o;
    Session s(card_, o);
    const Reply atr = s.OnMessage(H("04"));
    EXPECT_EQ(atr.kind, Reply::Kind::send);
    EXPECT_EQ(atr.bytes, AtrOf(Family::class80));
    EXPECT_FALSE(atr.is_command_answer);
    for (const char* quiet : {"00", "01", "02", "7F", ""}) {
        EXPECT_EQ(s.OnMessage(H(quiet)).kind, Reply::Kind::none) << quiet;
    }
    EXPECT_EQ(s.commands(), 0) << "control codes are no commands";

    ASSERT_EQ(s.OnMessage(H("00 A4 02 0C 02 2F 02")).bytes, H("90 00"));
    s.OnMessage(H("01"));  // power on resets the card: the master file is selected again
    const Reply r = s.OnMessage(H("00 B0 00 00 01"));
    EXPECT_TRUE(r.is_command_answer);
    EXPECT_EQ(r.bytes, H("69 86"));
    EXPECT_EQ(s.commands(), 2);
    EXPECT_EQ(s.OnMessage(H("00 A4")).bytes, H("67 00")) << "a 2-byte message is a command";
}

TEST_F(SessionTest, RemoveAfterClosesInsteadOfAnsweringTheNextCommand) {
    Options o;
    o.remove_after = 2;
    Session s(card_, o);
    EXPECT_EQ(s.OnMessage(H("00 A4 00 0C 02 3F 00")).kind, Reply::Kind::send);
    EXPECT_EQ(s.OnMessage(H("04")).kind, Reply::Kind::send);
    EXPECT_EQ(s.OnMessage(H("00 A4 00 0C 02 3F 00")).kind, Reply::Kind::send);
    EXPECT_EQ(s.OnMessage(H("00 A4 00 0C 02 3F 00")).kind, Reply::Kind::close);
}

TEST_F(SessionTest, StopAfterGivesOversizedAnswersButKeepsTheAtr) {
    Options o;
    o.stop_after = 1;
    o.answer_sw[0xB0] = 0x6F00;
    Session s(card_, o);
    EXPECT_EQ(s.OnMessage(H("00 B0 00 00 01")).bytes, H("6F 00")) << "--answer-sw";
    for (int i = 0; i < 2; ++i) {
        const Reply mute = s.OnMessage(H("00 A4 00 0C 02 3F 00"));
        EXPECT_EQ(mute.kind, Reply::Kind::send);
        EXPECT_EQ(mute.bytes.size(), kMuteAnswerSize);
        EXPECT_EQ(StatusOf(mute.bytes), 0x6F00);
    }
    EXPECT_EQ(s.OnMessage(H("04")).bytes, AtrOf(Family::class80));
}

}  // namespace
}  // namespace cardsim
