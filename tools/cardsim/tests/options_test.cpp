#include "options.h"

#include <gtest/gtest.h>

#include <tuple>

namespace cardsim {
namespace {

Options Parse(const std::vector<std::string>& args) {
    auto r = ParseOptions(args);
    EXPECT_TRUE(std::holds_alternative<Options>(r)) << testing::PrintToString(args);
    return std::holds_alternative<Options>(r) ? std::get<Options>(r) : Options{};
}

std::string Refusal(const std::vector<std::string>& args) {
    auto r = ParseOptions(args);
    return std::holds_alternative<UsageError>(r) ? std::get<UsageError>(r).message : "";
}

TEST(Options, FullCommandLine) {
    const Options o =
        Parse({"--family", "tcos12", "--image=/tmp/x.img", "--slot", "1", "--stop-after", "3",
               "--remove-after=0", "--answer-sw", "B0=6a82", "--answer-sw", "d6=6581", "--delay-ms",
               "250", "--verbose", "--refuse-file", "5522=6982", "--short-read", "20"});
    EXPECT_EQ(std::tie(o.family, o.image, o.slot, o.stop_after, o.remove_after, o.short_read,
                       o.delay_ms, o.verbose, o.port),
              std::make_tuple(Family::tcos12, "/tmp/x.img", 1, 3, 0, 20, 250, true, std::nullopt));
    EXPECT_EQ(o.answer_sw, (std::map<std::uint8_t, std::uint16_t>{{0xB0, 0x6A82}, {0xD6, 0x6581}}));
    EXPECT_EQ(o.refuse_file, (std::map<std::uint16_t, std::uint16_t>{{0x5522, 0x6982}}));
    EXPECT_TRUE(Parse({"--help"}).help) << "--help needs nothing else";
}

TEST(Options, BadArgumentsAreNamed) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "--family is required"},
        {{"--family", "class80"}, "--image is required"},
        {{"--family", "smart", "--image", "x"}, "unknown family \"smart\""},
        {{"--family", "class80", "--image"}, "--image needs a value"},
        {{"--family", "class80", "--image", "x", "--slot", "-1"}, "--slot"},
        {{"--family", "class80", "--image", "x", "--slot", "1x"}, "--slot"},
        {{"--family", "class80", "--image", "x", "--port", "70000"}, "--port"},
        {{"--family", "class80", "--image", "x", "--slot", "1", "--port", "9"}, "not both"},
        {{"--family", "class80", "--image", "x", "--stop-after", "many"}, "--stop-after"},
        {{"--family", "class80", "--image", "x", "--delay-ms", "99999999"}, "--delay-ms"},
        {{"--family", "class80", "--image", "x", "--answer-sw", "B0"}, "INS=SW1SW2"},
        {{"--family", "class80", "--image", "x", "--answer-sw", "B0=6A8"}, "INS=SW1SW2"},
        {{"--family", "class80", "--image", "x", "--answer-sw", "ZZ=6A82"}, "INS=SW1SW2"},
        {{"--family", "class80", "--image", "x", "--refuse-file", "55=6982"}, "FID=SW1SW2"},
        {{"--family", "class80", "--image", "x", "--short-read", "257"}, "--short-read"},
        {{"--family", "class80", "--image", "x", "--verbose=1"}, "takes no value"},
        {{"--family", "class80", "--image", "x", "extra"}, "unknown argument \"extra\""},
    };
    for (const auto& [args, complaint] : cases) {
        const std::string message = Refusal(args);
        EXPECT_NE(message.find(complaint), std::string::npos)
            << "args " << testing::PrintToString(args) << " gave \"" << message << "\"";
    }
}

// The program test runs ML_VPCD_PORT plus a slot, --port and a bad ML_VPCD_PORT.
TEST(Options, VpcdPortFromEnvironmentSlotOrOverride) {
    Options o;
    EXPECT_EQ(std::get<int>(VpcdPort(o, nullptr)), 35963);
    EXPECT_EQ(std::get<int>(VpcdPort(o, "")), 35963);
    o.slot = 1;
    EXPECT_TRUE(std::holds_alternative<UsageError>(VpcdPort(o, "65535"))) << "no port 65536";
}

}  // namespace
}  // namespace cardsim
