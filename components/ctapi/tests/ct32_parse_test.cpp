// The pure parts of the driver: command APDU cases and reading an ATR.
#include <gtest/gtest.h>

#include <vector>

#include "apdu.h"
#include "atr.h"

namespace ct32 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::span<const uint8_t> span) {
    return Bytes(span.begin(), span.end());
}

TEST(ParseShortApdu, ReadsTheFourCases) {
    const Bytes case1 = {0x20, 0x11, 0x00, 0x00};
    auto apdu = ParseShortApdu(case1);
    ASSERT_TRUE(apdu);
    EXPECT_EQ(apdu->cla, 0x20);
    EXPECT_EQ(apdu->ins, 0x11);
    EXPECT_TRUE(apdu->data.empty());
    EXPECT_FALSE(apdu->le);

    const Bytes case2 = {0x20, 0x10, 0x01, 0x01, 0x00};
    apdu = ParseShortApdu(case2);
    ASSERT_TRUE(apdu);
    EXPECT_EQ(apdu->p1, 0x01);
    EXPECT_EQ(apdu->p2, 0x01);
    EXPECT_EQ(apdu->le, 256u) << "Le 00 asks for up to 256 bytes";

    const Bytes case3 = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11};
    apdu = ParseShortApdu(case3);
    ASSERT_TRUE(apdu);
    EXPECT_EQ(ToBytes(apdu->data), (Bytes{0x55, 0x11}));
    EXPECT_FALSE(apdu->le);

    const Bytes case4 = {0x20, 0x12, 0x01, 0x01, 0x01, 0x05, 0x20};
    apdu = ParseShortApdu(case4);
    ASSERT_TRUE(apdu);
    EXPECT_EQ(ToBytes(apdu->data), (Bytes{0x05}));
    EXPECT_EQ(apdu->le, 0x20u);
}

TEST(ParseShortApdu, RefusesLengthsThatDoNotAddUp) {
    EXPECT_FALSE(ParseShortApdu(Bytes{0x20, 0x11, 0x00}));
    EXPECT_FALSE(ParseShortApdu(Bytes{0x20, 0x11, 0x01, 0x01, 0x03, 0xAA}))
        << "Lc 3 with one data byte";
    EXPECT_FALSE(ParseShortApdu(Bytes{0x20, 0x11, 0x01, 0x01, 0x01, 0xAA, 0x00, 0x00}))
        << "two bytes after the data";
    EXPECT_FALSE(ParseShortApdu(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}))
        << "Lc 00 starts an extended APDU";
}

TEST(MaxResponseLength, DependsOnShortOrExtendedCoding) {
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xB0, 0x00, 0x00}), 258u);
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}), 258u);
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11}), 258u);
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x10, 0x00}), 65538u)
        << "case 2E";
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}), 65538u)
        << "case 3E";
}

// ATR of a T=0 card: TA1, TB1 and TC1, no TD1, three historical bytes.
const Bytes kAtrT0 = {0x3B, 0x73, 0x11, 0x00, 0x02, 0x41, 0x42, 0x43};
// T=1 card with the chain TD1 (T=0) and TD2 (T=1), five historical bytes, TCK.
const Bytes kAtrT1 = {0x3B, 0x85, 0x80, 0x01, 'T', 'C', 'O', 'S', '!', 0x00};
// ATR that a PC/SC reader builds for a storage card (PC/SC Part 3).
const Bytes kAtrStorage = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                           0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};

TEST(HistoricalBytes, FollowsTheInterfaceByteChain) {
    auto historical = HistoricalBytes(kAtrT0);
    ASSERT_TRUE(historical);
    EXPECT_EQ(ToBytes(*historical), (Bytes{0x41, 0x42, 0x43}));

    historical = HistoricalBytes(kAtrT1);
    ASSERT_TRUE(historical);
    EXPECT_EQ(ToBytes(*historical), (Bytes{'T', 'C', 'O', 'S', '!'}));

    const Bytes no_historical = {0x3F, 0x10, 0x96};
    historical = HistoricalBytes(no_historical);
    ASSERT_TRUE(historical);
    EXPECT_TRUE(historical->empty());
}

TEST(HistoricalBytes, RefusesTruncatedAndForeignAtrs) {
    EXPECT_FALSE(HistoricalBytes(Bytes{}));
    EXPECT_FALSE(HistoricalBytes(Bytes{0x3B}));
    EXPECT_FALSE(HistoricalBytes(Bytes{0x3B, 0x85, 0x80})) << "ends where TD1 promises TD2";
    EXPECT_FALSE(HistoricalBytes(Bytes{0x3B, 0x85, 0x80, 0x01, 'T', 'C'}))
        << "ends inside the historical bytes";
    EXPECT_FALSE(HistoricalBytes(Bytes{0x3B, 0xF0})) << "ends before TA1..TD1";
    EXPECT_FALSE(HistoricalBytes(Bytes{0xA2, 0x13, 0x10, 0x91})) << "synchronous card";
    // Every TDi asking for the next one: the parser must stop at the end.
    EXPECT_FALSE(HistoricalBytes(Bytes{0x3B, 0x80, 0x80, 0x80, 0x80, 0x80}));
}

TEST(ClassifyAtr, TellsProcessorFromMemoryCards) {
    EXPECT_EQ(ClassifyAtr(kAtrT0), CardKind::kProcessor);
    EXPECT_EQ(ClassifyAtr(kAtrT1), CardKind::kProcessor);
    EXPECT_EQ(ClassifyAtr(kAtrStorage), CardKind::kMemory);
    EXPECT_EQ(ClassifyAtr(Bytes{0xA2, 0x13, 0x10, 0x91}), CardKind::kMemory);
    EXPECT_EQ(ClassifyAtr(Bytes{}), CardKind::kMemory);
}

}  // namespace
}  // namespace ct32
