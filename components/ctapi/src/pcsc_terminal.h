// One card terminal on one PC/SC reader: its own PC/SC context, the reader
// name, and the card session while a card is active.
//
// Thread safety: a PcscTerminal is not locked; its owner serialises the
// calls. Only Cancel() may be called from another thread at any time.
// Blocking: every call waits for pcscd; WaitForCard for up to its timeout.
#ifndef ML_COMPONENTS_CTAPI_PCSC_TERMINAL_H_
#define ML_COMPONENTS_CTAPI_PCSC_TERMINAL_H_

#include <PCSC/winscard.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace ct32 {

// What a PC/SC result means to a card terminal. Classify() is the only place
// that looks at pcsc-lite's result codes (64-bit LONG values on LP64).
enum class Fault {
    kNone,
    kNoCard,        // the slot is empty
    kCardLost,      // removed, or reset by another application: the session is gone
    kCardMute,      // present but cannot be activated (mute, unsupported, protocol)
    kCardBusy,      // held exclusively by another application
    kNoService,     // pcscd cannot be reached, or it restarted
    kReaderGone,    // the reader is no longer known to pcscd
    kTransmission,  // a command did not get through
    kTimeout,
    kCancelled,
    kOther,
};
Fault Classify(LONG rv);

// The raw code for traces, as the 32-bit value that documentation shows.
uint32_t PcscCode(LONG rv);

const char* FaultName(Fault fault);

class PcscTerminal {
  public:
    // Opens the terminal on the `port`-th reader (1-based) of SCardListReaders.
    // Returns kNone and the terminal, kNoService, or kReaderGone when the port
    // is beyond the readers present.
    static Fault Open(unsigned port, std::unique_ptr<PcscTerminal>* terminal);

    ~PcscTerminal();  // ends the card session and releases the context
    PcscTerminal(const PcscTerminal&) = delete;
    PcscTerminal& operator=(const PcscTerminal&) = delete;

    const std::string& reader() const { return reader_; }

    // True while a card session exists. A removal is noticed only by the next
    // call that talks to the card.
    bool card_active() const { return card_ != 0; }

    // ATR of the active card; empty without a session.
    std::span<const uint8_t> atr() const { return atr_; }

    // Ends the card session and makes sure that the context is valid and the
    // reader still known.
    Fault ResetTerminal();

    // Activates the card and brings it to its state after a reset, the
    // master file selected, without disturbing other applications that use
    // the card: inside the transaction (when one is wanted) it selects the
    // master file of the session's card, connecting first when there is no
    // session or it was lost. Only a card that refuses that selection gets a
    // warm reset. A reset that fails while pcscd reports the slot empty
    // within about a second is kNoCard. kNone leaves the ATR in atr(); a
    // failure leaves no session.
    Fault ResetCard();

    // Whether the card commands of this terminal run inside a PC/SC
    // transaction, so that no other application's command comes between
    // them. While wanted, the transaction is taken at the card reset or at
    // the next card command, and held until SetTransaction(false) or the end
    // of the session. Taking it waits while another application holds one.
    Fault SetTransaction(bool wanted);

    // Ends the card session. The card is left as it is: pcscd powers an
    // unused card down by itself. (Disconnecting with SCARD_UNPOWER_CARD made
    // pcscd with vpcd miss the power-up of the next card put into the slot.)
    void EndCardSession();

    // Whether a card is in the slot, whatever its session.
    Fault CardPresent(bool* present);

    // Waits up to `seconds` until a card is present (`want_present`) or the
    // slot is empty (!want_present). *reached says whether that happened.
    // Cancel() ends the wait early with kCancelled.
    Fault WaitForCard(bool want_present, unsigned seconds, bool* reached);

    // Sends a command to the active card. On kNone *response views the
    // answer (data and status word) in a buffer of the terminal, valid until
    // the next call. Fails with kCardLost when there is no session; a lost
    // card ends the session.
    Fault Transmit(std::span<const uint8_t> command, std::span<const uint8_t>* response);

    // Ends a WaitForCard running on another thread, and every later one, with
    // kCancelled. For closing the terminal. Thread-safe.
    void Cancel();

  private:
    PcscTerminal(SCARDCONTEXT context, std::string reader);

    Fault RenewContext();  // after pcscd restarted
    Fault Connect();
    Fault WarmReset();  // of the session's card; reads its ATR
    Fault ReadAtr();
    Fault SelectMasterFile();
    Fault TakeTransaction();  // when wanted and not yet held
    // `fault` of a failed card reset, or kNoCard when pcscd reports the slot
    // empty within about a second.
    Fault RemovedMeanwhile(Fault fault);

    std::atomic<SCARDCONTEXT> context_;  // atomic for Cancel() only
    std::atomic<bool> cancelled_{false};
    const std::string reader_;
    SCARDHANDLE card_ = 0;
    bool transaction_wanted_ = false;
    bool transaction_held_ = false;
    DWORD protocol_ = 0;
    std::vector<uint8_t> atr_;
    std::vector<uint8_t> response_;
};

}  // namespace ct32

#endif  // ML_COMPONENTS_CTAPI_PCSC_TERMINAL_H_
