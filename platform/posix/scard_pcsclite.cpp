// The calls into pcsc-lite. The only file of the project that includes
// <winscard.h>: pcsc-lite's LONG and DWORD are 64 bits wide here, and every
// value crosses into the 32-bit world of platform/scard.h at this boundary.
#include <PCSC/winscard.h>

#include <cstring>

#include "platform/posix/pcsclite_calls.h"

namespace ml::pcsclite {
namespace {

// Windows numbering of the protocols, as in platform/scard.h.
constexpr uint32_t kWinProtocolT0 = 0x1;
constexpr uint32_t kWinProtocolT1 = 0x2;
constexpr uint32_t kWinProtocolRaw = 0x10000;

// Windows numbering of the reader states, as in platform/scard.h.
constexpr uint32_t kWinUnknown = 0, kWinAbsent = 1, kWinPresent = 2, kWinSwallowed = 3,
                   kWinPowered = 4, kWinNegotiable = 5, kWinSpecific = 6;

// pcsc-lite's results are long; the codes themselves are 32-bit values.
int32_t Result(LONG rv) {
    return static_cast<int32_t>(static_cast<uint32_t>(rv));
}

DWORD ToPcscProtocols(uint32_t protocols) {
    DWORD out = protocols & (kWinProtocolT0 | kWinProtocolT1);
    if (protocols & kWinProtocolRaw) {
        out |= SCARD_PROTOCOL_RAW;
    }
    return out;
}

uint32_t FromPcscProtocol(DWORD protocol) {
    uint32_t out = static_cast<uint32_t>(protocol & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    if (protocol & SCARD_PROTOCOL_RAW) {
        out |= kWinProtocolRaw;
    }
    return out;
}

// pcsc-lite reports a bit mask; Windows the most advanced state reached.
uint32_t FromPcscState(DWORD state) {
    if (state & SCARD_SPECIFIC)
        return kWinSpecific;
    if (state & SCARD_NEGOTIABLE)
        return kWinNegotiable;
    if (state & SCARD_POWERED)
        return kWinPowered;
    if (state & SCARD_SWALLOWED)
        return kWinSwallowed;
    if (state & SCARD_PRESENT)
        return kWinPresent;
    if (state & SCARD_ABSENT)
        return kWinAbsent;
    return kWinUnknown;
}

}  // namespace

int32_t EstablishContext(uint32_t scope, uintptr_t* context) {
    if (context == nullptr) {
        return Result(SCARD_E_INVALID_PARAMETER);
    }
    SCARDCONTEXT ctx = 0;
    LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &ctx);
    if (rv == SCARD_S_SUCCESS) {
        *context = static_cast<uintptr_t>(ctx);
    }
    return Result(rv);
}

int32_t ReleaseContext(uintptr_t context) {
    return Result(SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
}

int32_t Connect(uintptr_t context, const char* reader, uint32_t shareMode,
                uint32_t preferredProtocols, uintptr_t* card, uint32_t* activeProtocol) {
    if (card == nullptr || activeProtocol == nullptr) {
        return Result(SCARD_E_INVALID_PARAMETER);
    }
    SCARDHANDLE handle = 0;
    DWORD active = 0;
    LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context), reader, shareMode,
                           ToPcscProtocols(preferredProtocols), &handle, &active);
    if (rv == SCARD_E_NO_SMARTCARD) {
        // The Windows service reports an empty reader as a removed card.
        rv = SCARD_W_REMOVED_CARD;
    }
    if (rv == SCARD_S_SUCCESS) {
        *card = static_cast<uintptr_t>(handle);
        *activeProtocol = FromPcscProtocol(active);
    }
    return Result(rv);
}

int32_t Status(uintptr_t card, char* reader, uint32_t readerCapacity, uint32_t* readerLength,
               uint32_t* state, uint32_t* protocol, uint8_t* atr, uint32_t* atrLength) {
    DWORD nameLength = reader != nullptr ? readerCapacity : 0;
    DWORD pcscState = 0;
    DWORD pcscProtocol = 0;
    DWORD pcscAtrLength = atrLength != nullptr ? *atrLength : 0;
    LONG rv = SCardStatus(static_cast<SCARDHANDLE>(card), reader,
                          reader != nullptr ? &nameLength : nullptr, &pcscState, &pcscProtocol,
                          atrLength != nullptr ? atr : nullptr,
                          atrLength != nullptr ? &pcscAtrLength : nullptr);
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_INSUFFICIENT_BUFFER) {
        return Result(rv);
    }
    if (readerLength != nullptr) {
        *readerLength = static_cast<uint32_t>(nameLength);
    }
    if (state != nullptr) {
        *state = FromPcscState(pcscState);
    }
    if (protocol != nullptr) {
        *protocol = FromPcscProtocol(pcscProtocol);
    }
    if (atrLength != nullptr) {
        *atrLength = static_cast<uint32_t>(pcscAtrLength);
    }
    return Result(rv);
}

int32_t Transmit(uintptr_t card, uint32_t protocol, const uint8_t* send, uint32_t sendLength,
                 uint8_t* receive, uint32_t* receiveLength) {
    if (receiveLength == nullptr) {
        return Result(SCARD_E_INVALID_PARAMETER);
    }
    SCARD_IO_REQUEST other = {ToPcscProtocols(protocol), sizeof(SCARD_IO_REQUEST)};
    const SCARD_IO_REQUEST* pci = &other;
    if (protocol == kWinProtocolT0) {
        pci = SCARD_PCI_T0;
    } else if (protocol == kWinProtocolT1) {
        pci = SCARD_PCI_T1;
    } else if (protocol == kWinProtocolRaw) {
        pci = SCARD_PCI_RAW;
    }
    DWORD length = *receiveLength;
    LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(card), pci, send, sendLength, nullptr, receive,
                            &length);
    if (rv == SCARD_S_SUCCESS) {
        *receiveLength = static_cast<uint32_t>(length);
    }
    return Result(rv);
}

int32_t Disconnect(uintptr_t card, uint32_t disposition) {
    return Result(SCardDisconnect(static_cast<SCARDHANDLE>(card), disposition));
}

}  // namespace ml::pcsclite
