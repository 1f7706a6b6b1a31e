#include "cardsim/apdu.h"

namespace cardsim {

std::optional<Command> ParseCommand(std::span<const std::uint8_t> apdu) {
    if (apdu.size() < 4) {
        return std::nullopt;
    }
    Command cmd;
    cmd.cla = apdu[0];
    cmd.ins = apdu[1];
    cmd.p1 = apdu[2];
    cmd.p2 = apdu[3];
    const std::span<const std::uint8_t> body = apdu.subspan(4);
    if (body.empty()) {
        return cmd;  // case 1
    }
    if (body.size() == 1) {
        cmd.ne = body[0] == 0 ? 256 : body[0];  // case 2
        return cmd;
    }
    const std::size_t lc = body[0];
    if (lc == 0) {
        return std::nullopt;  // an extended length field
    }
    if (body.size() == 1 + lc) {
        cmd.data.assign(body.begin() + 1, body.end());  // case 3
        return cmd;
    }
    if (body.size() == 2 + lc) {
        cmd.data.assign(body.begin() + 1, body.end() - 1);  // case 4
        cmd.ne = body.back() == 0 ? 256 : body.back();
        return cmd;
    }
    return std::nullopt;
}

Bytes Response(std::uint16_t status, std::span<const std::uint8_t> data) {
    Bytes out(data.begin(), data.end());
    out.push_back(static_cast<std::uint8_t>(status >> 8));
    out.push_back(static_cast<std::uint8_t>(status & 0xFF));
    return out;
}

std::uint16_t StatusOf(std::span<const std::uint8_t> response) {
    if (response.size() < 2) {
        return 0;
    }
    return static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
}

}  // namespace cardsim
