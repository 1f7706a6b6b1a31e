#include "session.h"

namespace cardsim {

Session::Session(Card& card, const Options& options)
    : card_(card), stop_after_(options.stop_after), remove_after_(options.remove_after) {
    for (const auto& [ins, status] : options.answer_sw) {
        card_.ForceStatus(ins, status);
    }
    for (const auto& [fid, status] : options.refuse_file) {
        card_.RefuseFile(fid, status);
    }
    if (options.short_read) {
        card_.LimitReads(static_cast<std::size_t>(*options.short_read));
    }
}

Reply Session::OnMessage(std::span<const std::uint8_t> message) {
    Reply reply;
    if (message.size() == 1) {
        switch (message[0]) {
            case 0x00:  // power off
            case 0x01:  // power on
            case 0x02:  // reset
                card_.Reset();
                break;
            case 0x04:  // get ATR
                reply.kind = Reply::Kind::send;
                reply.bytes = card_.Atr();
                break;
            default:
                break;
        }
        return reply;
    }
    if (message.empty()) {
        return reply;
    }
    ++commands_;
    if (remove_after_ && commands_ > *remove_after_) {
        reply.kind = Reply::Kind::close;
        return reply;
    }
    reply.kind = Reply::Kind::send;
    reply.is_command_answer = true;
    if (stop_after_ && commands_ > *stop_after_) {
        reply.bytes.assign(kMuteAnswerSize, 0x00);
        reply.bytes[kMuteAnswerSize - 2] = 0x6F;  // a client that takes it still sees a failure
        return reply;
    }
    reply.bytes = card_.Transmit(message);
    return reply;
}

}  // namespace cardsim
