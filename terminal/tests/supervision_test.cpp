// The supervision: timers, the notice state machine with the logon/logoff
// events, and the end of the object, also on another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "infrastructure/testing/log_scan.h"
#include "platform/handle.h"
#include "platform/named_objects.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Utf16(std::u16string_view text, size_t size) {
    Bytes bytes(size, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < size; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return bytes;
}

std::vector<WPARAM> Codes(const std::vector<Notice>& notices) {
    std::vector<WPARAM> codes;
    for (const Notice& n : notices) {
        codes.push_back(n.code);
    }
    return codes;
}

class Supervision : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        logon_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
        logoff_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
        ASSERT_NE(logon_, nullptr);
        ASSERT_NE(logoff_, nullptr);
        UseDriver("full");
    }
    void TearDown() override {
        TerminalTest::TearDown();
        CloseHandle(logon_);
        CloseHandle(logoff_);
    }

    void PutLoginData(std::u16string_view user, std::u16string_view domain,
                      std::u16string_view password) {
        Driver().PutFile(0x5511, Utf16(user, 42));
        Driver().PutFile(0x5522, Utf16(domain, 32));
        Driver().PutFile(0x5533, Utf16(password, 100));
    }

    static bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    // Card commands (dad 0) sent so far.
    size_t CardCommands() {
        size_t n = 0;
        for (const auto& call : Driver().DataCalls()) {
            n += call.dad == 0;
        }
        return n;
    }

    HANDLE logon_ = nullptr;
    HANDLE logoff_ = nullptr;
};

TEST_F(Supervision, AnEmptyTerminalAtStartUpPostsRemovedOnce) {
    Driver().SetCardPresent(false);
    CreateCard();
    EXPECT_TRUE(TakeNotices().empty());  // the start-up only sets up
    EXPECT_EQ(Card().GetCardState(), CT_NOCARD);
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(Codes(notices), (std::vector<WPARAM>{CARD_REMOVED}));
    EXPECT_EQ(notices[0].lParam, 0);
    EXPECT_TRUE(IsSet(logoff_));
    EXPECT_FALSE(IsSet(logon_));
    ResetEvent(logoff_);
    Pass(5);
    EXPECT_TRUE(TakeNotices().empty());
    EXPECT_EQ(Card().GetCardState(), CT_NOCARD);
    EXPECT_EQ(Count(DebugLog(), "[INFO]  = Card removed"), 1);
}

TEST_F(Supervision, ACardIsAnnouncedOnceWithItsDataAndItsRemovalOnce) {
    PutLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3");
    CreateCard();
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(Codes(notices), (std::vector<WPARAM>{CARD_INSERTED}));
    auto* block = reinterpret_cast<const LoginDataBlock*>(notices[0].lParam);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::u16string(block->szUserName), u"operator7");
    EXPECT_EQ(std::u16string(block->szDomain), u"PLANT");
    EXPECT_EQ(std::u16string(block->szPassword), u"Tr0ub4dor&3");
    EXPECT_TRUE(IsSet(logon_));
    EXPECT_EQ(Card().GetCardState(), CT_OK);

    // While the card stays it is reset, not read, and nothing is posted.
    const size_t commands = CardCommands();
    ResetEvent(logon_);
    Pass(5);
    EXPECT_TRUE(TakeNotices().empty());
    EXPECT_EQ(CardCommands(), commands);
    EXPECT_EQ(std::u16string(block->szUserName), u"operator7");

    Driver().SetCardPresent(false);
    Pass();
    ASSERT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_REMOVED}));
    LoginDataBlock zero{};
    EXPECT_EQ(std::memcmp(block, &zero, sizeof zero), 0);
    EXPECT_TRUE(IsSet(logoff_));
    Pass(3);
    EXPECT_TRUE(TakeNotices().empty());

    const std::string log = DebugLog();
    EXPECT_EQ(Count(log, "[INFO]  = Card inserted\r\n"), 1) << log;
    EXPECT_EQ(Count(log, "[INFO] szUserName = operator7"), 1);
    EXPECT_EQ(Count(log, "[INFO] szDomain = PLANT"), 1);
    EXPECT_EQ(Count(log, "[INFO] szPassword = ***"), 1);
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);
}

