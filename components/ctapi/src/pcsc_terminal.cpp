#include "pcsc_terminal.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "apdu.h"
#include "trace.h"

namespace ct32 {
namespace {

constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
// How long a card reset that failed waits, at most twice, for pcscd to tell a
// removal: pcscd looks at a polled reader about every 0.4 s.
constexpr DWORD kRemovalSettleMs = 500;

// Logs a PC/SC call that did not succeed, with the raw code.
Fault Checked(const char* call, const std::string& reader, LONG rv) {
    const Fault fault = Classify(rv);
    if (fault == Fault::kNone || fault == Fault::kTimeout) {
        return fault;
    }
    // An empty slot or a pulled card is the daily business of a terminal.
    const bool expected =
        fault == Fault::kNoCard || fault == Fault::kCardLost || fault == Fault::kCancelled;
    Trace(expected ? TraceLevel::kCalls : TraceLevel::kFailures, "%s(\"%s\") = 0x%08X (%s)", call,
          reader.c_str(), PcscCode(rv), FaultName(fault));
    return fault;
}

Fault ListReaders(SCARDCONTEXT context, std::vector<std::string>* readers) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
        if (rv == SCARD_S_SUCCESS) {
            std::string multi(size, '\0');
            rv = SCardListReaders(context, nullptr, multi.data(), &size);
            if (rv == SCARD_S_SUCCESS) {
                multi.resize(size);
                readers->clear();
                for (size_t pos = 0; pos < multi.size() && multi[pos] != '\0';) {
                    const size_t end = multi.find('\0', pos);
                    readers->push_back(multi.substr(pos, end - pos));
                    pos = end == std::string::npos ? multi.size() : end + 1;
                }
                return Fault::kNone;
            }
        }
        // The list grew between the two calls: ask again.
        if (rv != SCARD_E_INSUFFICIENT_BUFFER) {
            return Checked("SCardListReaders", "", rv);
        }
    }
    return Fault::kOther;
}

}  // namespace

Fault Classify(LONG rv) {
    switch (rv) {
        case SCARD_S_SUCCESS:
            return Fault::kNone;
        case SCARD_E_NO_SMARTCARD:
            return Fault::kNoCard;
        case SCARD_W_REMOVED_CARD:
        case SCARD_W_RESET_CARD:
            return Fault::kCardLost;
        case SCARD_W_UNRESPONSIVE_CARD:
        case SCARD_W_UNPOWERED_CARD:
        case SCARD_W_UNSUPPORTED_CARD:
        case SCARD_E_PROTO_MISMATCH:
        case SCARD_E_CARD_UNSUPPORTED:
            return Fault::kCardMute;
        case SCARD_E_SHARING_VIOLATION:
            return Fault::kCardBusy;
        case SCARD_E_NO_SERVICE:
        case SCARD_E_SERVICE_STOPPED:
        case SCARD_E_INVALID_HANDLE:
        case SCARD_F_COMM_ERROR:
            return Fault::kNoService;
        case SCARD_E_UNKNOWN_READER:
        case SCARD_E_READER_UNAVAILABLE:
        case SCARD_E_NO_READERS_AVAILABLE:
            return Fault::kReaderGone;
        case SCARD_E_NOT_TRANSACTED:
        case SCARD_E_INSUFFICIENT_BUFFER:
            return Fault::kTransmission;
        case SCARD_E_TIMEOUT:
            return Fault::kTimeout;
        case SCARD_E_CANCELLED:
            return Fault::kCancelled;
        default:
            return Fault::kOther;
    }
}

uint32_t PcscCode(LONG rv) {
    return static_cast<uint32_t>(rv);
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::kNone:
            return "ok";
        case Fault::kNoCard:
            return "no card";
        case Fault::kCardLost:
            return "card removed or reset";
        case Fault::kCardMute:
            return "card cannot be activated";
        case Fault::kCardBusy:
            return "card held by another application";
        case Fault::kNoService:
            return "PC/SC service not reachable";
        case Fault::kReaderGone:
            return "reader not present";
        case Fault::kTransmission:
            return "transmission failed";
        case Fault::kTimeout:
            return "timeout";
        case Fault::kCancelled:
            return "cancelled";
        case Fault::kOther:
            break;
    }
    return "PC/SC failure";
}

