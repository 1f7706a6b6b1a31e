// The notice engine pass by pass: notices, events, memory, login block, entries.
#include "infrastructure/notice_engine.h"

#include <gtest/gtest.h>

#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"

namespace mltest {
namespace {

using namespace ml_notice;
constexpr int kIn = CARD_INSERTED, kOut = CARD_REMOVED, kErr = CARD_ERROR, kUnk = CARD_UNKNOWN;

TEST(NoticeEngine, PassesInARow) {
    InfraEnvironment env;
    env.WriteDebugIni(true, 1);
    env.StartLogs();
    LogTail debug(env.DebugLogPath()), error(env.ErrorLogPath());
    const HANDLE logon = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
    const HANDLE logoff = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
    // Codes 10 to 13: a card, none, an unknown card, the device's card error.
    auto details = [](int64_t code) {
        return std::vector<TraceParam>{TraceParam(u"Code", ml_trace::kInt, u"[E]", code)};
    };
    const NoticeTable table{
        {{10, Seen::kCard}, {11, Seen::kNoCard}, {12, Seen::kUnknownCard}, {13, Seen::kCardError}},
        u"D()",
        u"D",
        true,
        u"[TAG]",
        u"Unknown",
        u"Error 13",
        details};
    LoginDataBlock block;
    int remembered = 0;

    const std::string held = " but logon/logoff in process -> we wait till next loop.";
    const std::vector<std::string> none,
        inserted = {"D()|[INFO]  = Card inserted", "D()|[INFO] szUserName = op",
                    "D()|[INFO] szDomain = PLANT", "D()|[INFO] szPassword = ***"},
        removed = {"D()|[INFO]  = Card removed"}, unknown = {"D()|[TAG]  = Unknown"},
        cardError = {"D()|[ERROR]  = Error 13"},
        other = {"D()|[ERROR]  = Card error (see details below)", "D()|[E] Code = -7"};
    // Result, logon event set before, notice, entries, also in the error log.
    const std::tuple<int64_t, bool, int, std::vector<std::string>, bool> steps[] = {
        {13, true, kErr, cardError, true},  // errors do not wait
        {-7, false, 0, none, false},        // an error after an error
        {10, true, 0, {"D|[INFO]  = Card inserted" + held}, false},
        {10, false, kIn, inserted, false},
        {10, true, 0, none, false},  // posted already: nothing to wait for
        {11, true, 0, {"D()|[INFO]  = Card removed" + held}, false},
        {11, false, kOut, removed, false},
        {11, false, 0, none, false},
        {12, true, kUnk, unknown, true},  // does not wait, counts as inserted
        {10, false, 0, none, false},
        {-7, true, kErr, other, true},
        {12, false, kUnk, unknown, true},
        {11, false, kOut, removed, false},
    };
    int step = 0;
    for (const auto& [code, logonSet, notice, lines, errorLog] : steps) {
        SCOPED_TRACE("step " + std::to_string(step++));
        block = LoginDataBlock{u"op", u"PLANT", u"pw"};
        ResetEvent(logoff);
        logonSet ? SetEvent(logon) : ResetEvent(logon);
        Announce(table, {GetCurrentThreadId(), logon, logoff, block, remembered}, code);
        MSG msg{};
        ASSERT_EQ(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), notice != 0);
        if (notice != 0) {
            EXPECT_EQ(msg.wParam, static_cast<WPARAM>(notice));
            // Only the insert carries the block; the others empty it.
            EXPECT_EQ(msg.lParam, notice == kIn ? reinterpret_cast<LPARAM>(&block) : 0);
            EXPECT_EQ(std::u16string(block.szPassword), notice == kIn ? u"pw" : u"");
            EXPECT_EQ(WaitForSingleObject(logon, 0) == WAIT_OBJECT_0, notice == kIn || logonSet);
            EXPECT_EQ(WaitForSingleObject(logoff, 0) == WAIT_OBJECT_0, notice == kOut);
        }
        std::vector<std::string> entries(lines.empty() ? 0 : 1, "|");
        entries.insert(entries.end(), lines.begin(), lines.end());
        EXPECT_EQ(debug.Next(), entries);
        EXPECT_EQ(error.Next(), errorLog ? entries : none);
    }
    CloseHandle(logon);
    CloseHandle(logoff);
}

}  // namespace
}  // namespace mltest
