#include "atr.h"

#include <algorithm>
#include <array>
#include <bit>

namespace ct32 {

std::optional<std::span<const uint8_t>> HistoricalBytes(std::span<const uint8_t> atr) {
    if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) {
        return std::nullopt;
    }
    const size_t historical = atr[1] & 0x0F;
    size_t pos = 2;
    uint8_t indicator = atr[1];  // T0, then each TDi: the high nibble says which bytes follow
    for (;;) {
        // TAi, TBi and TCi, as far as present.
        pos += static_cast<size_t>(std::popcount(static_cast<unsigned>(indicator & 0x70)));
        if ((indicator & 0x80) == 0) {
            break;
        }
        if (pos >= atr.size()) {
            return std::nullopt;
        }
        indicator = atr[pos++];
    }
    if (pos > atr.size() || atr.size() - pos < historical) {
        return std::nullopt;
    }
    return atr.subspan(pos, historical);
}

CardKind ClassifyAtr(std::span<const uint8_t> atr) {
    const auto historical = HistoricalBytes(atr);
    if (!historical) {
        return CardKind::kMemory;
    }
    // PC/SC Part 3 storage card: category 80, then the application identifier
    // data object 4F with the RID of the PC/SC workgroup.
    static constexpr std::array<uint8_t, 5> kPcscRid = {0xA0, 0x00, 0x00, 0x03, 0x06};
    const std::span<const uint8_t> h = *historical;
    if (h.size() >= 3 + kPcscRid.size() && h[0] == 0x80 && h[1] == 0x4F &&
        std::equal(kPcscRid.begin(), kPcscRid.end(), h.begin() + 3)) {
        return CardKind::kMemory;
    }
    return CardKind::kProcessor;
}

}  // namespace ct32
