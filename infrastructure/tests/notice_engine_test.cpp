// The notice engine: the decision for each sighting and memory, and what
// carrying it out does to the events, the login data block, the host's
// queue and the logs.
#include "infrastructure/notice_engine.h"

#include <gtest/gtest.h>

#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"

namespace mltest {
namespace {

using namespace ml_notice;
constexpr int kIn = CARD_INSERTED, kOut = CARD_REMOVED, kErr = CARD_ERROR, kUnk = CARD_UNKNOWN;

TEST(NoticeEngine, DecidesFromWhatThePassSawAndWhatIsRemembered) {
    struct Row {
        Seen seen;
        int remembered;
        bool eventSet;
        Decision expected;
    };
    const Row rows[] = {
        // A change is posted once, with its event.
        {Seen::kCard, 0, false, {kIn, Event::kLogon, kIn, Entry::kInserted}},
        {Seen::kCard, kErr, false, {kIn, Event::kLogon, kIn, Entry::kInserted}},
        {Seen::kCard, kIn, true, {0, Event::kNone, kIn, Entry::kNone}},
        {Seen::kNoCard, kIn, false, {kOut, Event::kLogoff, kOut, Entry::kRemoved}},
        {Seen::kNoCard, kOut, false, {0, Event::kNone, kOut, Entry::kNone}},
        // Inserts and removals wait while an event is set.
        {Seen::kCard, kOut, true, {0, Event::kNone, kOut, Entry::kInsertHeld}},
        {Seen::kNoCard, kIn, true, {0, Event::kNone, kIn, Entry::kRemoveHeld}},
        // Errors and unknown cards do not; an unknown card counts as inserted.
        {Seen::kUnknownCard, kOut, true, {kUnk, Event::kNone, kIn, Entry::kUnknownCard}},
        {Seen::kUnknownCard, kErr, false, {kUnk, Event::kNone, kIn, Entry::kUnknownCard}},
        {Seen::kUnknownCard, kIn, false, {0, Event::kNone, kIn, Entry::kNone}},
        {Seen::kCardError, kIn, true, {kErr, Event::kNone, kErr, Entry::kCardError}},
        {Seen::kOtherError, 0, true, {kErr, Event::kNone, kErr, Entry::kOtherError}},
        {Seen::kCardError, kErr, false, {0, Event::kNone, kErr, Entry::kNone}},
        {Seen::kOtherError, kErr, false, {0, Event::kNone, kErr, Entry::kNone}},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        const Decision d = Decide(r.seen, r.remembered, r.eventSet);
        EXPECT_TRUE(d == r.expected)
            << "row " << i << ": notice " << d.notice << ", event " << int(d.event) << ", remember "
            << d.remember << ", entry " << int(d.entry);
    }
}

TEST(NoticeEngine, CarriesOutTheDecision) {
    InfraEnvironment env;
    env.WriteDebugIni(true, 1);
    env.StartLogs();
    const HANDLE logon = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
    const HANDLE logoff = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
    const NoticeTable table{
        {{10, Seen::kCard}, {11, Seen::kNoCard}, {12, Seen::kUnknownCard}, {13, Seen::kCardError}},
        u"Dev::Pass()",
        u"Dev::Pass",
        true,
        u"[TAG]",
        u"Unknown (12)",
        u"Card error (13)",
        [](int64_t code) {
            return std::vector<TraceParam>{TraceParam(u"Code", ml_trace::kInt, u"[E]", code)};
        }};
    LoginDataBlock block{u"op", u"PLANT", u"pw"};
    int remembered = 0;

    const std::string held = " but logon/logoff in process -> we wait till next loop.";
    struct Step {
        int64_t code;
        bool logonSet;  // before the pass
        int notice;
        std::vector<std::string> debug, error;  // the separator ("|") left out
    };
    const Step steps[] = {
        {10, true, 0, {"Dev::Pass|[INFO]  = Card inserted" + held}, {}},
        {10,
         false,
         kIn,
         {"Dev::Pass()|[INFO]  = Card inserted", "Dev::Pass()|[INFO] szUserName = op",
          "Dev::Pass()|[INFO] szDomain = PLANT", "Dev::Pass()|[INFO] szPassword = ***"},
         {}},
        {10, false, 0, {}, {}},
        {11, true, 0, {"Dev::Pass()|[INFO]  = Card removed" + held}, {}},
        {11, false, kOut, {"Dev::Pass()|[INFO]  = Card removed"}, {}},
        {12,
         true,
         kUnk,
         {"Dev::Pass()|[TAG]  = Unknown (12)"},
         {"Dev::Pass()|[TAG]  = Unknown (12)"}},
        {10, false, 0, {}, {}},
        {13,
         true,
         kErr,
         {"Dev::Pass()|[ERROR]  = Card error (13)"},
         {"Dev::Pass()|[ERROR]  = Card error (13)"}},
        {-7, false, 0, {}, {}},
        {11, false, kOut, {"Dev::Pass()|[INFO]  = Card removed"}, {}},
        {-7,
         false,
         kErr,
         {"Dev::Pass()|[ERROR]  = Card error (see details below)", "Dev::Pass()|[E] Code = -7"},
         {"Dev::Pass()|[ERROR]  = Card error (see details below)", "Dev::Pass()|[E] Code = -7"}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const Step& s = steps[i];
        ResetEvent(logoff);
        s.logonSet ? SetEvent(logon) : ResetEvent(logon);
        const std::string debugBefore = InfraEnvironment::ReadFile(env.DebugLogPath());
        const std::string errorBefore = InfraEnvironment::ReadFile(env.ErrorLogPath());
        Announce(table, {GetCurrentThreadId(), logon, logoff, block, remembered}, s.code);

        MSG msg{};
        ASSERT_EQ(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), s.notice != 0);
        if (s.notice != 0) {
            EXPECT_EQ(msg.message, WM_COMMAND);
            EXPECT_EQ(msg.wParam, static_cast<WPARAM>(s.notice));
            // Only the insert carries the block; the others empty it.
            EXPECT_EQ(msg.lParam, s.notice == kIn ? reinterpret_cast<LPARAM>(&block) : 0);
            EXPECT_EQ(std::u16string(block.szPassword), s.notice == kIn ? u"pw" : u"");
            EXPECT_EQ(WaitForSingleObject(logon, 0) == WAIT_OBJECT_0,
                      s.notice == kIn || s.logonSet);
            EXPECT_EQ(WaitForSingleObject(logoff, 0) == WAIT_OBJECT_0, s.notice == kOut);
            ASSERT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
        }
        // Every entry opens with an empty one, in the logs it goes to.
        auto withSeparator = [](const std::vector<std::string>& lines) {
            std::vector<std::string> all(lines.empty() ? 0 : 1, "|");
            all.insert(all.end(), lines.begin(), lines.end());
            return all;
        };
        EXPECT_EQ(
            LogEntries(InfraEnvironment::ReadFile(env.DebugLogPath()).substr(debugBefore.size())),
            withSeparator(s.debug));
        EXPECT_EQ(
            LogEntries(InfraEnvironment::ReadFile(env.ErrorLogPath()).substr(errorBefore.size())),
            withSeparator(s.error));
        std::copy_n(u"op", 3, block.szUserName);
        std::copy_n(u"pw", 3, block.szPassword);
    }
    CloseHandle(logon);
    CloseHandle(logoff);
}

}  // namespace
}  // namespace mltest
