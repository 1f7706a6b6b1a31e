// The smart-card service on pcsc-lite: reader names between UTF-16 and
// UTF-8, and the choice of the service in use.
#include <atomic>
#include <cstring>

#include "platform/posix/pcsclite_calls.h"
#include "platform/posix/scard_names.h"
#include "platform/scard.h"

namespace ml {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

// pcsc-lite's names are at most 128 bytes (MAX_READERNAME); anything longer
// cannot name a reader.
constexpr size_t kNameBytes = 512;

class PcscLiteService final : public SCardService {
  public:
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return pcsclite::EstablishContext(scope, context);
    }

    LONG ReleaseContext(SCARDCONTEXT context) override { return pcsclite::ReleaseContext(context); }

    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                 SCARDHANDLE* card, DWORD* activeProtocol) override {
        if (reader == nullptr) {
            return pcsclite::Connect(context, nullptr, shareMode, preferredProtocols, card,
                                     activeProtocol);
        }
        char name[kNameBytes];
        if (!ReaderNameToUtf8(reader, name, sizeof(name))) {
            return SCARD_E_UNKNOWN_READER;
        }
        return pcsclite::Connect(context, name, shareMode, preferredProtocols, card,
                                 activeProtocol);
    }

    LONG Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                DWORD* protocol, BYTE* atr, DWORD* atrLength) override {
        char name[kNameBytes] = {};
        uint32_t nameLength = 0;
        LONG rv = pcsclite::Status(card, name, sizeof(name), &nameLength, state, protocol, atr,
                                   atrLength);
        if (rv != SCARD_S_SUCCESS) {
            return rv;
        }
        if (readerLength == nullptr) {
            return rv;
        }
        // pcsc-lite counts the terminator; the list ends with a second one.
        size_t bytes = strnlen(name, sizeof(name));
        size_t needed = ReaderNameFromUtf8(name, bytes, nullptr, 0) + 2;
        if (readerNames != nullptr) {
            if (*readerLength < needed) {
                *readerLength = static_cast<DWORD>(needed);
                return SCARD_E_INSUFFICIENT_BUFFER;
            }
            size_t n = ReaderNameFromUtf8(name, bytes, readerNames, needed);
            readerNames[n] = 0;
            readerNames[n + 1] = 0;
        }
        *readerLength = static_cast<DWORD>(needed);
        return rv;
    }

    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                  DWORD sendLength, SCARD_IO_REQUEST* receivePci, BYTE* receive,
                  DWORD* receiveLength) override {
        if (sendPci == nullptr) {
            return SCARD_E_INVALID_PARAMETER;
        }
        LONG rv =
            pcsclite::Transmit(card, sendPci->dwProtocol, send, sendLength, receive, receiveLength);
        if (rv == SCARD_S_SUCCESS && receivePci != nullptr) {
            *receivePci = *sendPci;
        }
        return rv;
    }

    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return pcsclite::Disconnect(card, disposition);
    }
};

std::atomic<SCardService*> g_installed{nullptr};

}  // namespace

SCardService& GetSCardService() {
    static PcscLiteService pcscLite;
    SCardService* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : pcscLite;
}

SCardService* SetSCardService(SCardService* service) {
    return g_installed.exchange(service, std::memory_order_acq_rel);
}

}  // namespace ml
