// The pure parts of the driver: command APDU cases and reading an ATR.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "apdu.h"
#include "atr.h"

namespace ct32 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::span<const uint8_t> span) {
    return Bytes(span.begin(), span.end());
}

TEST(ParseShortApdu, ReadsTheFourCasesAndRefusesLengthsThatDoNotAddUp) {
    const std::tuple<Bytes, Bytes, std::optional<size_t>> cases[] = {
        {{0x20, 0x11, 0x00, 0x00}, {}, std::nullopt},
        {{0x20, 0x10, 0x01, 0x01, 0x00}, {}, 256},  // Le 00 asks for up to 256 bytes
        {{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x11}, {0x55, 0x11}, std::nullopt},
        {{0x20, 0x12, 0x01, 0x01, 0x01, 0x05, 0x20}, {0x05}, 0x20},
    };
    for (const auto& [bytes, data, le] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        const auto apdu = ParseShortApdu(bytes);
        ASSERT_TRUE(apdu);
        EXPECT_EQ((Bytes{apdu->cla, apdu->ins, apdu->p1, apdu->p2}),
                  Bytes(bytes.begin(), bytes.begin() + 4));
        EXPECT_EQ(ToBytes(apdu->data), data);
        EXPECT_EQ(apdu->le, le);
    }
    // Too short, Lc 3 with one data byte, two bytes after the data, Lc 00 (extended).
    for (const Bytes& bad : {Bytes{0x20, 0x11, 0x00}, Bytes{0x20, 0x11, 0x01, 0x01, 0x03, 0xAA},
                             Bytes{0x20, 0x11, 0x01, 0x01, 0x01, 0xAA, 0x00, 0x00},
                             Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00}}) {
        EXPECT_FALSE(ParseShortApdu(bad)) << testing::PrintToString(bad);
    }
}

TEST(MaxResponseLength, DependsOnShortOrExtendedCoding) {
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}), 258u);
    EXPECT_EQ(MaxResponseLength(Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x10, 0x00}), 65538u);
}

// T=0 card: TA1, TB1 and TC1, no TD1, three historical bytes.
const Bytes kAtrT0 = {0x3B, 0x73, 0x11, 0x00, 0x02, 0x41, 0x42, 0x43};
// T=1 card with the chain TD1 (T=0) and TD2 (T=1), five historical bytes, TCK.
const Bytes kAtrT1 = {0x3B, 0x85, 0x80, 0x01, 'T', 'C', 'O', 'S', '!', 0x00};
// The ATR that a PC/SC reader builds for a storage card.
const Bytes kAtrStorage = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                           0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A};
const Bytes kSynchronous = {0xA2, 0x13, 0x10, 0x91};

TEST(Atr, HistoricalBytesFollowTheInterfaceByteChain) {
    EXPECT_EQ(ToBytes(HistoricalBytes(kAtrT0).value()), (Bytes{0x41, 0x42, 0x43}));
    EXPECT_EQ(ToBytes(HistoricalBytes(kAtrT1).value()), (Bytes{'T', 'C', 'O', 'S', '!'}));
    EXPECT_TRUE(HistoricalBytes(Bytes{0x3F, 0x10, 0x96}).value().empty());
    // Truncated before TD2, inside the historical bytes, before TA1..TD1; a synchronous card;
    // every TDi asking for the next one (the parser must stop at the end).
    for (const Bytes& bad :
         {Bytes{}, Bytes{0x3B}, Bytes{0x3B, 0x85, 0x80}, Bytes{0x3B, 0x85, 0x80, 0x01, 'T', 'C'},
          Bytes{0x3B, 0xF0}, kSynchronous, Bytes{0x3B, 0x80, 0x80, 0x80, 0x80, 0x80}}) {
        EXPECT_FALSE(HistoricalBytes(bad)) << testing::PrintToString(bad);
    }
}

TEST(Atr, ClassifyTellsProcessorFromMemoryCards) {
    EXPECT_EQ(ClassifyAtr(kAtrT0), CardKind::kProcessor);
    EXPECT_EQ(ClassifyAtr(kAtrT1), CardKind::kProcessor);
    EXPECT_EQ(ClassifyAtr(kAtrStorage), CardKind::kMemory);
    EXPECT_EQ(ClassifyAtr(kSynchronous), CardKind::kMemory);
    EXPECT_EQ(ClassifyAtr(Bytes{}), CardKind::kMemory);
}

}  // namespace
}  // namespace ct32
