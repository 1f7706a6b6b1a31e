// What the emulator answers to each message that vpcd sends, fault modes included.
//
// No I/O: the transport hands in each message and carries out the reply. Not thread-safe.
#pragma once

#include <cstdint>
#include <span>

#include "cardsim/card.h"
#include "options.h"

namespace cardsim {

// Length of the answer that --stop-after gives: the largest message vpcd can carry.
inline constexpr std::size_t kMuteAnswerSize = 0xFFFF;

struct Reply {
    enum class Kind {
        none,   // nothing to send (power on/off, reset, unknown control code)
        send,   // send `bytes` as one message
        close,  // close the connection: the card is pulled
    };
    Kind kind = Kind::none;
    Bytes bytes;
    bool is_command_answer = false;  // the answer to a command APDU (it gets --delay-ms)
};

// vpcd messages: 1 byte = control code (00 power off, 01 power on, 02 reset, 04 get ATR; only
// the ATR is answered), longer = command APDU. The fault modes count command APDUs only:
//   --remove-after N   the command after the N-th is not answered; the link is closed in order
//                      (vpcd hands pcscd an empty answer, then reports the card removed).
//   --stop-after N     every command after the N-th gets an answer longer than any short-APDU
//                      receive buffer (kMuteAnswerSize bytes ending in 6F 00): vpcd refuses it,
//                      pcscd fails the transmit, and the card stays in the reader, since its
//                      ATR is still answered.
// vpcd has no time-out: a card that never answers would block pcscd's reader thread and its
// client until the emulator ends, so no mode does that.
// --answer-sw, --refuse-file and --short-read are handed to the card (Card::ForceStatus,
// RefuseFile, LimitReads).
class Session {
  public:
    // `card` must outlive the session.
    Session(Card& card, const Options& options);

    Reply OnMessage(std::span<const std::uint8_t> message);

    long commands() const { return commands_; }

  private:
    Card& card_;
    std::optional<long> stop_after_;
    std::optional<long> remove_after_;
    long commands_ = 0;
};

}  // namespace cardsim