TEST_F(Supervision, AnInsertWaitsWhileALogonOrLogoffIsInProcess) {
    PutLoginData(u"u", u"d", u"p");
    for (HANDLE event : {logon_, logoff_}) {
        SetEvent(event);
        CreateCard();
        const size_t before = CardCommands();
        Pass(3);
        EXPECT_TRUE(TakeNotices().empty());
        // Every pass reads the card again.
        EXPECT_EQ(CardCommands() - before, 3u * 6u);
        EXPECT_EQ(Count(DebugLog(),
                        "Card inserted but logon/logoff in process -> we wait till next loop."),
                  3);
        ResetEvent(event);
        Pass();
        EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_INSERTED}));
        ResetEvent(logon_);
        DestroyCard();
        env_.StopLogs();  // a fresh log pair for the second round
        env_.StartLogs();
    }
}

TEST_F(Supervision, ARemovalWaitsWhileALogonOrLogoffIsInProcess) {
    PutLoginData(u"u", u"d", u"p");
    CreateCard();
    Pass();
    ASSERT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_INSERTED}));
    ASSERT_TRUE(IsSet(logon_));  // the host has not finished the logon yet
    Driver().SetCardPresent(false);
    Pass(2);
    EXPECT_TRUE(TakeNotices().empty());
    EXPECT_EQ(
        Count(DebugLog(), "Card removed but logon/logoff in process -> we wait till next loop."),
        2);
    ResetEvent(logon_);
    Pass();
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_REMOVED}));
}

TEST_F(Supervision, ErrorsAndUnknownCardsAreNotHeldBackByTheEvents) {
    SetEvent(logon_);
    CreateCard();  // a card without login files
    Pass(3);
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_ERROR}));
    EXPECT_EQ(Card().GetCardState(), CT_NOFILE);
    const std::string log = ErrorLog();
    EXPECT_EQ(Count(log, "[ERROR]  = Card error (see details below)"), 1) << log;
    EXPECT_EQ(Count(log, "[ERROR] Error Number (-1==CT_ERROR) = 4"), 1) << log;
}

TEST_F(Supervision, AWrongCardVersionIsAnnouncedOnceAndNotReadAgain) {
    UseDriver("full", "tcos12");
    CreateCard();
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(Codes(notices), (std::vector<WPARAM>{CARD_UNKNOWN}));
    EXPECT_EQ(notices[0].lParam, 0);
    EXPECT_FALSE(IsSet(logon_));
    EXPECT_EQ(Card().GetCardState(), CT_WRONGVERSION);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]  = Card error (CT_WRONGVERSION)"), 1);
    const size_t commands = CardCommands();
    Pass(4);
    EXPECT_TRUE(TakeNotices().empty());
    EXPECT_EQ(CardCommands(), commands);
    EXPECT_EQ(Card().GetCardState(), CT_OK);
    Driver().SetCardPresent(false);
    Pass();
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_REMOVED}));
}

TEST_F(Supervision, AMemoryCardIsAFoulCard) {
    // The terminal reset of the set-up takes the first answer, the card
    // resets of three passes the others.
    Driver().Script(1, 0x10, {.result = 0, .response = {0x90, 0x00}, .reportedLength = {}}, 4);
    CreateCard();
    Pass(3);
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_ERROR}));
    EXPECT_EQ(Card().GetCardState(), CT_FOULCARD);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]  = Card error (CT_FOULCARD)"), 1);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(9)), 1);
    // A processor card afterwards is read and announced.
    PutLoginData(u"u", u"d", u"p");
    Pass();
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_INSERTED}));
}

TEST_F(Supervision, ABadResponseLengthOfTheDriverIsACardError) {
    CreateCard();
    Driver().Script(1, 0x10, {.result = 0, .response = {0x90, 0x01}, .reportedLength = 4000}, 2);
    Pass(2);
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_ERROR}));
    EXPECT_EQ(Card().GetCardState(), CT_ERROR);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error Number (-1==CT_ERROR) = -1"), 1);
}

TEST_F(Supervision, StoppedSupervisionResumesWithADirectPass) {
    PutLoginData(u"u", u"d", u"p");
    CreateCard();
    Card().StopSuperviseTimer();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
    const size_t calls = Driver().DataCalls().size();
    Pass(4);
    EXPECT_EQ(Driver().DataCalls().size(), calls);
    EXPECT_TRUE(TakeNotices().empty());
    Card().TCOSSuperviseCard();
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_INSERTED}));
    EXPECT_NE(g_nTCOSSuperviseTimer, 0u);
    ResetEvent(logon_);
    Driver().SetCardPresent(false);
    Pass();
    EXPECT_EQ(Codes(TakeNotices()), (std::vector<WPARAM>{CARD_REMOVED}));
}

