// An in-process smart-card service for tests: one reader holding the card
// logic mlcardsim serves over vpcd. It checks handles, PCI and buffer sizes as
// pcsc-lite does, counts what is open, records every APDU and answers from
// scripted replies, then from the card; a scripted transmit allocates nothing.
#ifndef ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_
#define ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cardsim/card.h"
#include "platform/scard.h"

namespace mltest {

struct SentApdu {
    BYTE bytes[308];
    DWORD length;
    DWORD receiveCapacity;  // *receiveLength on entry
    std::vector<BYTE> Bytes() const { return {bytes, bytes + length}; }
};

class FakeSCard final : public ml::SCardService {
  public:
    static constexpr size_t kReserved = 256;
    using Files = std::map<std::uint16_t, cardsim::Bytes>;  // the card's EFs by identifier

    // A reader named u"Fake Reader 00" holding a generic card without files, T=1.
    FakeSCard();

    void SetReaderName(std::u16string name) { readerName_ = std::move(name); }
    const std::u16string& ReaderName() const { return readerName_; }
    void InsertCard(cardsim::Family family, Files files = {}, DWORD protocol = SCARD_PROTOCOL_T1);
    // Until the same card is back (reset), the card calls give SCARD_W_REMOVED_CARD.
    void RemoveCard() { present_ = false; }
    void ReinsertCard() { card_.Reset(), present_ = true; }
    cardsim::Card& Card() { return card_; }
    // The reader reports this ATR instead of the card's own.
    void SetAtr(std::vector<BYTE> atr) { atr_ = std::move(atr); }

    // Failures to inject.
    LONG establishResult = 0, connectResult = 0, statusResult = 0, disconnectResult = 0,
         releaseResult = 0;

    // Whole answers (data and status word) or failed transmits, before the card's.
    void Reply(const std::vector<BYTE>& bytes, LONG result = SCARD_S_SUCCESS);
    void ReplySw(WORD sw) { Reply({static_cast<BYTE>(sw >> 8), static_cast<BYTE>(sw)}); }
    void ReplyData(std::vector<BYTE> data, WORD sw);
    void FailTransmit(LONG result) { Reply({}, result); }
    size_t PendingReplies() const { return replies_.size() - nextReply_; }

    const std::vector<SentApdu>& Sent() const { return sent_; }
    void ClearSent() { sent_.clear(); }

    int OpenContexts() const { return static_cast<int>(contexts_.size()); }
    int OpenCards() const { return static_cast<int>(cards_.size()); }
    int ConnectCalls() const { return connectCalls_; }
    // Calls of ReleaseContext; the last scope, share mode and disposition.
    int releaseCalls = 0;
    DWORD lastScope = 0xFFFFFFFF, lastShareMode = 0xFFFFFFFF, lastDisposition = 0xFFFFFFFF;

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override;
    LONG ReleaseContext(SCARDCONTEXT context) override;
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD preferredProtocols,
                 SCARDHANDLE* card, DWORD* activeProtocol) override;
    LONG Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                DWORD* protocol, BYTE* atr, DWORD* atrLength) override;
    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                  DWORD sendLength, SCARD_IO_REQUEST* receivePci, BYTE* receive,
                  DWORD* receiveLength) override;
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override;

  private:
    struct Scripted {
        LONG result;
        BYTE bytes[300];
        DWORD length;
    };

    std::u16string readerName_ = u"Fake Reader 00";
    bool present_ = true;
    cardsim::Card card_{cardsim::CardImage{}};
    std::vector<BYTE> atr_;
    DWORD protocol_ = SCARD_PROTOCOL_T1;
    std::vector<Scripted> replies_;
    size_t nextReply_ = 0;
    std::vector<SentApdu> sent_;
    std::vector<SCARDCONTEXT> contexts_;
    std::vector<SCARDHANDLE> cards_;
    SCARDCONTEXT nextContext_ = 0x1000;
    SCARDHANDLE nextCard_ = 0x2000;
    int connectCalls_ = 0;
};

// Installs a service for the life of the object.
class ScopedSCardService {
  public:
    explicit ScopedSCardService(ml::SCardService* service)
        : previous_(ml::SetSCardService(service)) {}
    ~ScopedSCardService() { ml::SetSCardService(previous_); }
    ScopedSCardService(const ScopedSCardService&) = delete;
    ScopedSCardService& operator=(const ScopedSCardService&) = delete;

  private:
    ml::SCardService* previous_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_
