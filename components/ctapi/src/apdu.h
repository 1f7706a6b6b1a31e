// Short command APDUs (ISO 7816-3 cases 1 to 4) as the terminal reads them.
// Pure functions; thread-safe.
#ifndef ML_COMPONENTS_CTAPI_APDU_H_
#define ML_COMPONENTS_CTAPI_APDU_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace ct32 {

struct CommandApdu {
    uint8_t cla = 0;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    std::span<const uint8_t> data;  // points into the parsed bytes; empty without Lc
    std::optional<size_t> le;       // 1..256 (a coded 00 is 256); none in cases 1 and 3
};

// Splits a short APDU into its fields. Returns nothing when the bytes are
// shorter than four or Lc does not match their length (also for Lc 00, which
// would start an extended APDU). The result refers to `bytes`.
std::optional<CommandApdu> ParseShortApdu(std::span<const uint8_t> bytes);

// The longest answer a card may give to `command`, status word included: 258
// bytes for a short APDU, 65538 for an extended one (Lc or Le coded on three
// bytes, starting with 00). A longer answer is not the card's.
size_t MaxResponseLength(std::span<const uint8_t> command);

}  // namespace ct32

#endif  // ML_COMPONENTS_CTAPI_APDU_H_