TEST_F(Supervision, DestroyedBeforeTheStartUpTimerFiredNothingRuns) {
    CreateCard(false);
    EXPECT_NE(g_nTCOSInitTimer, 0u);
    EXPECT_EQ(g_pTCOSCard, &Card());
    DestroyCard();
    EXPECT_EQ(g_pTCOSCard, nullptr);
    EXPECT_EQ(g_nTCOSInitTimer, 0u);
    Pass(4);
    EXPECT_TRUE(Driver().InitCalls().empty());
    EXPECT_TRUE(Driver().DataCalls().empty());
    EXPECT_TRUE(TakeNotices().empty());

    // A new object starts afresh.
    CreateCard();
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
}

// The object on a thread of its own with a message loop; the test destroys
// it from the main thread.
class OwnerThread {
  public:
    OwnerThread() {
        std::promise<CTCOSCard*> created;
        auto future = created.get_future();
        thread_ = std::thread([this, &created] {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
            id_ = GetCurrentThreadId();
            created.set_value(new CTCOSCard);
            while (GetMessageW(&m, nullptr, 0, 0) > 0) {
                if (m.message == WM_COMMAND) {
                    std::lock_guard lock(mutex_);
                    notices_.push_back(m.wParam);
                }
                DispatchMessageW(&m);
            }
        });
        card_ = future.get();
    }
    ~OwnerThread() { Stop(); }

    CTCOSCard* Take() { return std::exchange(card_, nullptr); }
    void Stop() {
        if (thread_.joinable()) {
            PostThreadMessageW(id_, WM_QUIT, 0, 0);
            thread_.join();
        }
        delete card_;
        card_ = nullptr;
    }
    std::vector<WPARAM> Notices() {
        std::lock_guard lock(mutex_);
        return notices_;
    }

  private:
    std::thread thread_;
    DWORD id_ = 0;
    CTCOSCard* card_ = nullptr;
    std::mutex mutex_;
    std::vector<WPARAM> notices_;
};

// Waits (without a time limit on correctness; a hang guard only) until the
// condition holds.
template <typename Condition>
bool WaitFor(Condition condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

TEST_F(Supervision, DestroyedOnAnotherThreadWithTheStartUpTimerPending) {
    OwnerThread owner;
    delete owner.Take();
    clock_.Advance(250);
    clock_.Advance(250);
    owner.Stop();
    EXPECT_TRUE(Driver().InitCalls().empty());
    EXPECT_TRUE(owner.Notices().empty());
}

// Destroys the object on this thread while its owner thread is inside a
// timer procedure (held in the driver), and checks that the terminal is
// closed only after that procedure's last driver call returned.
void DestroyWhileHeld(TestCtDriver& driver, OwnerThread& owner) {
    driver.WaitHeld();
    std::thread releaser([&driver] {
        // Gives the destructor time to reach the lock; the outcome does not
        // depend on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        driver.Release();
    });
    delete owner.Take();
    releaser.join();
    const auto events = driver.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "close 1");
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        EXPECT_NE(events[i], "close 1") << "closed while a call was running";
    }
}

TEST_F(Supervision, DestroyedOnAnotherThreadDuringTheSetUp) {
    Driver().HoldNext(1, 0x10);  // the terminal reset of the set-up
    OwnerThread owner;
    clock_.Advance(250);
    DestroyWhileHeld(Driver(), owner);
    const size_t calls = Driver().DataCalls().size();
    clock_.Advance(250);
    clock_.Advance(250);
    owner.Stop();
    EXPECT_EQ(Driver().DataCalls().size(), calls);
    EXPECT_TRUE(owner.Notices().empty());
}

TEST_F(Supervision, DestroyedOnAnotherThreadDuringAPass) {
    OwnerThread owner;
    clock_.Advance(250);
    ASSERT_TRUE(WaitFor([&] { return Driver().DataCalls().size() == 1; }));  // set up
    Driver().HoldNext(1, 0x10);  // the card reset of the first pass
    clock_.Advance(250);
    DestroyWhileHeld(Driver(), owner);
    const size_t calls = Driver().DataCalls().size();
    clock_.Advance(250);
    clock_.Advance(250);
    owner.Stop();
    EXPECT_EQ(Driver().DataCalls().size(), calls);
    // The pass that ran to its end posted its notice (a card without files).
    EXPECT_EQ(owner.Notices(), (std::vector<WPARAM>{CARD_ERROR}));
}

}  // namespace
}  // namespace mltest
