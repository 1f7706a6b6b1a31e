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
    card_ =
        cardsim::Card(cardsim::CardImage{.family = family, .pin = {}, .files = std::move(files)});
    atr_ = card_.Atr();
    protocol_ = protocol;
    present_ = true;
}

void FakeSCard::Reply(const std::vector<BYTE>& bytes, LONG result) {
    Scripted reply{result, {}, static_cast<DWORD>(std::min(bytes.size(), sizeof(reply.bytes)))};
    std::copy_n(bytes.begin(), reply.length, reply.bytes);
    replies_.push_back(reply);
}

void FakeSCard::ReplyData(std::vector<BYTE> data, WORD sw) {
    data.insert(data.end(), {static_cast<BYTE>(sw >> 8), static_cast<BYTE>(sw)});
    Reply(data);
}

LONG FakeSCard::EstablishContext(DWORD scope, SCARDCONTEXT* context) {
    if (context == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    if (establishResult != SCARD_S_SUCCESS)
        return establishResult;
    lastScope = scope;
    contexts_.push_back(*context = nextContext_++);
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::ReleaseContext(SCARDCONTEXT context) {
    ++releaseCalls;
    if (!std::ranges::count(contexts_, context))
        return SCARD_E_INVALID_HANDLE;
    if (releaseResult == SCARD_S_SUCCESS)
        std::erase(contexts_, context);
    return releaseResult;
}

LONG FakeSCard::Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode,
                        DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) {
    ++connectCalls_;
    if (!std::ranges::count(contexts_, context))
        return SCARD_E_INVALID_HANDLE;
    if (reader == nullptr || readerName_ != reader)
        return SCARD_E_UNKNOWN_READER;
    if (connectResult != SCARD_S_SUCCESS)
        return connectResult;
    if (!present_)
        return SCARD_W_REMOVED_CARD;
    if ((preferredProtocols & protocol_) == 0)
        return SCARD_E_PROTO_MISMATCH;
    lastShareMode = shareMode;
    cards_.push_back(*card = nextCard_++);
    *activeProtocol = protocol_;
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                       DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    if (!std::ranges::count(cards_, card))
        return SCARD_E_INVALID_HANDLE;
    if (statusResult != SCARD_S_SUCCESS || !present_)
        return statusResult != SCARD_S_SUCCESS ? statusResult : SCARD_W_REMOVED_CARD;
    // The library asks for every output.
    const DWORD needed = static_cast<DWORD>(readerName_.size() + 2), atrSize = atr_.size();
    const bool fits = *readerLength >= needed && *atrLength >= atrSize;
    if (fits) {
        std::copy(readerName_.begin(), readerName_.end(), readerNames);
        readerNames[needed - 2] = readerNames[needed - 1] = 0;
        std::copy(atr_.begin(), atr_.end(), atr);
    }
    *readerLength = needed, *atrLength = atrSize, *state = SCARD_SPECIFIC, *protocol = protocol_;
    return fits ? SCARD_S_SUCCESS : SCARD_E_INSUFFICIENT_BUFFER;
}

LONG FakeSCard::Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                         DWORD sendLength, SCARD_IO_REQUEST* /*receivePci*/, BYTE* receive,
                         DWORD* receiveLength) {
    if (!std::ranges::count(cards_, card))
        return SCARD_E_INVALID_HANDLE;
    if (sendPci == nullptr || send == nullptr || receive == nullptr || receiveLength == nullptr ||
        sendLength > sizeof(SentApdu::bytes)) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (sendPci->dwProtocol != protocol_)
        return SCARD_E_PROTO_MISMATCH;
    StandInWork work;
    SentApdu record{{}, sendLength, *receiveLength};
    std::memcpy(record.bytes, send, sendLength);
    sent_.push_back(record);
    if (!present_)
        return SCARD_W_REMOVED_CARD;
    std::vector<BYTE> fromCard;
    const Scripted* reply = nextReply_ < replies_.size() ? &replies_[nextReply_++] : nullptr;
    if (reply != nullptr && reply->result != SCARD_S_SUCCESS)
        return reply->result;
    if (reply == nullptr)
        fromCard = card_.Transmit({send, sendLength});
    const BYTE* answer = reply != nullptr ? reply->bytes : fromCard.data();
    const DWORD length = reply != nullptr ? reply->length : static_cast<DWORD>(fromCard.size());
    if (length > *receiveLength) {
        *receiveLength = length;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(receive, answer, length);
    *receiveLength = length;
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Disconnect(SCARDHANDLE card, DWORD disposition) {
    lastDisposition = disposition;
    if (!std::ranges::count(cards_, card))
        return SCARD_E_INVALID_HANDLE;
    std::erase(cards_, card);  // gone even when the service reports a failure
    if (disposition != SCARD_LEAVE_CARD)
        card_.Reset();
    return disconnectResult;
}

}  // namespace mltest