Fault PcscTerminal::Open(unsigned port, std::unique_ptr<PcscTerminal>* terminal) {
    SCARDCONTEXT context = 0;
    Fault fault = Checked("SCardEstablishContext", "",
                          SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    if (fault != Fault::kNone) {
        return fault == Fault::kOther ? Fault::kNoService : fault;
    }
    std::vector<std::string> readers;
    fault = ListReaders(context, &readers);
    if (fault == Fault::kNone && (port == 0 || port > readers.size())) {
        Trace(TraceLevel::kFailures, "port %u: only %zu reader(s) present", port, readers.size());
        fault = Fault::kReaderGone;
    }
    if (fault != Fault::kNone) {
        SCardReleaseContext(context);
        return fault;
    }
    terminal->reset(new PcscTerminal(context, readers[port - 1]));
    return Fault::kNone;
}

PcscTerminal::PcscTerminal(SCARDCONTEXT context, std::string reader)
    : context_(context), reader_(std::move(reader)), response_(MAX_BUFFER_SIZE_EXTENDED) {}

PcscTerminal::~PcscTerminal() {
    EndCardSession();
    if (context_ != 0) {
        SCardReleaseContext(context_);
    }
}

Fault PcscTerminal::RenewContext() {
    EndCardSession();
    if (context_ != 0) {
        SCardReleaseContext(context_);
        context_ = 0;
    }
    SCARDCONTEXT context = 0;
    const Fault fault =
        Checked("SCardEstablishContext", reader_,
                SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    if (fault != Fault::kNone) {
        return fault == Fault::kOther ? Fault::kNoService : fault;
    }
    context_ = context;
    return Fault::kNone;
}

Fault PcscTerminal::Connect() {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    Fault fault = Fault::kNoService;
    // A context from before a restart of pcscd is refused once; renew it.
    for (int attempt = 0; attempt < 2 && fault == Fault::kNoService; ++attempt) {
        if (attempt > 0 || context_ == 0) {
            const Fault renewed = RenewContext();
            if (renewed != Fault::kNone) {
                return renewed;
            }
        }
        fault = Checked("SCardConnect", reader_,
                        SCardConnect(context_, reader_.c_str(), SCARD_SHARE_SHARED, kProtocols,
                                     &card, &protocol));
    }
    if (fault == Fault::kNone) {
        card_ = card;
        protocol_ = protocol;
    }
    return fault;
}

Fault PcscTerminal::WarmReset() {
    DWORD protocol = 0;
    Fault fault =
        Checked("SCardReconnect", reader_,
                SCardReconnect(card_, SCARD_SHARE_SHARED, kProtocols, SCARD_RESET_CARD, &protocol));
    if (fault != Fault::kNone) {
        return fault;
    }
    protocol_ = protocol;
    return ReadAtr();
}

Fault PcscTerminal::ReadAtr() {
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_length = sizeof atr;
    DWORD state = 0;
    DWORD protocol = 0;
    DWORD reader_length = 0;
    const Fault fault =
        Checked("SCardStatus", reader_,
                SCardStatus(card_, nullptr, &reader_length, &state, &protocol, atr, &atr_length));
    if (fault == Fault::kNone) {
        atr_.assign(atr, atr + atr_length);
    }
    return fault;
}

Fault PcscTerminal::SelectMasterFile() {
    static constexpr BYTE kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0   ? SCARD_PCI_T0
                                  : protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                                                   : SCARD_PCI_RAW;
    BYTE answer[258];
    DWORD length = sizeof answer;
    const Fault fault =
        Checked("SCardTransmit", reader_,
                SCardTransmit(card_, pci, kSelectMf, sizeof kSelectMf, nullptr, answer, &length));
    if (fault != Fault::kNone) {
        return fault;
    }
    if (length < 2) {
        return Fault::kTransmission;  // the card went in the middle of the command
    }
    const bool selected =
        answer[length - 2] == 0x61 || (answer[length - 2] == 0x90 && answer[length - 1] == 0x00);
    return selected ? Fault::kNone : Fault::kOther;
}

Fault PcscTerminal::TakeTransaction() {
    if (!transaction_wanted_ || transaction_held_ || card_ == 0) {
        return Fault::kNone;
    }
    // pcsc-lite waits here while another application holds the card.
    const Fault fault = Checked("SCardBeginTransaction", reader_, SCardBeginTransaction(card_));
    transaction_held_ = fault == Fault::kNone;
    return fault;
}

Fault PcscTerminal::SetTransaction(bool wanted) {
    transaction_wanted_ = wanted;
    if (wanted) {
        const Fault fault = TakeTransaction();
        if (fault == Fault::kCardLost || fault == Fault::kNoService || fault == Fault::kNoCard) {
            EndCardSession();  // the next card reset connects afresh
        }
        return fault;
    }
    if (transaction_held_) {
        transaction_held_ = false;
        Checked("SCardEndTransaction", reader_, SCardEndTransaction(card_, SCARD_LEAVE_CARD));
    }
    return Fault::kNone;
}

Fault PcscTerminal::ResetTerminal() {
    EndCardSession();
    if (context_ == 0 || SCardIsValidContext(context_) != SCARD_S_SUCCESS) {
        const Fault fault = RenewContext();
        if (fault != Fault::kNone) {
            return fault;
        }
    }
    bool present = false;
    return CardPresent(&present);
}

Fault PcscTerminal::ResetCard() {
    // The card may be in use by other applications, or another application
    // may have left any file selected: instead of a warm reset, which would
    // break the others' sessions, the master file is selected inside the
    // transaction. A session lost since the last call (card swapped, reset
    // by someone else, pcscd restarted) is replaced once by a new one.
    Fault fault = Fault::kNone;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (card_ == 0) {
            fault = Connect();
            if (fault != Fault::kNone) {
                break;
            }
        }
        fault = TakeTransaction();
        if (fault == Fault::kNone) {
            fault = ReadAtr();
        }
        if (fault == Fault::kNone) {
            fault = SelectMasterFile();
            if (fault == Fault::kOther) {
                // A card that cannot select its master file gets a real reset.
                fault = WarmReset();
            }
        }
        if (fault == Fault::kNone) {
            return fault;
        }
        EndCardSession();
        if (fault != Fault::kCardLost && fault != Fault::kNoService) {
            break;
        }
    }
    if (fault == Fault::kTransmission || fault == Fault::kCardMute || fault == Fault::kOther) {
        fault = RemovedMeanwhile(fault);
    }
    return fault;
}

Fault PcscTerminal::RemovedMeanwhile(Fault fault) {
    // A card pulled out during the reset stops answering before pcscd has
    // noticed (it polls the reader): wait for its next look at the slot, so
    // that a removal counts as no card rather than as a card that fails.
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context_, 0, &state, 1) != SCARD_S_SUCCESS) {
        return fault;
    }
    for (int look = 0; look < 2 && (state.dwEventState & SCARD_STATE_PRESENT) != 0; ++look) {
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        const LONG rv = SCardGetStatusChange(context_, kRemovalSettleMs, &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
            return fault;
        }
    }
    return (state.dwEventState & SCARD_STATE_PRESENT) != 0 ? fault : Fault::kNoCard;
}

