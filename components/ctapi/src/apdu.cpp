#include "apdu.h"

namespace ct32 {

std::optional<CommandApdu> ParseShortApdu(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4) {
        return std::nullopt;
    }
    CommandApdu apdu;
    apdu.cla = bytes[0];
    apdu.ins = bytes[1];
    apdu.p1 = bytes[2];
    apdu.p2 = bytes[3];
    const std::span<const uint8_t> body = bytes.subspan(4);
    if (body.empty()) {
        return apdu;  // case 1
    }
    if (body.size() == 1) {
        apdu.le = body[0] == 0 ? 256 : body[0];  // case 2
        return apdu;
    }
    const size_t lc = body[0];
    if (lc == 0) {
        return std::nullopt;
    }
    if (body.size() == 1 + lc) {
        apdu.data = body.subspan(1, lc);  // case 3
        return apdu;
    }
    if (body.size() == 2 + lc) {
        apdu.data = body.subspan(1, lc);  // case 4
        apdu.le = body[1 + lc] == 0 ? 256 : body[1 + lc];
        return apdu;
    }
    return std::nullopt;
}

size_t MaxResponseLength(std::span<const uint8_t> command) {
    const bool extended = command.size() >= 7 && command[4] == 0x00;
    return (extended ? 65536 : 256) + 2;
}

}  // namespace ct32
