// The smart-card service on winscard.dll. WinSCard is the service that
// platform/scard.h describes, so every call passes straight through.
#include <atomic>

#include "platform/scard.h"
#include "platform/win32/winscard_calls.h"

namespace ml {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

class WinSCardService final : public SCardService {
  public:
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return winscard::EstablishContext(scope, context);
    }

    LONG ReleaseContext(SCARDCONTEXT context) override { return winscard::ReleaseContext(context); }

    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                 SCARDHANDLE* card, DWORD* activeProtocol) override {
        return winscard::Connect(context, reader, shareMode, preferredProtocols, card,
                                 activeProtocol);
    }

    LONG Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                DWORD* protocol, BYTE* atr, DWORD* atrLength) override {
        return winscard::Status(card, readerNames, readerLength, state, protocol, atr, atrLength);
    }

    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                  DWORD sendLength, SCARD_IO_REQUEST* receivePci, BYTE* receive,
                  DWORD* receiveLength) override {
        if (sendPci == nullptr)
            return SCARD_E_INVALID_PARAMETER;
        return winscard::Transmit(card, sendPci->dwProtocol, sendPci->cbPciLength, send, sendLength,
                                  receivePci != nullptr ? &receivePci->dwProtocol : nullptr,
                                  receivePci != nullptr ? &receivePci->cbPciLength : nullptr,
                                  receive, receiveLength);
    }

    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return winscard::Disconnect(card, disposition);
    }
};

std::atomic<SCardService*> g_installed{nullptr};

}  // namespace

SCardService& GetSCardService() {
    static WinSCardService winscard;
    SCardService* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : winscard;
}

SCardService* SetSCardService(SCardService* service) {
    return g_installed.exchange(service, std::memory_order_acq_rel);
}

}  // namespace ml
