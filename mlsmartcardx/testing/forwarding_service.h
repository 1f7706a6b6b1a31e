// A smart-card service that forwards every call to another one and counts
// what passes through; used by the tests and the benchmarks.
#ifndef ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_
#define ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_

#include <atomic>

#include "platform/scard.h"

namespace mltest {

// Forwards to another service and counts what is left open and the connects.
// The counters may be read from any thread.
class ForwardingService : public ml::SCardService {
  public:
    explicit ForwardingService(ml::SCardService& inner) : inner_(inner) {}

    std::atomic<int> openContexts{0}, openCards{0}, connects{0}, cardsFound{0};

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        LONG rv = inner_.EstablishContext(scope, context);
        openContexts += rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG ReleaseContext(SCARDCONTEXT context) override {
        LONG rv = inner_.ReleaseContext(context);
        openContexts -= rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        LONG rv = inner_.Connect(context, reader, shareMode, protocols, card, active);
        ++connects;
        cardsFound += rv == SCARD_S_SUCCESS;
        openCards += rv == SCARD_S_SUCCESS;
        return rv;
    }
    LONG Status(SCARDHANDLE card, LPWSTR names, DWORD* namesLength, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atrLength) override {
        return inner_.Status(card, names, namesLength, state, protocol, atr, atrLength);
    }
    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* pci, const BYTE* send, DWORD sendLength,
                  SCARD_IO_REQUEST* receivePci, BYTE* receive, DWORD* receiveLength) override {
        return inner_.Transmit(card, pci, send, sendLength, receivePci, receive, receiveLength);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        LONG rv = inner_.Disconnect(card, disposition);
        openCards -= rv == SCARD_S_SUCCESS;
        return rv;
    }

  private:
    ml::SCardService& inner_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_
