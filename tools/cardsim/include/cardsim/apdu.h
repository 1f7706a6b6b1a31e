// Command and response APDUs of the emulated cards (ISO 7816-4, short length fields only).
//
// Pure functions and value types: no state, no I/O, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cardsim {

using Bytes = std::vector<std::uint8_t>;

// Status words the cards answer with.
namespace sw {
inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kEndOfFile = 0x6282;  // fewer bytes than Le remained
inline constexpr std::uint16_t kMemoryFailure = 0x6581;
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kPinBlocked = 0x6983;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kIncorrectData = 0x6A80;
inline constexpr std::uint16_t kFunctionNotSupported = 0x6A81;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kIncorrectP1P2 = 0x6A86;
inline constexpr std::uint16_t kReferenceNotFound = 0x6A88;
inline constexpr std::uint16_t kFileExists = 0x6A89;
inline constexpr std::uint16_t kFileExistsClass80 = 0x6AF1;
inline constexpr std::uint16_t kWrongOffset = 0x6B00;
inline constexpr std::uint16_t kInsNotSupported = 0x6D00;
inline constexpr std::uint16_t kClassNotSupported = 0x6E00;
inline constexpr std::uint16_t kNoDiagnosis = 0x6F00;
// 63 Cx: wrong PIN, x tries left.
constexpr std::uint16_t PinTriesLeft(int tries) {
    return static_cast<std::uint16_t>(0x63C0 | (tries & 0x0F));
}
}  // namespace sw

// A command APDU split into its fields.
struct Command {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;  // the Lc data field, empty when absent
    // Ne, the number of bytes expected (1..256); nullopt when the command carries no Le.
    std::optional<std::size_t> ne;
};

// Splits a short APDU (cases 1 to 4). Returns nullopt when the bytes are no well-formed short
// APDU: fewer than 4 bytes, an Lc that disagrees with the length, or an extended length field
// (the cards do not announce extended lengths in their ATR). Any input is accepted.
std::optional<Command> ParseCommand(std::span<const std::uint8_t> apdu);

// The response APDU: the data followed by SW1 SW2.
Bytes Response(std::uint16_t status, std::span<const std::uint8_t> data = {});

// The status word at the end of a response (the last two bytes); 0 when shorter than 2 bytes.
std::uint16_t StatusOf(std::span<const std::uint8_t> response);

}  // namespace cardsim
