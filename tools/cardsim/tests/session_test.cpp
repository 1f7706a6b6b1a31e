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

}  // namespace
}  // namespace cardsim