void PcscTerminal::EndCardSession() {
    if (card_ != 0) {
        // Disconnecting ends a transaction of the session as well.
        transaction_held_ = false;
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        card_ = 0;
    }
    protocol_ = 0;
    atr_.clear();
}

Fault PcscTerminal::CardPresent(bool* present) {
    *present = false;
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    Fault fault =
        Checked("SCardGetStatusChange", reader_, SCardGetStatusChange(context_, 0, &state, 1));
    if (fault == Fault::kNoService) {
        fault = RenewContext();
        if (fault == Fault::kNone) {
            fault = Checked("SCardGetStatusChange", reader_,
                            SCardGetStatusChange(context_, 0, &state, 1));
        }
    }
    if (fault == Fault::kTimeout) {
        fault = Fault::kNone;  // the state is current all the same
    }
    if (fault != Fault::kNone) {
        return fault;
    }
    if ((state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0) {
        return Fault::kReaderGone;
    }
    *present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    return Fault::kNone;
}

Fault PcscTerminal::WaitForCard(bool want_present, unsigned seconds, bool* reached) {
    *reached = false;
    bool present = false;
    Fault fault = CardPresent(&present);
    if (fault != Fault::kNone || present == want_present || seconds == 0) {
        *reached = fault == Fault::kNone && present == want_present;
        return fault;
    }
    // Waits in slices, so that a Cancel() that comes before the wait has begun
    // still ends it soon.
    constexpr std::chrono::milliseconds kSlice(500);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        if (cancelled_.load()) {
            return Fault::kCancelled;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Fault::kNone;
        }
        const DWORD timeout = static_cast<DWORD>(std::min(left, kSlice).count());
        fault = Checked("SCardGetStatusChange", reader_,
                        SCardGetStatusChange(context_, timeout, &state, 1));
        if (fault == Fault::kTimeout) {
            continue;
        }
        if (fault != Fault::kNone) {
            return fault;
        }
        if ((state.dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0) {
            return Fault::kReaderGone;
        }
        if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == want_present) {
            *reached = true;
            return Fault::kNone;
        }
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
}

Fault PcscTerminal::Transmit(std::span<const uint8_t> command, std::span<const uint8_t>* response) {
    if (card_ == 0) {
        Trace(TraceLevel::kFailures, "card command on \"%s\" without an active card",
              reader_.c_str());
        return Fault::kCardLost;
    }
    const Fault taken = TakeTransaction();
    if (taken != Fault::kNone) {
        EndCardSession();
        return taken;
    }
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0   ? SCARD_PCI_T0
                                  : protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1
                                                                   : SCARD_PCI_RAW;
    DWORD length = static_cast<DWORD>(response_.size());
    const Fault fault =
        Checked("SCardTransmit", reader_,
                SCardTransmit(card_, pci, command.data(), static_cast<DWORD>(command.size()),
                              nullptr, response_.data(), &length));
    if (fault == Fault::kCardLost || fault == Fault::kNoCard || fault == Fault::kNoService ||
        fault == Fault::kReaderGone || fault == Fault::kCardMute) {
        EndCardSession();
    }
    if (fault != Fault::kNone) {
        return fault;
    }
    if (length < 2 || length > MaxResponseLength(command)) {
        // A card that went away in the middle of the command leaves no status
        // word; an answer longer than the command allows is not the card's.
        Trace(TraceLevel::kFailures, "SCardTransmit(\"%s\"): %lu byte(s), not an answer",
              reader_.c_str(), static_cast<unsigned long>(length));
        return Fault::kTransmission;
    }
    *response = std::span<const uint8_t>(response_.data(), length);
    return Fault::kNone;
}

void PcscTerminal::Cancel() {
    cancelled_.store(true);
    SCardCancel(context_);
}

}  // namespace ct32
