// The CT-API entry points of ct32.so: the table of open terminals and the
// checks of every call; the terminal commands are in ctbcs.cpp and the PC/SC
// work in pcsc_terminal.cpp.
//
// How PC/SC outcomes become CT-API results:
//
//   PC/SC result                                  CT_init   card reset     card command
//   SCARD_S_SUCCESS                               OK        OK, 90 0x      OK, card's SW
//   SCARD_E_NO_SERVICE, _SERVICE_STOPPED,
//     _INVALID_HANDLE, SCARD_F_COMM_ERROR         ERR_HTSI  ERR_HTSI       ERR_HTSI
//   SCARD_E_UNKNOWN_READER, _READER_UNAVAILABLE,
//     _NO_READERS_AVAILABLE; port beyond the
//     readers present                             ERR_CT    ERR_CT         ERR_CT
//   SCARD_E_NO_SMARTCARD, SCARD_W_REMOVED_CARD,
//     SCARD_W_RESET_CARD                          -         OK, 64 A1      ERR_TRANS
//   SCARD_W_UNRESPONSIVE_CARD, _UNPOWERED_CARD,
//     _UNSUPPORTED_CARD, SCARD_E_PROTO_MISMATCH,
//     _CARD_UNSUPPORTED, _SHARING_VIOLATION       -         OK, 64 00      ERR_TRANS
//   SCARD_E_NOT_TRANSACTED, _INSUFFICIENT_BUFFER,
//     an answer without status word               -         OK, 64 00      ERR_TRANS
//   any other failure                             ERR_CT    ERR_CT         ERR_TRANS
//
// "card reset" is RESET CT of the card; REQUEST ICC answers alike, except
// that an empty slot gives 62 00 once its time is up. A card command without
// an active card (never reset, or removed since) gives ERR_TRANS; the next
// card reset connects afresh. After pcscd restarted, the next card reset,
// terminal reset or GET STATUS renews the context.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "ct32.h"
#include "ctbcs.h"
#include "pcsc_terminal.h"
#include "trace.h"

namespace {

using ct32::Fault;
using ct32::PcscTerminal;
using ct32::Trace;
using ct32::TraceLevel;

// One open terminal. `lock` serialises its calls; `terminal` is set when the
// entry is made and stays until the entry is destroyed.
struct Entry {
    std::mutex lock;
    std::unique_ptr<PcscTerminal> terminal;
    std::vector<uint8_t> answer;  // answer of the last terminal command
};

// The open terminals by terminal number. The table lock is held only to find,
// add or take out an entry, never during a command or a call to pcscd: a
// terminal that is being opened is reserved in `opening_` while CT_init talks
// to pcscd without the lock, so a slow reader stalls no other terminal.
class Terminals {
  public:
    int8_t Open(uint16_t ctn, uint16_t pn) {
        {
            std::lock_guard lock(lock_);
            if (open_.contains(ctn) || opening_.contains(ctn)) {
                Trace(TraceLevel::kFailures, "CT_init(%u, %u): terminal already open", ctn, pn);
                return ERR_INVALID;
            }
            if (pn == 0) {
                Trace(TraceLevel::kFailures, "CT_init(%u, 0): ports count from 1", ctn);
                return ERR_INVALID;
            }
            opening_.insert(ctn);
        }
        auto entry = std::make_shared<Entry>();
        const Fault fault = PcscTerminal::Open(pn, &entry->terminal);
        std::lock_guard lock(lock_);
        opening_.erase(ctn);
        if (fault != Fault::kNone) {
            return fault == Fault::kNoService ? ERR_HTSI : ERR_CT;
        }
        Trace(TraceLevel::kCalls, "CT_init(%u, %u): reader \"%s\"", ctn, pn,
              entry->terminal->reader().c_str());
        open_.emplace(ctn, std::move(entry));
        return OK;
    }

