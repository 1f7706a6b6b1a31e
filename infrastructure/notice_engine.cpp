#include "infrastructure/notice_engine.h"

#include <cstring>
#include <vector>

#include "infrastructure/log_file.h"
#include "platform/handle.h"
#include "platform/message.h"
#include "platform/named_objects.h"

namespace ml_notice {

namespace {

// What each sighting posts, remembers and writes; whether it waits for the
// events, and what it writes while it waits.
struct Rule {
    Seen seen;
    WPARAM notice;
    int remember;
    Event event;
    Entry entry;
    Entry held;  // kNone: never waits
};

constexpr Rule kRules[] = {
    {Seen::kCard, CARD_INSERTED, CARD_INSERTED, Event::kLogon, Entry::kInserted,
     Entry::kInsertHeld},
    {Seen::kNoCard, CARD_REMOVED, CARD_REMOVED, Event::kLogoff, Entry::kRemoved,
     Entry::kRemoveHeld},
    {Seen::kUnknownCard, CARD_UNKNOWN, CARD_INSERTED, Event::kNone, Entry::kUnknownCard,
     Entry::kNone},
    {Seen::kCardError, CARD_ERROR, CARD_ERROR, Event::kNone, Entry::kCardError, Entry::kNone},
    {Seen::kOtherError, CARD_ERROR, CARD_ERROR, Event::kNone, Entry::kOtherError, Entry::kNone},
};

bool IsSignalled(HANDLE p_hEvent) {
    return p_hEvent != nullptr && WaitForSingleObject(p_hEvent, 0) == WAIT_OBJECT_0;
}

constexpr char16_t kInsertHeld[] =
    u"Card inserted but logon/logoff in process -> we wait till next loop.";
constexpr char16_t kRemoveHeld[] =
    u"Card removed but logon/logoff in process -> we wait till next loop.";

void Write(const NoticeTable& p_table, Entry p_entry, const LoginDataBlock& p_block,
           int64_t p_nCode) {
    using ml_trace::Error;
    using ml_trace::Info;
    std::vector<TraceParam> lines;
    std::u16string_view method = p_table.method;
    bool errorLog = false;
    switch (p_entry) {
        case Entry::kNone:
            return;
        case Entry::kInsertHeld:
            method = p_table.insertHeldMethod;
            lines = {Info(kInsertHeld)};
            break;
        case Entry::kRemoveHeld:
            lines = {Info(kRemoveHeld)};
            break;
        case Entry::kInserted:
            lines = {
                Info(u"Card inserted"),
                TraceParam(u"szUserName", ml_trace::kText, ml_trace::kInfo, p_block.szUserName),
                TraceParam(u"szDomain", ml_trace::kText, ml_trace::kInfo, p_block.szDomain),
                TraceParam(u"szPassword", ml_trace::kText, ml_trace::kInfo, u"***")};
            break;
        case Entry::kRemoved:
            lines = {Info(u"Card removed")};
            break;
        case Entry::kUnknownCard:
            errorLog = true;
            lines = {TraceParam(u"", ml_trace::kText, p_table.unknownTag, p_table.unknownText)};
            break;
        case Entry::kCardError:
            errorLog = true;
            lines = {Error(p_table.cardErrorText)};
            break;
        case Entry::kOtherError:
            errorLog = true;
            lines = p_table.details(p_nCode);
            lines.insert(lines.begin(), Error(u"Card error (see details below)"));
            break;
    }
    const bool debug = theDebugFile.IsTraceOn();
    if (p_table.separator) {
        ml_trace::Separator(debug, errorLog);
    }
    Trace(std::u16string(method), debug, errorLog, lines);
}

}  // namespace

Decision Decide(Seen p_seen, int p_nRemembered, bool p_bEventSet) {
    const Rule& rule = kRules[static_cast<size_t>(p_seen)];
    if (p_nRemembered == rule.remember) {
        return {0, Event::kNone, p_nRemembered, Entry::kNone};
    }
    if (rule.held != Entry::kNone && p_bEventSet) {
        return {0, Event::kNone, p_nRemembered, rule.held};
    }
    return {rule.notice, rule.event, rule.remember, rule.entry};
}

Seen NoticeTable::SeenOf(int64_t p_nCode) const {
    for (const Code& c : codes) {
        if (c.code == p_nCode) {
            return c.seen;
        }
    }
    return Seen::kOtherError;
}

bool EventSet(HANDLE p_hLogon, HANDLE p_hLogoff) {
    return IsSignalled(p_hLogon) || IsSignalled(p_hLogoff);
}

void Announce(const NoticeTable& p_table, NoticeTarget p_target, int64_t p_nCode) {
    const Decision decision = Decide(p_table.SeenOf(p_nCode), p_target.remembered,
                                     EventSet(p_target.logonEvent, p_target.logoffEvent));
    const HANDLE event = decision.event == Event::kLogon    ? p_target.logonEvent
                         : decision.event == Event::kLogoff ? p_target.logoffEvent
                                                            : nullptr;
    if (event != nullptr) {
        SetEvent(event);
    }
    if (decision.notice != 0) {
        LPARAM lParam = reinterpret_cast<LPARAM>(&p_target.block);
        if (decision.notice != CARD_INSERTED) {
            std::memset(&p_target.block, 0, sizeof p_target.block);
            lParam = 0;
        }
        // A host thread that has gone cannot be told; the pass goes on.
        PostThreadMessageW(p_target.thread, WM_COMMAND, decision.notice, lParam);
    }
    p_target.remembered = decision.remember;
    Write(p_table, decision.entry, p_target.block, p_nCode);
}

}  // namespace ml_notice
