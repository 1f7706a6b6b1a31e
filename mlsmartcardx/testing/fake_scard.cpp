#include "mlsmartcardx/testing/fake_scard.h"

#include <algorithm>
#include <cstring>

#include "platform/testing/stand_in_work.h"

namespace mltest {

FakeSCard::FakeSCard() : atr_(card_.Atr()) {
    replies_.reserve(kReserved);
    sent_.reserve(kReserved);
    contexts_.reserve(kReserved);
    cards_.reserve(kReserved);
}

void FakeSCard::InsertCard(cardsim::Family family, Files files, DWORD protocol) {
    cardsim::CardImage image;
    image.family = family;
    image.files = std::move(files);
    card_ = cardsim::Card(std::move(image));
    atr_ = card_.Atr();
    protocol_ = protocol;
    present_ = true;
}

void FakeSCard::ReinsertCard() {
    card_.Reset();
    present_ = true;
}

void FakeSCard::Reply(const std::vector<BYTE>& bytes, LONG result) {
    Scripted reply{result, {}, static_cast<DWORD>(std::min(bytes.size(), sizeof(reply.bytes)))};
    std::copy_n(bytes.begin(), reply.length, reply.bytes);
    replies_.push_back(reply);
}

void FakeSCard::ReplyData(std::vector<BYTE> data, WORD sw) {
    data.push_back(static_cast<BYTE>(sw >> 8));
    data.push_back(static_cast<BYTE>(sw));
    Reply(data);
}

std::vector<std::vector<BYTE>> FakeSCard::SentBytes() const {
    std::vector<std::vector<BYTE>> out;
    for (const SentApdu& apdu : sent_) {
        out.push_back(apdu.Bytes());
    }
    return out;
}

bool FakeSCard::IsOpen(SCARDHANDLE card) const {
    return std::find(cards_.begin(), cards_.end(), card) != cards_.end();
}

LONG FakeSCard::EstablishContext(DWORD scope, SCARDCONTEXT* context) {
    if (context == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (scope != SCARD_SCOPE_USER && scope != SCARD_SCOPE_SYSTEM) {
        return SCARD_E_INVALID_VALUE;
    }
    if (establishResult != SCARD_S_SUCCESS) {
        return establishResult;
    }
    lastScope_ = scope;
    *context = nextContext_++;
    contexts_.push_back(*context);
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::ReleaseContext(SCARDCONTEXT context) {
    ++releaseCalls_;
    auto it = std::find(contexts_.begin(), contexts_.end(), context);
    if (it == contexts_.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (releaseResult == SCARD_S_SUCCESS) {
        contexts_.erase(it);
    }
    return releaseResult;
}

LONG FakeSCard::Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode,
                        DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) {
    ++connectCalls_;
    if (std::find(contexts_.begin(), contexts_.end(), context) == contexts_.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (reader == nullptr || readerName_ != reader) {
        return SCARD_E_UNKNOWN_READER;
    }
    if (shareMode != SCARD_SHARE_SHARED && shareMode != SCARD_SHARE_EXCLUSIVE &&
        shareMode != SCARD_SHARE_DIRECT) {
        return SCARD_E_INVALID_VALUE;
    }
    if (connectResult != SCARD_S_SUCCESS || !present_) {
        return connectResult != SCARD_S_SUCCESS ? connectResult : SCARD_W_REMOVED_CARD;
    }
    if ((preferredProtocols & protocol_) == 0) {
        return SCARD_E_PROTO_MISMATCH;
    }
    lastShareMode_ = shareMode;
    *card = nextCard_++;
    *activeProtocol = protocol_;
    cards_.push_back(*card);
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                       DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    if (!IsOpen(card)) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (statusResult != SCARD_S_SUCCESS || !present_) {
        return statusResult != SCARD_S_SUCCESS ? statusResult : SCARD_W_REMOVED_CARD;
    }
    if (readerLength != nullptr) {
        const DWORD needed = static_cast<DWORD>(readerName_.size() + 2);
        if (readerNames != nullptr && *readerLength < needed) {
            *readerLength = needed;
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (readerNames != nullptr) {
            std::copy(readerName_.begin(), readerName_.end(), readerNames);
            readerNames[needed - 2] = readerNames[needed - 1] = 0;
        }
        *readerLength = needed;
    }
    if (atrLength != nullptr) {
        if (atr != nullptr && *atrLength < atr_.size()) {
            *atrLength = static_cast<DWORD>(atr_.size());
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        if (atr != nullptr) {
            std::copy(atr_.begin(), atr_.end(), atr);
        }
        *atrLength = static_cast<DWORD>(atr_.size());
    }
    if (state != nullptr) {
        *state = SCARD_SPECIFIC;
    }
    if (protocol != nullptr) {
        *protocol = protocol_;
    }
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                         DWORD sendLength, SCARD_IO_REQUEST* /*receivePci*/, BYTE* receive,
                         DWORD* receiveLength) {
    if (!IsOpen(card)) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr ||
        sendLength > sizeof(SentApdu::bytes)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    StandInWork work;
    SentApdu record{{}, sendLength, sendPci->dwProtocol, *receiveLength};
    std::memcpy(record.bytes, send, sendLength);
    sent_.push_back(record);
    if (!present_) {
        return SCARD_W_REMOVED_CARD;
    }
    const BYTE* answer = nullptr;
    DWORD length = 0;
    std::vector<BYTE> fromCard;
    if (nextReply_ < replies_.size()) {
        const Scripted& reply = replies_[nextReply_++];
        if (reply.result != SCARD_S_SUCCESS) {
            return reply.result;
        }
        answer = reply.bytes;
        length = reply.length;
    } else {
        fromCard = card_.Transmit({send, sendLength});
        answer = fromCard.data();
        length = static_cast<DWORD>(fromCard.size());
    }
    if (length > *receiveLength) {
        *receiveLength = length;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(receive, answer, length);
    *receiveLength = length + overstateReceived;
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Disconnect(SCARDHANDLE card, DWORD disposition) {
    lastDisposition_ = disposition;
    auto it = std::find(cards_.begin(), cards_.end(), card);
    if (it == cards_.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    cards_.erase(it);  // gone even when the service reports a failure
    if (disposition != SCARD_LEAVE_CARD) {
        card_.Reset();
    }
    return disconnectResult;
}

}  // namespace mltest
