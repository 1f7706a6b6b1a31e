// The calls of winscard_calls.h on winscard.dll.
#include "platform/win32/winscard_calls.h"

#include <windows.h>
#include <winscard.h>

namespace ml::winscard {
namespace {

// DWORD is unsigned long here and uint32_t outside: both 32 bits. An
// optional out value goes through a local and is copied back when asked for.
class OutDword {
  public:
    explicit OutDword(uint32_t* target) : target_(target), value_(target ? *target : 0) {}
    ~OutDword() {
        if (target_ != nullptr)
            *target_ = static_cast<uint32_t>(value_);
    }
    OutDword(const OutDword&) = delete;
    OutDword& operator=(const OutDword&) = delete;
    DWORD* get() { return target_ != nullptr ? &value_ : nullptr; }

  private:
    uint32_t* target_;
    DWORD value_;
};

}  // namespace

int32_t EstablishContext(uint32_t scope, uintptr_t* context) {
    SCARDCONTEXT handle = 0;
    LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &handle);
    if (rv == SCARD_S_SUCCESS && context != nullptr)
        *context = handle;
    return rv;
}

int32_t ReleaseContext(uintptr_t context) {
    return SCardReleaseContext(context);
}

int32_t Connect(uintptr_t context, const char16_t* reader, uint32_t shareMode,
                uint32_t preferredProtocols, uintptr_t* card, uint32_t* activeProtocol) {
    SCARDHANDLE handle = 0;
    OutDword protocol(activeProtocol);
    LONG rv = SCardConnectW(context, reinterpret_cast<LPCWSTR>(reader), shareMode,
                            preferredProtocols, &handle, protocol.get());
    if (rv == SCARD_S_SUCCESS && card != nullptr)
        *card = handle;
    return rv;
}

int32_t Status(uintptr_t card, char16_t* readerNames, uint32_t* readerLength, uint32_t* state,
               uint32_t* protocol, uint8_t* atr, uint32_t* atrLength) {
    OutDword length(readerLength), st(state), proto(protocol), atrLen(atrLength);
    return SCardStatusW(card, reinterpret_cast<LPWSTR>(readerNames), length.get(), st.get(),
                        proto.get(), atr, atrLen.get());
}

int32_t Transmit(uintptr_t card, uint32_t sendProtocol, uint32_t sendPciLength, const uint8_t* send,
                 uint32_t sendLength, uint32_t* receiveProtocol, uint32_t* receivePciLength,
                 uint8_t* receive, uint32_t* receiveLength) {
    SCARD_IO_REQUEST sendPci = {sendProtocol, sendPciLength};
    SCARD_IO_REQUEST receivePci = {sendProtocol, sendPciLength};
    OutDword length(receiveLength);
    LONG rv =
        SCardTransmit(card, &sendPci, send, sendLength,
                      receiveProtocol != nullptr ? &receivePci : nullptr, receive, length.get());
    if (rv == SCARD_S_SUCCESS && receiveProtocol != nullptr) {
        *receiveProtocol = receivePci.dwProtocol;
        *receivePciLength = receivePci.cbPciLength;
    }
    return rv;
}

int32_t Disconnect(uintptr_t card, uint32_t disposition) {
    return SCardDisconnect(card, disposition);
}

int32_t ListReaders(uintptr_t context, char16_t* names, uint32_t* length) {
    OutDword chars(length);
    return SCardListReadersW(context, nullptr, reinterpret_cast<LPWSTR>(names), chars.get());
}

int32_t CardPresent(uintptr_t context, const char16_t* reader, bool* present) {
    SCARD_READERSTATEW state = {};
    state.szReader = reinterpret_cast<LPCWSTR>(reader);
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChangeW(context, 0, &state, 1);
    *present = rv == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    return rv;
}

}  // namespace ml::winscard
