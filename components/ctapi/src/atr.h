// Reading an answer to reset (ISO 7816-3). Pure functions; thread-safe.
#ifndef ML_COMPONENTS_CTAPI_ATR_H_
#define ML_COMPONENTS_CTAPI_ATR_H_

#include <cstdint>
#include <optional>
#include <span>

namespace ct32 {

// The historical bytes of `atr` (a view into it), or nothing when the ATR is
// not of ISO 7816-3 form (TS other than 3B or 3F) or ends before its
// interface and historical bytes do.
std::optional<std::span<const uint8_t>> HistoricalBytes(std::span<const uint8_t> atr);

enum class CardKind {
    kProcessor,  // asynchronous card with an operating system (CT-BCS answers 90 01)
    kMemory,     // synchronous memory card (CT-BCS answers 90 00)
};

// Tells a processor card from a memory card by its ATR: an ATR that is not of
// ISO 7816-3 form (ISO 7816-10 synchronous cards), and the ATR that PC/SC
// readers build for storage cards (historical bytes 80 4F .. A0 00 00 03 06),
// mean a memory card.
CardKind ClassifyAtr(std::span<const uint8_t> atr);

}  // namespace ct32

#endif  // ML_COMPONENTS_CTAPI_ATR_H_
