#include "mlsmartcardx/testing/fake_scard.h"

#include <algorithm>
#include <cstring>

#include "platform/testing/stand_in_work.h"

namespace mltest {

std::vector<BYTE> GenericAtr() {
    return {0x3B, 0x02, 0x14, 0x50};
}

std::vector<BYTE> Tcos12Atr() {
    return {0x3B, 0xA8, 0x00, 0x81, 0x71, 0x46, 0x5D, 0x00, 0x54,
            0x43, 0x4F, 0x53, 0x31, 0x2E, 0x32, 0x00, 0x65};
}

std::vector<BYTE> Class80Atr() {
    return {0x3B, 0xBA, 0x13, 0x00, 0x81, 0x31, 0x86, 0x5D, 0x00, 0x64,
            0x05, 0x0A, 0x02, 0x01, 0x31, 0x80, 0x90, 0x00, 0x8B};
}

FakeSCard::FakeSCard() : atr_(GenericAtr()) {
    replies_.reserve(kReserved);
    sent_.reserve(kReserved);
    contexts_.reserve(kReserved);
    cards_.reserve(kReserved);
}

void FakeSCard::InsertCard(std::vector<BYTE> atr, DWORD protocol) {
    atr_ = std::move(atr);
    protocol_ = protocol;
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

LONG FakeSCard::EstablishContext(DWORD /*scope*/, SCARDCONTEXT* context) {
    if (context == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    if (establishResult != SCARD_S_SUCCESS) {
        return establishResult;
    }
    *context = nextContext_++;
    contexts_.push_back(*context);
    ++openContexts_;
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
    --openContexts_;
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD /*shareMode*/,
                        DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) {
    ++connectCalls_;
    if (std::find(contexts_.begin(), contexts_.end(), context) == contexts_.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    if (reader == nullptr || readerName_ != reader) {
        return SCARD_E_UNKNOWN_READER;
    }
    if (connectResult != SCARD_S_SUCCESS) {
        return connectResult;
    }
    if (!present_) {
        return SCARD_W_REMOVED_CARD;
    }
    if ((preferredProtocols & protocol_) == 0) {
        return SCARD_E_PROTO_MISMATCH;
    }
    *card = nextCard_++;
    *activeProtocol = protocol_;
    cards_.push_back(*card);
    ++openCards_;
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                       DWORD* protocol, BYTE* atr, DWORD* atrLength) {
    ++statusCalls_;
    if (std::find(cards_.begin(), cards_.end(), card) == cards_.end()) {
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
    if (std::find(cards_.begin(), cards_.end(), card) == cards_.end()) {
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

    if (nextReply_ < replies_.size()) {
        const Scripted& reply = replies_[nextReply_++];
        if (reply.result != SCARD_S_SUCCESS) {
            return reply.result;
        }
        if (reply.length > *receiveLength) {
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(receive, reply.bytes, reply.length);
        *receiveLength = reply.length;
        return SCARD_S_SUCCESS;
    }
    if (!responder_) {
        return SCARD_E_NOT_TRANSACTED;
    }
    std::vector<BYTE> answer = responder_(record.Bytes());
    if (answer.size() > *receiveLength) {
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::copy(answer.begin(), answer.end(), receive);
    *receiveLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

LONG FakeSCard::Disconnect(SCARDHANDLE card, DWORD disposition) {
    ++disconnectCalls_;
    lastDisposition_ = disposition;
    auto it = std::find(cards_.begin(), cards_.end(), card);
    if (it == cards_.end()) {
        return SCARD_E_INVALID_HANDLE;
    }
    // The handle is gone even when the service reports a failure.
    cards_.erase(it);
    --openCards_;
    return disconnectResult;
}

namespace {

std::vector<BYTE> Sw(WORD sw) {
    return {static_cast<BYTE>(sw >> 8), static_cast<BYTE>(sw)};
}

WORD FileIdAt(const std::vector<BYTE>& apdu, size_t pos) {
    return static_cast<WORD>(apdu[pos] << 8 | apdu[pos + 1]);
}

}  // namespace

std::vector<BYTE> MemoryCard::operator()(const std::vector<BYTE>& apdu) {
    if (apdu.size() < 4) {
        return Sw(0x6700);
    }
    const BYTE cla = apdu[0];
    const BYTE ins = apdu[1];
    const BYTE p1 = apdu[2];
    const size_t lc = apdu.size() > 5 ? apdu[4] : 0;
    if (apdu.size() > 5 && apdu.size() != 5 + lc) {
        return Sw(0x6700);
    }
    auto refused = [&](WORD fid, WORD* sw) {
        auto it = refuse.find(fid);
        if (it == refuse.end()) {
            return false;
        }
        *sw = it->second;
        return true;
    };
    WORD sw = 0;
    switch (ins) {
        case 0xA4:  // SELECT
            if (p1 == 0x00) {
                current_ = 0;
                return Sw(0x9000);
            }
            if (p1 == 0x02 && lc == 2) {
                WORD fid = FileIdAt(apdu, 5);
                if (refused(fid, &sw)) {
                    return Sw(sw);
                }
                if (files.count(fid) == 0) {
                    return Sw(0x6A82);
                }
                current_ = fid;
                return Sw(0x9000);
            }
            return Sw(0x6A86);
        case 0xE0: {  // CREATE FILE, in the layout of the variant's class byte
            size_t sizePos = cla == 0xB0 ? 14 : cla == 0x80 ? 8 : 9;
            size_t fidPos = cla == 0xB0 ? 5 : cla == 0x80 ? 14 : 15;
            if (apdu.size() < fidPos + 2) {
                return Sw(0x6700);
            }
            WORD fid = FileIdAt(apdu, fidPos);
            if (files.count(fid) != 0) {
                return Sw(0x6A89);
            }
            files[fid] = std::vector<BYTE>(apdu[sizePos], 0);
            current_ = fid;
            return Sw(0x9000);
        }
        case 0xE4: {  // DELETE FILE
            if (lc != 2) {
                return Sw(0x6700);
            }
            WORD fid = FileIdAt(apdu, 5);
            if (files.erase(fid) == 0) {
                return Sw(0x6A82);
            }
            if (current_ == fid) {
                current_ = 0;
            }
            return Sw(0x9000);
        }
        case 0xB0: {  // READ BINARY
            if (current_ == 0 || files.count(current_) == 0) {
                return Sw(0x6986);
            }
            if (refused(current_, &sw)) {
                return Sw(sw);
            }
            const std::vector<BYTE>& file = files[current_];
            size_t le = apdu.size() == 5 ? apdu[4] : 0;
            if (le == 0) {
                le = 256;
            }
            std::vector<BYTE> out(file.begin(), file.begin() + std::min(le, file.size()));
            out.push_back(0x90);
            out.push_back(0x00);
            return out;
        }
        case 0xD6: {  // UPDATE BINARY
            if (current_ == 0 || files.count(current_) == 0) {
                return Sw(0x6986);
            }
            if (refused(current_, &sw)) {
                return Sw(sw);
            }
            std::vector<BYTE>& file = files[current_];
            if (lc > file.size()) {
                return Sw(0x6700);
            }
            std::copy(apdu.begin() + 5, apdu.end(), file.begin());
            return Sw(0x9000);
        }
        case 0x20:  // VERIFY
            if (pin.empty()) {
                return Sw(0x6984);
            }
            if (std::string(apdu.begin() + 5, apdu.end()) == pin) {
                return Sw(0x9000);
            }
            return Sw(0x63C2);
        default:
            return Sw(0x6D00);
    }
}

}  // namespace mltest
