// A smart-card service that forwards every call to another one and counts what
// is left open and the connects (readable from any thread); tests and benchmarks.
#ifndef ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_
#define ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_

#include <atomic>

#include "platform/scard.h"

namespace mltest {

class ForwardingService : public ml::SCardService {
  public:
    explicit ForwardingService(ml::SCardService& inner) : inner_(inner) {}

    std::atomic<int> openContexts{0}, openCards{0}, connects{0};

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return Count(openContexts, +1, inner_.EstablishContext(scope, context));
    }
    LONG ReleaseContext(SCARDCONTEXT context) override {
        return Count(openContexts, -1, inner_.ReleaseContext(context));
    }
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        ++connects;
        const LONG rv = inner_.Connect(context, reader, shareMode, protocols, card, active);
        return Count(openCards, +1, rv);
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
        return Count(openCards, -1, inner_.Disconnect(card, disposition));
    }

  private:
    static LONG Count(std::atomic<int>& counter, int step, LONG rv) {
        counter += rv == SCARD_S_SUCCESS ? step : 0;
        return rv;
    }
    ml::SCardService& inner_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTING_FORWARDING_SERVICE_H_
