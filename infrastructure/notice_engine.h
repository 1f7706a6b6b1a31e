// The notices of a card supervision, the same for every card device: what a
// pass posts to the host, which logon/logoff event it sets, what it
// remembers and which trace entry it writes.
//
// A pass tells what it saw; the decision compares that with the notice
// remembered from the passes before:
//   - what was posted last is not posted again;
//   - an inserted or a removed card waits while the logon or the logoff
//     event is set (the next pass decides again), errors and unknown cards
//     do not wait;
//   - an unknown card is remembered as inserted: the same card read later
//     posts nothing until its removal has been seen.
// With CARD_INSERTED the logon event is set, with CARD_REMOVED the logoff
// event; neither is ever reset here (the host does that when its logon or
// logoff is done).
//
// Each device brings a NoticeTable: its result codes and the texts of its
// entries. The login data block is emptied before every notice without
// login data. Not thread-safe: a device runs its passes one at a time.
#ifndef ML_INFRASTRUCTURE_NOTICE_ENGINE_H_
#define ML_INFRASTRUCTURE_NOTICE_ENGINE_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "include/mlcardmanx.h"
#include "infrastructure/trace.h"
#include "platform/windef.h"

namespace ml_notice {

// What one pass saw.
enum class Seen : uint8_t {
    kCard,         // a card with login data, read
    kNoCard,       // an empty reader
    kUnknownCard,  // a card of another kind
    kCardError,    // the device's own card error (named in its entry)
    kOtherError,   // any other failure (the device gives the details)
};

// The trace entry of a decision.
enum class Entry : uint8_t {
    kNone,
    kInsertHeld,
    kRemoveHeld,
    kInserted,
    kRemoved,
    kUnknownCard,
    kCardError,
    kOtherError,
};

enum class Event : uint8_t { kNone, kLogon, kLogoff };

struct Decision {
    WPARAM notice = 0;  // 0: nothing is posted
    Event event = Event::kNone;
    int remember = 0;  // the notice remembered from now on
    Entry entry = Entry::kNone;

    bool operator==(const Decision&) const = default;
};

Decision Decide(Seen p_seen, int p_nRemembered, bool p_bEventSet);

// A device's result codes and texts.
struct NoticeTable {
    struct Code {
        int64_t code;
        Seen seen;
    };
    Code codes[4];                         // every other code is Seen::kOtherError
    std::u16string_view method;            // the method of every entry...
    std::u16string_view insertHeldMethod;  // ...but the one of a held-back insert
    bool separator;                        // an empty entry goes before each entry
    std::u16string_view unknownTag;        // the line of an unknown card
    std::u16string_view unknownText;
    std::u16string_view cardErrorText;  // the line of the device's own card error
    // The lines of an other error after its first one.
    std::vector<TraceParam> (*details)(int64_t p_nCode);

    Seen SeenOf(int64_t p_nCode) const;
};

// The device's state a pass works on.
struct NoticeTarget {
    DWORD thread;        // where the notices go
    HANDLE logonEvent;   // null: counts as never set, is not set
    HANDLE logoffEvent;  // likewise
    LoginDataBlock& block;
    int& remembered;
};

// Whether either event is set.
bool EventSet(HANDLE p_hLogon, HANDLE p_hLogoff);

// Decides on result p_nCode and carries the decision out: sets the event,
// empties the block (unless the notice carries it), posts the notice,
// remembers it and writes the entry.
void Announce(const NoticeTable& p_table, NoticeTarget p_target, int64_t p_nCode);

}  // namespace ml_notice

#endif  // ML_INFRASTRUCTURE_NOTICE_ENGINE_H_
