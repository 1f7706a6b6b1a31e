#include "cardsim/apdu.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

TEST(ParseCommand, SplitsTheFourShortCases) {
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
}

}  // namespace
}  // namespace cardsim
