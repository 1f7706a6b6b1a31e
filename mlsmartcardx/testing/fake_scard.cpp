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

void FakeSCard::Reply(const std::vector<BYTE>& bytes) {
    Scripted reply{};
    reply.result = SCARD_S_SUCCESS;
    reply.length = static_cast<DWORD>(std::min(bytes.size(), sizeof(reply.bytes)));
    std::copy_n(bytes.begin(), reply.length, reply.bytes);
    replies_.push_back(reply);
}

void FakeSCard::ReplyData(const std::vector<BYTE>& data, WORD sw) {
    std::vector<BYTE> bytes = data;
    bytes.push_back(static_cast<BYTE>(sw >> 8));
    bytes.push_back(static_cast<BYTE>(sw));
    Reply(bytes);
}

void FakeSCard::FailTransmit(LONG result) {
    Scripted reply{};
    reply.result = result;
    replies_.push_back(reply);
}

std::vector<std::vector<BYTE>> FakeSCard::SentBytes() const {
    std::vector<std::vector<BYTE>> out;
    for (const SentApdu& apdu : sent_) {
        out.push_back(apdu.Bytes());
    }
    return out;
}

FakeSCard::Handle* FakeSCard::FindCard(SCARDHANDLE card) {
    auto it = std::find_if(cards_.begin(), cards_.end(),
                           [card](const Handle& h) { return h.handle == card; });
    return it == cards_.end() ? nullptr : &*it;
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
    if (releaseResult != SCARD_S_SUCCESS) {
        return releaseResult;
    }
    contexts_.erase(it);
    return SCARD_S_SUCCESS;
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
    if (connectResult != SCARD_S_SUCCESS) {
        return connectResult;
    }
    if (!present_) {
        return SCARD_W_REMOVED_CARD;
    }
    // An exclusive connection shares the card with no other.
    const bool exclusiveHeld = std::any_of(cards_.begin(), cards_.end(), [](const Handle& h) {
        return h.shareMode == SCARD_SHARE_EXCLUSIVE;
    });
    if (exclusiveHeld || (shareMode == SCARD_SHARE_EXCLUSIVE && !cards_.empty())) {
        return SCARD_E_SHARING_VIOLATION;
    }
    if ((preferredProtocols & protocol_) == 0) {
        return SCARD_E_PROTO_MISMATCH;
    }
    lastShareMode_ = shareMode;
    *card = nextCard_++;
    *activeProtocol = protocol_;
    cards_.push_back({*card, shareMode});
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                       DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    if (FindCard(card) == nullptr) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (statusResult != SCARD_S_SUCCESS) {
        return statusResult;
    }
    if (!present_) {
        return SCARD_W_REMOVED_CARD;
    }
    if (readerLength != nullptr) {
        DWORD needed = static_cast<DWORD>(readerName_.size() + 2);
        if (readerNames != nullptr) {
            if (*readerLength < needed) {
                *readerLength = needed;
                return SCARD_E_INSUFFICIENT_BUFFER;
            }
            std::copy(readerName_.begin(), readerName_.end(), readerNames);
            readerNames[readerName_.size()] = 0;
            readerNames[readerName_.size() + 1] = 0;
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
    if (FindCard(card) == nullptr) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr ||
        sendLength > sizeof(SentApdu::bytes)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    StandInWork work;
    SentApdu record{};
    std::memcpy(record.bytes, send, sendLength);
    record.length = sendLength;
    record.protocol = sendPci->dwProtocol;
    record.receiveCapacity = *receiveLength;
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
    Handle* handle = FindCard(card);
    if (handle == nullptr) {
        return SCARD_E_INVALID_HANDLE;
    }
    // The handle is gone even when the service reports a failure.
    cards_.erase(cards_.begin() + (handle - cards_.data()));
    if (disposition != SCARD_LEAVE_CARD) {
        card_.Reset();
    }
    return disconnectResult;
}

}  // namespace mltest
