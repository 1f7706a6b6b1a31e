// An in-process smart-card service for tests: one reader, one scripted card.
//
// FakeSCard implements ml::SCardService. It keeps count of the contexts and
// card handles that are open, records every APDU sent (bytes, protocol of the
// PCI, receive capacity offered), and answers each transmit from a queue of
// scripted replies or, when the queue is empty, from a responder such as
// MemoryCard. Scripted replies and the record are preallocated, so a
// transmit answered from the queue allocates nothing (up to kReserved of
// each).
//
// Install it with ScopedSCardService for the life of a test. Not thread-safe:
// one test thread at a time.
#ifndef ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_
#define ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/scard.h"

namespace mltest {

// The ATRs the recognition table knows, one per variant family.
std::vector<BYTE> GenericAtr();  // matches no pattern
std::vector<BYTE> Tcos12Atr();   // pattern 1
std::vector<BYTE> Class80Atr();  // pattern 3

struct SentApdu {
    BYTE bytes[308];
    DWORD length;
    DWORD protocol;         // dwProtocol of the send PCI
    DWORD receiveCapacity;  // *receiveLength on entry
    std::vector<BYTE> Bytes() const { return {bytes, bytes + length}; }
};

class FakeSCard final : public ml::SCardService {
  public:
    static constexpr size_t kReserved = 256;
    using Responder = std::function<std::vector<BYTE>(const std::vector<BYTE>& apdu)>;

    // A reader named u"Fake Reader 00" holding a generic card under T=1.
    FakeSCard();

    void SetReaderName(std::u16string name) { readerName_ = std::move(name); }
    const std::u16string& ReaderName() const { return readerName_; }
    void InsertCard(std::vector<BYTE> atr, DWORD protocol = SCARD_PROTOCOL_T1);
    // Later connects, status calls and transmits fail with SCARD_W_REMOVED_CARD.
    void RemoveCard() { present_ = false; }

    // Failures to inject; success by default.
    LONG establishResult = SCARD_S_SUCCESS;
    LONG connectResult = SCARD_S_SUCCESS;
    LONG statusResult = SCARD_S_SUCCESS;
    LONG disconnectResult = SCARD_S_SUCCESS;
    LONG releaseResult = SCARD_S_SUCCESS;

    // Scripted replies, used in order. `bytes` is the whole answer (data and
    // status word); a reply may instead fail the transmit with `result`.
    void Reply(const std::vector<BYTE>& bytes);
    void ReplySw(WORD sw) { Reply({static_cast<BYTE>(sw >> 8), static_cast<BYTE>(sw)}); }
    void ReplyData(const std::vector<BYTE>& data, WORD sw);
    void FailTransmit(LONG result);
    size_t PendingReplies() const { return replies_.size() - nextReply_; }
    // Answers once the script is used up; without one such a transmit fails
    // with SCARD_E_NOT_TRANSACTED.
    void SetResponder(Responder responder) { responder_ = std::move(responder); }

    const std::vector<SentApdu>& Sent() const { return sent_; }
    std::vector<std::vector<BYTE>> SentBytes() const;
    void ClearSent() { sent_.clear(); }

    int OpenContexts() const { return openContexts_; }
    int OpenCards() const { return openCards_; }
    int ConnectCalls() const { return connectCalls_; }
    int StatusCalls() const { return statusCalls_; }
    int DisconnectCalls() const { return disconnectCalls_; }
    int ReleaseCalls() const { return releaseCalls_; }
    // Disposition of the last disconnect.
    DWORD LastDisposition() const { return lastDisposition_; }

    // ml::SCardService
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
    std::vector<BYTE> atr_;
    DWORD protocol_ = SCARD_PROTOCOL_T1;
    std::vector<Scripted> replies_;
    size_t nextReply_ = 0;
    Responder responder_;
    std::vector<SentApdu> sent_;
    std::vector<SCARDCONTEXT> contexts_;
    std::vector<SCARDHANDLE> cards_;
    SCARDCONTEXT nextContext_ = 0x1000;
    SCARDHANDLE nextCard_ = 0x2000;
    int openContexts_ = 0;
    int openCards_ = 0;
    int connectCalls_ = 0;
    int statusCalls_ = 0;
    int disconnectCalls_ = 0;
    int releaseCalls_ = 0;
    DWORD lastDisposition_ = 0xFFFFFFFF;
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

// A card with transparent files under the master file, answering the
// commands of the card library's three variants (told apart by their class
// byte and command layout). Use it as FakeSCard's responder:
//   fake.SetResponder(std::ref(card));
class MemoryCard {
  public:
    std::map<WORD, std::vector<BYTE>> files;
    // The PIN that VERIFY expects; empty = no PIN set (VERIFY answers 6984).
    std::string pin;
    // Every select, read and write of these files is answered with this SW.
    std::map<WORD, WORD> refuse;

    std::vector<BYTE> operator()(const std::vector<BYTE>& apdu);

  private:
    WORD current_ = 0;  // 0 = master file
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTING_FAKE_SCARD_H_
