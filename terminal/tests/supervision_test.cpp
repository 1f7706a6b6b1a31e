// The terminal's supervision: its codes and entries, which passes read the
// card, its timers, and the end of the object on another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

#include "infrastructure/testing/log_scan.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

class Supervision : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        UseDriver("full");
    }
    // Card commands (dad 0) sent so far.
    long CardCommands() {
        const auto calls = Driver().DataCalls();
        return std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.dad == 0; });
    }
    // The notices of `count` passes and the pass's entries they write.
    std::vector<Notice> Expect(int count, const std::vector<WPARAM>& codes,
                               const std::vector<std::string>& debug, bool alsoError = false) {
        Pass(count);
        std::vector<Notice> notices = TakeNotices();
        EXPECT_EQ(Codes(notices), codes);
        EXPECT_EQ(debug_.Next(), debug);
        EXPECT_EQ(error_.Next(), alsoError ? debug : std::vector<std::string>{});
        return notices;
    }

    LogTail debug_{env_.DebugLogPath(), "CTCOSCard::TCOSSuperviseCard"};
    LogTail error_{env_.ErrorLogPath(), "CTCOSCard::TCOSSuperviseCard"};
};

const std::string kPass = "CTCOSCard::TCOSSuperviseCard()|";
const std::vector<WPARAM> kNone, kInserted{CARD_INSERTED}, kRemoved{CARD_REMOVED},
    kError{CARD_ERROR};

// The terminal's results with their notices and entries; a card is read
// when it is new, not while it stays.
TEST_F(Supervision, TerminalCodesEntriesAndReads) {
    CreateCard();  // a card without login files
    EXPECT_TRUE(TakeNotices().empty()) << "the start-up only sets up";
    Expect(1, kError,
           {"|", kPass + "[ERROR]  = Card error (see details below)",
            kPass + "[ERROR] Error Number (-1==CT_ERROR) = 4"},
           true);
    Driver().SetCardPresent(false);
    Expect(1, kRemoved, {"|", kPass + "[INFO]  = Card removed"});

    PutLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3");
    Driver().SetCardPresent(true);
    ResetEvent(logoff_);
    const std::vector<std::string> inserted = {
        "|", kPass + "[INFO]  = Card inserted", kPass + "[INFO] szUserName = operator7",
        kPass + "[INFO] szDomain = PLANT", kPass + "[INFO] szPassword = ***"};
    auto notices = Expect(1, kInserted, inserted);
    EXPECT_EQ(
        std::u16string(reinterpret_cast<const LoginDataBlock*>(notices.at(0).lParam)->szPassword),
        u"Tr0ub4dor&3");
    const long commands = CardCommands();
    Expect(3, kNone, {});
    EXPECT_EQ(CardCommands(), commands);

    // A memory card is a foul card; a processor card afterwards is read.
    ResetEvent(logon_);
    Driver().Script(1, 0x10, {0, {0x90, 0x00}, std::nullopt});
    Expect(1, kError, {"|", kPass + "[ERROR]  = Card error (CT_FOULCARD)"}, true);
    Expect(1, kInserted, inserted);
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);

    // A card of another version is unknown.
    DestroyCard();
    UseDriver("full", "tcos12");
    CreateCard();
    Expect(1, {CARD_UNKNOWN}, {"|", kPass + "[ERROR]  = Card error (CT_WRONGVERSION)"}, true);
}

TEST_F(Supervision, TimersStopStartAndEndWithTheObject) {
    // Destroyed before the start-up timer fired: nothing runs.
    CreateCard(false);
    DestroyCard();
    EXPECT_EQ(g_pTCOSCard, nullptr);
    Pass(2);
    EXPECT_TRUE(Driver().InitCalls().empty());

    // A stopped supervision resumes with a direct pass.
    PutLoginData(u"u", u"d", u"p");
    CreateCard();
    Card().StopSuperviseTimer();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
    const size_t calls = Driver().DataCalls().size();
    Pass(4);
    EXPECT_EQ(Driver().DataCalls().size(), calls);
    Card().TCOSSuperviseCard();
    EXPECT_EQ(TakeCodes(), kInserted);
    ResetEvent(logon_);
    Driver().SetCardPresent(false);
    Pass();
    EXPECT_EQ(TakeCodes(), kRemoved);

    // A pass of an object that is no longer the module's arms nothing.
    Card().StopSuperviseTimer();
    CTCOSCard other;
    Card().TCOSSuperviseCard();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
}

// Destroys the object on this thread while its owner thread, which created
// it and runs its timers, is inside a timer procedure held in the driver:
// the terminal is closed only after that procedure's last driver call.
TEST_F(Supervision, DestroyedOnAnotherThreadDuringTheSetUpOrAPass) {
    for (bool duringSetUp : {true, false}) {
        SCOPED_TRACE(duringSetUp ? "set-up" : "pass");
        UseDriver("full");
        std::vector<WPARAM> notices;  // read once the thread has ended
        std::promise<std::pair<CTCOSCard*, DWORD>> created;
        std::thread owner([&] {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
            created.set_value({new CTCOSCard, GetCurrentThreadId()});
            while (GetMessageW(&m, nullptr, 0, 0) > 0) {
                if (m.message == WM_COMMAND) {
                    notices.push_back(m.wParam);
                }
                DispatchMessageW(&m);
            }
        });
        auto [card, ownerId] = created.get_future().get();
        if (!duringSetUp) {
            // After the set-up's terminal reset, the card reset of a pass.
            clock_.Advance(250);
            while (Driver().DataCalls().empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        // The clock runs on until the reset is held, however late the timer is armed.
        std::promise<void> held, release;
        Driver().OnNext(1, 0x10, [&] {
            held.set_value();
            release.get_future().wait();
        });
        std::thread ticker([&, future = held.get_future()] {
            while (future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
                clock_.Advance(250);
            }
        });
        ticker.join();
        std::thread releaser([&] {
            // Gives the destructor time to reach the lock; the outcome does
            // not depend on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            release.set_value();
        });
        delete card;
        releaser.join();
        const auto events = Driver().Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "close 1"), 1);
        ASSERT_EQ(events.back(), "close 1");
        const size_t calls = Driver().DataCalls().size();
        clock_.Advance(250);
        clock_.Advance(250);
        PostThreadMessageW(ownerId, WM_QUIT, 0, 0);
        owner.join();
        EXPECT_EQ(Driver().DataCalls().size(), calls);
        // A pass that ran to its end posted its notice (a card without files).
        EXPECT_EQ(notices, duringSetUp ? kNone : kError);
    }
}

}  // namespace
}  // namespace mltest
