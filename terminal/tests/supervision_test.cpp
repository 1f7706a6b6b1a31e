// The terminal's supervision: its codes and entries, which passes read the
// card, its timers, and the end of the object on another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <mutex>
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
    size_t CardCommands() {
        size_t n = 0;
        for (const auto& call : Driver().DataCalls()) {
            n += call.dad == 0;
        }
        return n;
    }

    // What `count` passes post and write, entry by entry (the card commands'
    // entries left out).
    std::vector<Notice> Expect(int count, const std::vector<WPARAM>& codes,
                               const std::vector<std::string>& debug,
                               const std::vector<std::string>& error) {
        Pass(count);
        std::vector<Notice> notices = TakeNotices();
        EXPECT_EQ(Codes(notices), codes);
        EXPECT_EQ(debug_.Next(), debug);
        EXPECT_EQ(error_.Next(), error);
        return notices;
    }

    LogTail debug_{env_.DebugLogPath(), "CTCOSCard::TCOSSuperviseCard"};
    LogTail error_{env_.ErrorLogPath(), "CTCOSCard::TCOSSuperviseCard"};
};

const std::string kPass = "CTCOSCard::TCOSSuperviseCard()|";
const std::string kHeld = " but logon/logoff in process -> we wait till next loop.";
const std::vector<WPARAM> kNone, kInserted{CARD_INSERTED}, kRemoved{CARD_REMOVED},
    kError{CARD_ERROR};

TEST_F(Supervision, TerminalCodesEntriesAndReads) {
    CreateCard();  // a card without login files
    EXPECT_TRUE(TakeNotices().empty()) << "the start-up only sets up";
    const std::vector<std::string> noFile = {"|",
                                             kPass + "[ERROR]  = Card error (see details below)",
                                             kPass + "[ERROR] Error Number (-1==CT_ERROR) = 4"};
    Expect(1, kError, noFile, noFile);
    EXPECT_EQ(Card().GetCardState(), CT_NOFILE);
    Driver().SetCardPresent(false);
    Expect(1, kRemoved, {"|", kPass + "[INFO]  = Card removed"}, {});
    EXPECT_TRUE(IsSet(logoff_));
    ResetEvent(logoff_);

    // Held back, the card is read again by every pass.
    PutLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3");
    Driver().SetCardPresent(true);
    SetEvent(logon_);
    size_t commands = CardCommands();
    const std::string insertHeld = "CTCOSCard::TCOSSuperviseCard|[INFO]  = Card inserted" + kHeld;
    Expect(2, kNone, {"|", insertHeld, "|", insertHeld}, {});
    EXPECT_EQ(CardCommands() - commands, 2u * 6u);
    ResetEvent(logon_);
    const std::vector<std::string> inserted = {
        "|", kPass + "[INFO]  = Card inserted", kPass + "[INFO] szUserName = operator7",
        kPass + "[INFO] szDomain = PLANT", kPass + "[INFO] szPassword = ***"};
    auto* block =
        reinterpret_cast<const LoginDataBlock*>(Expect(1, kInserted, inserted, {}).at(0).lParam);
    EXPECT_EQ(std::u16string(block->szPassword), u"Tr0ub4dor&3");
    EXPECT_TRUE(IsSet(logon_));
    EXPECT_FALSE(IsSet(logoff_));

    // While the card stays it is reset, not read.
    commands = CardCommands();
    Expect(3, kNone, {}, {});
    EXPECT_EQ(CardCommands(), commands);
    Driver().SetCardPresent(false);
    Expect(1, kNone, {"|", kPass + "[INFO]  = Card removed" + kHeld}, {});
    ResetEvent(logon_);
    Expect(1, kRemoved, {"|", kPass + "[INFO]  = Card removed"}, {});
    const LoginDataBlock zero{};
    EXPECT_EQ(std::memcmp(block, &zero, sizeof zero), 0);

    // A memory card is a foul card; a processor card afterwards is read.
    ResetEvent(logoff_);
    Driver().SetCardPresent(true);
    Driver().Script(1, 0x10, {.result = 0, .response = {0x90, 0x00}, .reportedLength = {}});
    const std::string foul = kPass + "[ERROR]  = Card error (CT_FOULCARD)";
    Expect(1, kError, {"|", foul}, {"|", foul});
    EXPECT_EQ(Errors(9), 1);
    Expect(1, kInserted, inserted, {});
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);
}

TEST_F(Supervision, AWrongCardVersionIsAnnouncedOnceAndNotReadAgain) {
    UseDriver("full", "tcos12");
    CreateCard();
    const std::vector<std::string> entries = {"|",
                                              kPass + "[ERROR]  = Card error (CT_WRONGVERSION)"};
    Expect(1, {CARD_UNKNOWN}, entries, entries);
    EXPECT_FALSE(IsSet(logon_));
    const size_t commands = CardCommands();
    Expect(4, kNone, {}, {});
    EXPECT_EQ(CardCommands(), commands);
    Driver().SetCardPresent(false);
    Expect(1, kRemoved, {"|", kPass + "[INFO]  = Card removed"}, {});
}

TEST_F(Supervision, TimersStopStartAndEndWithTheObject) {
    // Destroyed before the start-up timer fired: nothing runs.
    CreateCard(false);
    EXPECT_NE(g_nTCOSInitTimer, 0u);
    EXPECT_EQ(g_pTCOSCard, &Card());
    DestroyCard();
    EXPECT_EQ(g_pTCOSCard, nullptr);
    EXPECT_EQ(g_nTCOSInitTimer, 0u);
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
    EXPECT_NE(g_nTCOSSuperviseTimer, 0u);
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
        std::mutex mutex;
        std::vector<WPARAM> notices;
        std::promise<std::pair<CTCOSCard*, DWORD>> created;
        std::thread owner([&] {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
            created.set_value({new CTCOSCard, GetCurrentThreadId()});
            while (GetMessageW(&m, nullptr, 0, 0) > 0) {
                std::lock_guard lock(mutex);
                if (m.message == WM_COMMAND) {
                    notices.push_back(m.wParam);
                }
                DispatchMessageW(&m);
            }
        });
        auto [card, ownerId] = created.get_future().get();
        if (duringSetUp) {
            Driver().HoldNext(1, 0x10);  // the terminal reset of the set-up
            clock_.Advance(250);
            Driver().WaitHeld();
        } else {
            // After the set-up's terminal reset, the card reset of a pass; the
            // clock runs on until one is held, however late the timer is armed.
            clock_.Advance(250);
            while (Driver().DataCalls().empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            Driver().HoldNext(1, 0x10);
            std::atomic<bool> held{false};
            std::thread ticker([&] {
                while (!held) {
                    clock_.Advance(250);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            Driver().WaitHeld();
            held = true;
            ticker.join();
        }
        std::thread releaser([this] {
            // Gives the destructor time to reach the lock; the outcome does
            // not depend on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Driver().Release();
        });
        delete card;
        releaser.join();
        const auto events = Driver().Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back(), "close 1");
        EXPECT_EQ(std::count(events.begin(), events.end(), "close 1"), 1);
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