    std::shared_ptr<Entry> Find(uint16_t ctn) {
        std::lock_guard lock(lock_);
        const auto it = open_.find(ctn);
        return it == open_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Entry> Take(uint16_t ctn) {
        std::lock_guard lock(lock_);
        const auto it = open_.find(ctn);
        if (it == open_.end()) {
            return nullptr;
        }
        std::shared_ptr<Entry> entry = std::move(it->second);
        open_.erase(it);
        return entry;
    }

  private:
    std::mutex lock_;
    std::map<uint16_t, std::shared_ptr<Entry>> open_;
    std::set<uint16_t> opening_;
};

Terminals& OpenTerminals() {
    static Terminals terminals;
    return terminals;
}

// "20 10 01 01, Lc 0, Le 256": the header and lengths, never the data.
void TraceCommand(uint16_t ctn, uint8_t dad, std::span<const uint8_t> command) {
    if (!ct32::Tracing(TraceLevel::kCalls)) {
        return;
    }
    const size_t body = command.size() - 4;
    Trace(TraceLevel::kCalls, "CT_data(%u) to %s: %s, %zu byte(s) after the header", ctn,
          dad == CT ? "terminal" : "card", ct32::Hex(command.first(4)).c_str(), body);
}

}  // namespace

extern "C" int8_t CT_init(uint16_t ctn, uint16_t pn) {
    return OpenTerminals().Open(ctn, pn);
}

extern "C" int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, uint8_t* command,
                          uint16_t* lenr, uint8_t* response) {
    if (dad == nullptr || sad == nullptr || command == nullptr || lenr == nullptr ||
        response == nullptr || lenc < 4) {
        Trace(TraceLevel::kFailures, "CT_data(%u): null pointer or command shorter than 4", ctn);
        return ERR_INVALID;
    }
    if ((*dad != CT && *dad != ICC1) || (*sad != HOST && *sad != REMOTE_HOST)) {
        Trace(TraceLevel::kFailures, "CT_data(%u): dad %u / sad %u not served", ctn, *dad, *sad);
        return ERR_INVALID;
    }
    const std::shared_ptr<Entry> entry = OpenTerminals().Find(ctn);
    if (entry == nullptr) {
        Trace(TraceLevel::kFailures, "CT_data(%u): terminal not open", ctn);
        return ERR_INVALID;
    }
    const std::span<const uint8_t> bytes(command, lenc);
    TraceCommand(ctn, *dad, bytes);

    std::lock_guard lock(entry->lock);
    if (entry->terminal == nullptr) {
        return ERR_INVALID;  // closed by another thread meanwhile
    }
    std::span<const uint8_t> answer;
    int8_t result = OK;
    if (*dad == CT) {
        result = ct32::RunTerminalCommand(*entry->terminal, bytes, &entry->answer);
        answer = entry->answer;
    } else {
        result = ct32::CardCommandResult(entry->terminal->Transmit(bytes, &answer));
    }
    if (result != OK) {
        Trace(TraceLevel::kFailures, "CT_data(%u) = %d", ctn, result);
        return result;
    }
    if (answer.size() > *lenr) {
        Trace(TraceLevel::kFailures, "CT_data(%u): answer of %zu bytes, buffer of %u", ctn,
              answer.size(), *lenr);
        return ERR_MEMORY;
    }
    std::memcpy(response, answer.data(), answer.size());
    *lenr = static_cast<uint16_t>(answer.size());
    std::swap(*dad, *sad);
    Trace(TraceLevel::kCalls, "CT_data(%u) = 0, %u byte(s), SW %s", ctn, *lenr,
          ct32::Hex(answer.last(2)).c_str());
    return OK;
}

extern "C" int8_t CT_close(uint16_t ctn) {
    const std::shared_ptr<Entry> entry = OpenTerminals().Take(ctn);
    if (entry == nullptr) {
        Trace(TraceLevel::kFailures, "CT_close(%u): terminal not open", ctn);
        return ERR_INVALID;
    }
    entry->terminal->Cancel();  // ends a REQUEST ICC that waits for a card
    std::lock_guard lock(entry->lock);
    entry->terminal.reset();
    Trace(TraceLevel::kCalls, "CT_close(%u)", ctn);
    return OK;
}

namespace {

int8_t SetTransaction(uint16_t ctn, bool wanted, const char* call) {
    const std::shared_ptr<Entry> entry = OpenTerminals().Find(ctn);
    if (entry == nullptr) {
        Trace(TraceLevel::kFailures, "%s(%u): terminal not open", call, ctn);
        return ERR_INVALID;
    }
    std::lock_guard lock(entry->lock);
    if (entry->terminal == nullptr) {
        return ERR_INVALID;
    }
    const Fault fault = entry->terminal->SetTransaction(wanted);
    Trace(TraceLevel::kCalls, "%s(%u): %s", call, ctn, ct32::FaultName(fault));
    switch (fault) {
        case Fault::kNone:
            return OK;
        case Fault::kNoService:
            return ERR_HTSI;
        case Fault::kReaderGone:
            return ERR_CT;
        default:
            return ERR_TRANS;
    }
}

}  // namespace

extern "C" int8_t CT_BeginTransaction(uint16_t ctn) {
    return SetTransaction(ctn, true, "CT_BeginTransaction");
}

extern "C" int8_t CT_EndTransaction(uint16_t ctn) {
    return SetTransaction(ctn, false, "CT_EndTransaction");
}

extern "C" void CT_SetTraceOptions(int level, int destination) {
    ct32::SetTraceOptions(level, destination);
}
