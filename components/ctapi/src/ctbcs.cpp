#include "ctbcs.h"

#include <ctapi.h>

#include <optional>

#include "apdu.h"
#include "atr.h"
#include "trace.h"

namespace ct32 {
namespace {

constexpr uint8_t kClass = 0x20;
constexpr uint8_t kInsResetCompat = 0x10;
constexpr uint8_t kInsReset = 0x11;
constexpr uint8_t kInsRequestIcc = 0x12;
constexpr uint8_t kInsGetStatus = 0x13;
constexpr uint8_t kInsEjectIcc = 0x15;

constexpr uint8_t kUnitTerminal = 0x00;
constexpr uint8_t kUnitCard = 0x01;

constexpr uint8_t kAnswerNone = 0x00;
constexpr uint8_t kAnswerAtr = 0x01;
constexpr uint8_t kAnswerHistorical = 0x02;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kProcessorCard = 0x9001;
constexpr uint16_t kRemoved = 0x9001;
constexpr uint16_t kNoCardInTime = 0x6200;
constexpr uint16_t kAlreadyActive = 0x6201;
constexpr uint16_t kResetFailed = 0x6400;
constexpr uint16_t kNoCard = 0x64A1;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kWrongParameters = 0x6A00;
constexpr uint16_t kUnknownInstruction = 0x6D00;
constexpr uint16_t kWrongClass = 0x6E00;

// Status byte of GET STATUS 80.
constexpr uint8_t kSlotEmpty = 0x00;
constexpr uint8_t kSlotCard = 0x01;
constexpr uint8_t kSlotCardActive = 0x05;

// Manufacturer data of GET STATUS 46: CTM (country, maker), CTT (type), CTSV
// (software version), five bytes each.
constexpr uint8_t kManufacturer[] = {'Z', 'Z', 'M', 'L', 'X', 'C', 'T', '3',
                                     '2', ' ', '0', '1', '.', '0', '0'};

void AppendSw(std::vector<uint8_t>* answer, uint16_t sw) {
    answer->push_back(static_cast<uint8_t>(sw >> 8));
    answer->push_back(static_cast<uint8_t>(sw & 0xFF));
}

int8_t Answer(std::vector<uint8_t>* answer, uint16_t sw) {
    AppendSw(answer, sw);
    return OK;
}

// Faults that leave the terminal without an answer of its own.
std::optional<int8_t> TerminalFailure(Fault fault) {
    switch (fault) {
        case Fault::kNoService:
            return ERR_HTSI;
        case Fault::kReaderGone:
        case Fault::kCancelled:
        case Fault::kOther:
            return ERR_CT;
        default:
            return std::nullopt;
    }
}

bool FitsLe(const CommandApdu& apdu, size_t data_length) {
    return !apdu.le || *apdu.le >= data_length;
}

// A wait in seconds given as one bare byte or as data object 80 01 tt.
// Other data objects (display texts) are skipped. Nothing when malformed.
std::optional<unsigned> Timeout(std::span<const uint8_t> data) {
    if (data.empty()) {
        return 0u;
    }
    if (data.size() == 1) {
        return data[0];
    }
    unsigned seconds = 0;
    for (size_t pos = 0; pos < data.size();) {
        if (data.size() - pos < 2 || data.size() - pos - 2 < data[pos + 1]) {
            return std::nullopt;
        }
        if (data[pos] == 0x80 && data[pos + 1] == 1) {
            seconds = data[pos + 2];
        }
        pos += 2 + data[pos + 1];
    }
    return seconds;
}

// Activates the card and answers as RESET CT and REQUEST ICC do.
int8_t ActivateCard(PcscTerminal& terminal, const CommandApdu& apdu, uint8_t what,
                    std::vector<uint8_t>* answer) {
    const Fault fault = terminal.ResetCard();
    if (const auto failure = TerminalFailure(fault)) {
        return *failure;
    }
    if (fault == Fault::kNoCard || fault == Fault::kCardLost) {
        return Answer(answer, kNoCard);
    }
    if (fault != Fault::kNone) {
        return Answer(answer, kResetFailed);
    }
    const std::span<const uint8_t> atr = terminal.atr();
    Trace(TraceLevel::kCalls, "card in \"%s\" active, ATR %s", terminal.reader().c_str(),
          Hex(atr).c_str());
    std::span<const uint8_t> data;
    if (what == kAnswerAtr) {
        data = atr;
    } else if (what == kAnswerHistorical) {
        data = HistoricalBytes(atr).value_or(std::span<const uint8_t>());
    }
    if (!FitsLe(apdu, data.size())) {
        return Answer(answer, kWrongLength);
    }
    answer->assign(data.begin(), data.end());
    return Answer(answer, ClassifyAtr(atr) == CardKind::kProcessor ? kProcessorCard : kOk);
}

int8_t Reset(PcscTerminal& terminal, const CommandApdu& apdu, std::vector<uint8_t>* answer) {
    if (apdu.p1 == kUnitTerminal) {
        if (apdu.p2 != kAnswerNone) {
            return Answer(answer, kWrongParameters);
        }
        if (!apdu.data.empty()) {
            return Answer(answer, kWrongLength);
        }
        const Fault fault = terminal.ResetTerminal();
        if (const auto failure = TerminalFailure(fault)) {
            return *failure;
        }
        return Answer(answer, fault == Fault::kNone ? kOk : kResetFailed);
    }
    if (apdu.p1 != kUnitCard || apdu.p2 > kAnswerHistorical) {
        return Answer(answer, kWrongParameters);
    }
    if (!apdu.data.empty()) {
        return Answer(answer, kWrongLength);
    }
    return ActivateCard(terminal, apdu, apdu.p2, answer);
}

int8_t RequestIcc(PcscTerminal& terminal, const CommandApdu& apdu, std::vector<uint8_t>* answer) {
    // The high nibble of P2 asks terminals with a display for a prompt.
    const uint8_t what = apdu.p2 & 0x0F;
    if (apdu.p1 != kUnitCard || what > kAnswerHistorical) {
        return Answer(answer, kWrongParameters);
    }
    const std::optional<unsigned> seconds = Timeout(apdu.data);
    if (!seconds) {
        return Answer(answer, kWrongLength);
    }
    bool present = false;
    Fault fault = terminal.CardPresent(&present);
    if (fault == Fault::kNone && terminal.card_active()) {
        if (present) {
            return Answer(answer, kAlreadyActive);
        }
        terminal.EndCardSession();  // the card was pulled since its reset
    }
    bool arrived = false;
    if (fault == Fault::kNone) {
        fault = terminal.WaitForCard(true, *seconds, &arrived);
    }
    if (const auto failure = TerminalFailure(fault)) {
        return *failure;
    }
    if (fault != Fault::kNone) {
        return Answer(answer, kResetFailed);
    }
    if (!arrived) {
        return Answer(answer, kNoCardInTime);
    }
    return ActivateCard(terminal, apdu, what, answer);
}

int8_t GetStatus(PcscTerminal& terminal, const CommandApdu& apdu, std::vector<uint8_t>* answer) {
    if (apdu.p1 != kUnitTerminal || (apdu.p2 != 0x46 && apdu.p2 != 0x80)) {
        return Answer(answer, kWrongParameters);
    }
    if (!apdu.data.empty()) {
        return Answer(answer, kWrongLength);
    }
    if (apdu.p2 == 0x46) {
        if (!FitsLe(apdu, 2 + sizeof kManufacturer)) {
            return Answer(answer, kWrongLength);
        }
        answer->push_back(0x46);
        answer->push_back(sizeof kManufacturer);
        answer->insert(answer->end(), std::begin(kManufacturer), std::end(kManufacturer));
        return Answer(answer, kOk);
    }
    bool present = false;
    const Fault fault = terminal.CardPresent(&present);
    if (const auto failure = TerminalFailure(fault)) {
        return *failure;
    }
    if (!present && terminal.card_active()) {
        terminal.EndCardSession();
    }
    if (!FitsLe(apdu, 3)) {
        return Answer(answer, kWrongLength);
    }
    const uint8_t status =
        !present ? kSlotEmpty : (terminal.card_active() ? kSlotCardActive : kSlotCard);
    *answer = {0x80, 0x01, status};
    return Answer(answer, kOk);
}

int8_t EjectIcc(PcscTerminal& terminal, const CommandApdu& apdu, std::vector<uint8_t>* answer) {
    if (apdu.p1 != kUnitCard) {
        return Answer(answer, kWrongParameters);
    }
    const std::optional<unsigned> seconds = Timeout(apdu.data);
    if (!seconds) {
        return Answer(answer, kWrongLength);
    }
    terminal.EndCardSession();
    if (*seconds == 0) {
        return Answer(answer, kOk);
    }
    bool removed = false;
    const Fault fault = terminal.WaitForCard(false, *seconds, &removed);
    if (const auto failure = TerminalFailure(fault)) {
        return *failure;
    }
    return Answer(answer, removed ? kRemoved : kNoCardInTime);
}

}  // namespace

int8_t RunTerminalCommand(PcscTerminal& terminal, std::span<const uint8_t> command,
                          std::vector<uint8_t>* answer) {
    answer->clear();
    if (command[0] != kClass) {
        return Answer(answer, kWrongClass);
    }
    const uint8_t ins = command[1];
    if (ins != kInsReset && ins != kInsResetCompat && ins != kInsRequestIcc &&
        ins != kInsGetStatus && ins != kInsEjectIcc) {
        return Answer(answer, kUnknownInstruction);
    }
    const std::optional<CommandApdu> apdu = ParseShortApdu(command);
    if (!apdu) {
        return Answer(answer, kWrongLength);
    }
    switch (ins) {
        case kInsReset:
        case kInsResetCompat:
            return Reset(terminal, *apdu, answer);
        case kInsRequestIcc:
            return RequestIcc(terminal, *apdu, answer);
        case kInsGetStatus:
            return GetStatus(terminal, *apdu, answer);
        default:
            return EjectIcc(terminal, *apdu, answer);
    }
}

int8_t CardCommandResult(Fault fault) {
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

}  // namespace ct32
