#include "cardsim/apdu.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

TEST(ParseCommand, SplitsTheFourShortCasesAndRejectsTheRest) {
    struct Case {
        const char* apdu;
        const char* data;
        std::optional<std::size_t> ne;
    };
    const Case cases[] = {
        {"00 A4 00 00", "", std::nullopt},
        {"B0 B0 00 10 2C", "", 0x2C},
        {"00 B0 00 00 00", "", 256},
        {"00 A4 02 0C 02 55 11", "55 11", std::nullopt},
        {"00 A4 02 00 02 55 11 00", "55 11", 256},
    };
    for (const Case& c : cases) {
        const auto command = ParseCommand(H(c.apdu));
        ASSERT_TRUE(command) << c.apdu;
        EXPECT_EQ(command->cla, H(c.apdu)[0]);
        EXPECT_EQ(command->p2, H(c.apdu)[3]);
        EXPECT_EQ(command->data, H(c.data)) << c.apdu;
        EXPECT_EQ(command->ne, c.ne) << c.apdu;
    }
    // Too short, Lc longer than the data, two bytes too many, extended Le and Lc.
    for (const char* bad : {"", "00 A4 00", "00 D6 00 00 05 01 02", "00 D6 00 00 02 01 02 03 04",
                            "00 B0 00 00 00 01 00", "00 D6 00 00 00 00 01 AA"}) {
        EXPECT_FALSE(ParseCommand(H(bad))) << bad;
    }
}

TEST(Response, AppendsTheStatusWord) {
    EXPECT_EQ(Response(0x6A82), H("6A 82"));
    EXPECT_EQ(Response(0x9000, H("01 02")), H("01 02 90 00"));
    EXPECT_EQ(StatusOf(H("01 02 62 82")), 0x6282);
    EXPECT_EQ(StatusOf(H("90")), 0);
}

}  // namespace
}  // namespace cardsim
