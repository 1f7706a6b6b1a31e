#include "cardsim/apdu.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

TEST(ParseCommand, SplitsTheFourShortCases) {
    const auto c1 = ParseCommand(H("00 A4 00 00"));
    ASSERT_TRUE(c1);
    EXPECT_EQ(c1->ins, 0xA4);
    EXPECT_TRUE(c1->data.empty());
    EXPECT_FALSE(c1->ne);

    const auto c2 = ParseCommand(H("B0 B0 00 10 2C"));
    ASSERT_TRUE(c2);
    EXPECT_EQ(c2->cla, 0xB0);
    EXPECT_EQ(c2->p2, 0x10);
    EXPECT_EQ(c2->ne, 0x2Cu);

    const auto c2max = ParseCommand(H("00 B0 00 00 00"));
    ASSERT_TRUE(c2max);
    EXPECT_EQ(c2max->ne, 256u) << "Le 00 asks for 256 bytes";

    const auto c3 = ParseCommand(H("00 A4 02 0C 02 55 11"));
    ASSERT_TRUE(c3);
    EXPECT_EQ(c3->data, H("55 11"));
    EXPECT_FALSE(c3->ne);

    const auto c4 = ParseCommand(H("00 A4 02 00 02 55 11 00"));
    ASSERT_TRUE(c4);
    EXPECT_EQ(c4->data, H("55 11"));
    EXPECT_EQ(c4->ne, 256u);
}

TEST(ParseCommand, RejectsWhatIsNoShortApdu) {
    EXPECT_FALSE(ParseCommand(H("")));
    EXPECT_FALSE(ParseCommand(H("00 A4 00")));
    EXPECT_FALSE(ParseCommand(H("00 D6 00 00 05 01 02")));        // Lc longer than the data
    EXPECT_FALSE(ParseCommand(H("00 D6 00 00 02 01 02 03 04")));  // two bytes too many
    EXPECT_FALSE(ParseCommand(H("00 B0 00 00 00 01 00")));        // extended Le
    EXPECT_FALSE(ParseCommand(H("00 D6 00 00 00 00 01 AA")));     // extended Lc
}

TEST(Response, AppendsTheStatusWord) {
    EXPECT_EQ(Response(0x6A82), H("6A 82"));
    EXPECT_EQ(Response(0x9000, H("01 02")), H("01 02 90 00"));
    EXPECT_EQ(StatusOf(H("01 02 62 82")), 0x6282);
    EXPECT_EQ(StatusOf(H("90")), 0);
}

}  // namespace
}  // namespace cardsim
