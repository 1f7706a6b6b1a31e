// The reader object against the fake card service, with the test clock: the
// decisions of a pass, the hold-back by the two events, the login data the
// host receives, the trace entries, and destruction from another thread
// while passes run.
#include "mlsmartcardx/smart_card.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/tests/c_host.h"
#include "mlsmartcardx/tests/test_support.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/message.h"
#include "platform/testing/test_clock.h"

namespace mltest {
namespace {

constexpr char16_t kUser[] = u"operator7";
constexpr char16_t kDomain[] = u"PLANT-NORTH";
constexpr char16_t kPassword[] = u"Zq!7vKeep0ut";

// Stands in front of the fake reader: keeps the platform time of every
// connect, fails connects on request, and can hold a connect until released.
// Its controls may be used from any thread; the fake itself is only reached
// from the thread that runs the passes.
class ScriptedReader final : public ForwardingService {
  public:
    using ForwardingService::ForwardingService;

    // Results for the next connects, in order; then `all` (0: the fake answers).
    void FailConnects(LONG all, std::vector<LONG> next = {}) {
        std::lock_guard lock(mutex_);
        failAll_ = all;
        failures_.assign(next.begin(), next.end());
    }
    std::vector<uint64_t> ConnectTimes() {
        std::lock_guard lock(mutex_);
        return times_;
    }
    // The next connect waits in the service until Release().
    void HoldNextConnect() {
        std::lock_guard lock(mutex_);
        hold_ = true;
    }
    void WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        hold_ = false;
        changed_.notify_all();
    }

    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        LONG failure = 0;
        {
            std::unique_lock lock(mutex_);
            times_.push_back(GetTickCount64());
            held_ = hold_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !hold_; });
            failure = failures_.empty() ? failAll_ : failures_.front();
            if (!failures_.empty()) {
                failures_.pop_front();
            }
        }
        if (failure != 0) {
            ++connects;
            return failure;
        }
        return ForwardingService::Connect(context, reader, shareMode, protocols, card, active);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<LONG> failures_;
    LONG failAll_ = 0;
    std::vector<uint64_t> times_;
    bool hold_ = false;
    bool held_ = false;
};

// One notice as the host handled it.
struct Notice {
    int code = 0;
    LPARAM lParam = 0;
    DWORD time = 0;
    std::u16string user, domain, password;  // CARD_INSERTED: copied while handling it
};

std::vector<int> Codes(const std::vector<Notice>& notices) {
    std::vector<int> codes;
    for (const Notice& n : notices) {
        codes.push_back(n.code);
    }
    return codes;
}
const std::vector<int> kNone, kInserted{CARD_INSERTED}, kRemoved{CARD_REMOVED}, kError{CARD_ERROR},
    kUnknown{CARD_UNKNOWN};

class SmartCardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
        card_.files[kFileUnique] = Record(kUser, kDomain, kPassword);
        fake_.SetResponder(std::ref(card_));
    }
    void TearDown() override {
        object_.reset();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    void Start() { object_ = std::make_unique<CSmartCard>(fake_.ReaderName()); }

    // Lets `count` timer periods pass, running the host's message loop after
    // each until no message waits; returns the notices it handled.
    std::vector<Notice> Passes(int count = 1) {
        std::vector<Notice> all;
        for (int i = 0; i < count; ++i) {
            clock_.Advance(250);
            for (Notice& n : Loop()) {
                all.push_back(std::move(n));
            }
        }
        return all;
    }
    std::vector<int> Pass(int count = 1) { return Codes(Passes(count)); }

    std::vector<Notice> Loop() {
        std::vector<Notice> notices;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            LoginDataBlock copy{};
            int code = MlTestCHostHandle(&msg, &copy);
            if (code == 0) {
                continue;
            }
            notices.push_back(
                {code, msg.lParam, msg.time, copy.szUserName, copy.szDomain, copy.szPassword});
            // A host that completes its logon or logoff at once.
            if (autoReset_ && (code == CARD_INSERTED || code == CARD_REMOVED)) {
                EXPECT_EQ(MlTestCHostResetEvent(code == CARD_INSERTED), 1);
            }
        }
        return notices;
    }

    // The declaration order is the teardown order in reverse: the object goes
    // first, the private environment (object names, logs) last.
    InfraEnvironment env_;
    ml::testing::TestClock clock_;
    FakeSCard fake_;
    MemoryCard card_;
    ScriptedReader reader_{fake_};
    ScopedSCardService service_{&reader_};
    bool autoReset_ = true;
    std::unique_ptr<CSmartCard> object_;
};

TEST_F(SmartCardTest, FirstPassPostsWhatItFinds) {
    // A card in the reader, an empty reader (the platform reports the card
    // removed), a reader that fails otherwise.
    Start();
    EXPECT_EQ(g_pSmartCard.load(), object_.get());
    EXPECT_NE(g_nSuperviseTimer.load(), 0u);
    EXPECT_TRUE(Loop().empty()) << "nothing before the first period";
    EXPECT_EQ(Pass(), kInserted);
    object_.reset();
    EXPECT_EQ(g_pSmartCard.load(), nullptr);
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);

    fake_.RemoveCard();
    Start();
    EXPECT_EQ(Pass(), kRemoved);
    object_.reset();
    reader_.FailConnects(SCARD_E_NO_SERVICE);
    Start();
    EXPECT_EQ(Pass(), kError);
}

TEST_F(SmartCardTest, OneNoticePerChange) {
    Start();
    EXPECT_EQ(Pass(6), kInserted) << "a card left in the reader";
    fake_.RemoveCard();
    EXPECT_EQ(Pass(6), kRemoved) << "its removal";
    fake_.InsertCard(Class80Atr());
    EXPECT_EQ(Pass(6), kInserted) << "another card";

    reader_.FailConnects(SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(Pass(3), kError) << "the card stops answering";
    reader_.FailConnects(SCARD_E_COMM_DATA_LOST);
    EXPECT_EQ(Pass(2), kNone) << "another failure is still an error";
    reader_.FailConnects(0);
    EXPECT_EQ(Pass(3), kInserted) << "it answers again";
}

TEST_F(SmartCardTest, UnknownCardPostsOnceUntilRemoved) {
    Start();
    reader_.FailConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Pass(5), kUnknown);
    EXPECT_EQ(reader_.connects.load(), 15) << "unknown on every attempt: three per pass";

    // The same presence read successfully later posts nothing until a removal.
    reader_.FailConnects(0);
    EXPECT_EQ(Pass(3), kNone);
    fake_.RemoveCard();
    EXPECT_EQ(Pass(3), kRemoved);
    fake_.InsertCard(GenericAtr());
    EXPECT_EQ(Pass(3), kInserted);

    // After an error, an unknown card is posted again.
    reader_.FailConnects(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(Pass(), kError);
    reader_.FailConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Pass(2), kUnknown);
}

TEST_F(SmartCardTest, FailedReadsAreRetriedTwice250msApart) {
    Start();
    EXPECT_EQ(Pass(), kInserted);

    // Three failures in a row: the error is posted after two pauses.
    reader_.FailConnects(SCARD_E_NOT_TRANSACTED);
    const uint64_t start = GetTickCount64() + 250;
    const size_t before = reader_.ConnectTimes().size();
    std::vector<Notice> n = Passes();
    ASSERT_EQ(Codes(n), kError);
    EXPECT_EQ(n[0].time, static_cast<DWORD>(start + 500));
    // The timer is re-armed at the end of the pass: the next pass starts one
    // period after the end of this one.
    clock_.Advance(249);
    EXPECT_TRUE(Loop().empty());
    clock_.Advance(1);
    EXPECT_TRUE(Loop().empty()) << "the error was posted already";
    const std::vector<uint64_t> times = reader_.ConnectTimes();
    EXPECT_EQ(std::vector<uint64_t>(times.begin() + before, times.end()),
              (std::vector<uint64_t>{start, start + 250, start + 500, start + 750, start + 1000,
                                     start + 1250}));

    // One failure, then a read: inserted, after one pause.
    reader_.FailConnects(0, {SCARD_E_NOT_TRANSACTED});
    const uint64_t again = GetTickCount64() + 250;
    n = Passes();
    ASSERT_EQ(Codes(n), kInserted);
    EXPECT_EQ(n[0].time, static_cast<DWORD>(again + 250));
    EXPECT_EQ(n[0].user, kUser);

    // A removed card is acted on at once, without a pause.
    fake_.RemoveCard();
    const uint64_t removal = GetTickCount64() + 250;
    n = Passes();
    ASSERT_EQ(Codes(n), kRemoved);
    EXPECT_EQ(n[0].time, static_cast<DWORD>(removal));
}

TEST_F(SmartCardTest, EventsHoldBackInsertAndRemoveNotices) {
    autoReset_ = false;
    fake_.RemoveCard();
    Start();
    ASSERT_EQ(Pass(), kRemoved);
    // The module set the logoff event with its notice; until the logoff is
    // done an inserted card waits, and then the removal waits for the logon.
    fake_.InsertCard(GenericAtr());
    EXPECT_EQ(Pass(4), kNone);
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);
    EXPECT_EQ(Pass(), kInserted);
    fake_.RemoveCard();
    EXPECT_EQ(Pass(3), kNone);
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    EXPECT_EQ(Pass(), kRemoved);
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);

    // Set by someone else: either event holds both kinds back.
    ASSERT_EQ(MlTestCHostSetEvent(1), 1);
    fake_.InsertCard(GenericAtr());
    EXPECT_EQ(Pass(3), kNone);
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    ASSERT_EQ(MlTestCHostSetEvent(0), 1);
    EXPECT_EQ(Pass(3), kNone);
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);
    EXPECT_EQ(Pass(), kInserted);

    // Error and unknown-card notices do not wait.
    reader_.FailConnects(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(Pass(), kError);
    reader_.FailConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Pass(), kUnknown);
}

TEST_F(SmartCardTest, HostReceivesTheCardsLoginData) {
    // Fields filled to the last character.
    const std::u16string user = u"abcdefghijklmnopqrstu";                   // 21
    const std::u16string domain = u"\u00c4\u00d6\u00dc-Werk-S\u00fcd-001";  // 16
    const std::u16string password(50, u'\u20ac');                           // 50
    card_.files[kFileUnique] = Record(user, domain, password);
    Start();
    std::vector<Notice> n = Passes();
    ASSERT_EQ(Codes(n), kInserted);
    EXPECT_EQ(n[0].user, user);
    EXPECT_EQ(n[0].domain, domain);
    EXPECT_EQ(n[0].password, password);

    // lParam is the object's own block; a pass that finds no card leaves no
    // login data in it.
    fake_.RemoveCard();
    ASSERT_EQ(Pass(), kRemoved);
    const LoginDataBlock zero{};
    EXPECT_EQ(std::memcmp(reinterpret_cast<const LoginDataBlock*>(n[0].lParam), &zero, sizeof zero),
              0);
}

TEST_F(SmartCardTest, StoppedTimerPausesSupervisionUntilADirectPass) {
    Start();
    ASSERT_EQ(Pass(), kInserted);
    object_->StopSuperviseTimer();
    object_->StopSuperviseTimer();  // a second stop is harmless
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);
    fake_.RemoveCard();
    const int connects = reader_.connects.load();
    EXPECT_EQ(Pass(4), kNone);
    EXPECT_EQ(reader_.connects.load(), connects) << "no pass while the timer is stopped";

    // A direct pass posts at once and starts the timer again; while the timer
    // runs, it leaves the one timer running.
    object_->SuperviseCard();
    EXPECT_EQ(Codes(Loop()), kRemoved);
    fake_.InsertCard(GenericAtr());
    EXPECT_EQ(Pass(), kInserted);
    const UINT_PTR timer = g_nSuperviseTimer.load();
    object_->SuperviseCard();
    EXPECT_EQ(g_nSuperviseTimer.load(), timer);
    const int before = reader_.connects.load();
    EXPECT_EQ(Pass(), kNone);
    EXPECT_EQ(reader_.connects.load(), before + 1) << "one pass per period";
}

// Trace entries, compared whole. Each step starts at 08:00:00 on 01/05/26 of
// the test clock and lasts less than a second.
TEST_F(SmartCardTest, EachDecisionWritesItsEntriesAndNoPassword) {
    WCHAR probe[256];
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD), 0, probe, 256, nullptr) == 0)
        GTEST_SKIP()
            << "the system has no texts for the PC/SC codes, which the entries quote (Wine)";
    const std::string thread = std::to_string(static_cast<int32_t>(GetCurrentThreadId()));
    auto header = [&](const std::string& method) {
        return method + " \t\t\t[ThreadID: " + thread + "]";
    };
    const std::string pass = "CSmartCard::SuperviseCard()";
    auto debug = [&](const std::string& line, const std::string& method = "") {
        return "\r\n[7.4.1] 01/05/26 08:00:00 - " + header(method.empty() ? pass : method) +
               "\r\n\t\t\t\t\t\t" + line;
    };
    auto error = [&](const std::string& line) {
        return "\r\n01/05/26 08:00:00 - " + header(pass) + "\r\n\t\t\t" + line;
    };
    // What the logs received during `count` passes, which post `codes`.
    auto expect = [&](int count, const std::vector<int>& codes, const std::string& debugText,
                      const std::string& errorText) {
        clock_.SetLocalTime(SYSTEMTIME{2026, 1, 1, 5, 8, 0, 0, 0});
        const size_t debugSize = InfraEnvironment::ReadFile(env_.DebugLogPath()).size();
        const size_t errorSize = InfraEnvironment::ReadFile(env_.ErrorLogPath()).size();
        EXPECT_EQ(Pass(count), codes);
        EXPECT_EQ(InfraEnvironment::ReadFile(env_.DebugLogPath()).substr(debugSize), debugText);
        EXPECT_EQ(InfraEnvironment::ReadFile(env_.ErrorLogPath()).substr(errorSize), errorText);
    };
    auto retries = [&](const std::string& number, const std::string& text) {
        const std::string retry = "CSmartCard::SuperviseCard() - SmartCardReadFiles()";
        const std::string one = debug("[INFO] Error Number = " + number, retry) +
                                debug("[INFO] Error Text = \n   \"" + text, retry);
        return one + one;
    };

    autoReset_ = false;
    Start();
    expect(1, kInserted,
           debug("[INFO]  = Card inserted") + debug("[INFO] szUserName = operator7") +
               debug("[INFO] szDomain = PLANT-NORTH") + debug("[INFO] szPassword = ***"),
           "");
    expect(2, kNone, "", "");

    fake_.RemoveCard();
    const std::string removeHeld =
        debug("[INFO]  = Card removed but logon/logoff in process -> we wait till next loop.");
    expect(2, kNone, removeHeld + removeHeld, "");
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    expect(1, kRemoved, debug("[INFO]  = Card removed"), "");

    fake_.InsertCard(GenericAtr());
    const std::string insertHeld =
        debug("[INFO]  = Card inserted but logon/logoff in process -> we wait till next loop.",
              "CSmartCard::SuperviseCard");
    expect(3, kNone, insertHeld + insertHeld + insertHeld, "");
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);

    // The error texts as the platform words them.
    const std::string unresponsive = "[ERROR]  = Card error (SCARD_W_UNRESPONSIVE_CARD)";
    reader_.FailConnects(SCARD_W_UNRESPONSIVE_CARD);
    expect(1, kError,
           retries("0x80100066", "The smart card is not responding to a reset. \" [2148532326]") +
               debug(unresponsive),
           error(unresponsive));
    const std::string unknown = "[INFO]  = Card inserted (SCARD_E_UNKNOWN_CARD)";
    reader_.FailConnects(SCARD_E_UNKNOWN_CARD);
    expect(
        1, kUnknown,
        retries("0x8010000d", "The specified smart card name is not recognized. \" [2148532237]") +
            debug(unknown),
        error(unknown));
    reader_.FailConnects(SCARD_E_NOT_TRANSACTED);
    const std::string failed = retries(
        "0x80100016", "An attempt was made to end a non-existent transaction. \" [2148532246]");
    const std::string text =
        "\n   \"An attempt was made to end a non-existent transaction. \" [2148532246]";
    expect(1, kError,
           failed + debug("[ERROR]  = Card error (see details below)") +
               debug("[ERROR] Error Number = 0x80100016") + debug("[ERROR] Error Text = " + text),
           error("[ERROR]  = Card error (see details below)") +
               error("[ERROR] Error Number = 0x80100016") + error("[ERROR] Error Text = " + text));
    expect(1, kNone, failed, "");  // the same error again: only the retries are traced

    // With the debug switch off only the error log is written.
    env_.WriteDebugIni(false, 2);
    reader_.FailConnects(SCARD_W_UNRESPONSIVE_CARD);
    expect(1, kNone, "", "");
    reader_.FailConnects(SCARD_E_NO_SERVICE);
    expect(1, kNone, "", "");
    reader_.FailConnects(SCARD_E_UNKNOWN_CARD);
    expect(1, kUnknown, "", error(unknown));

    EXPECT_GE(ExpectNoSecretInLogs(env_.DiagnosticsDir(), kPassword), 2u);
}

// Destruction from another thread while the host thread runs passes.
class SmartCardThreadTest : public SmartCardTest {
  protected:
    static constexpr UINT kCreate = WM_USER + 1;
    static constexpr UINT kSync = WM_USER + 2;

    void SetUp() override {
        SmartCardTest::SetUp();
        std::promise<DWORD> started;
        host_ = std::thread([this, &started] { HostLoop(started); });
        hostThread_ = started.get_future().get();
        ticker_ = std::thread([this] {
            while (!stopTicker_.load()) {
                clock_.Advance(250);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    void TearDown() override {
        stopTicker_ = true;
        ticker_.join();
        PostThreadMessageW(hostThread_, WM_QUIT, 0, 0);
        host_.join();
        delete shared_.exchange(nullptr);
        SmartCardTest::TearDown();
    }

    // The host: constructs the object on request and runs its loop.
    void HostLoop(std::promise<DWORD>& started) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        started.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == kCreate || msg.message == kSync) {
                if (msg.message == kCreate) {
                    shared_.store(new CSmartCard(fake_.ReaderName()));
                }
                reinterpret_cast<std::promise<void>*>(msg.lParam)->set_value();
            } else if (msg.message == WM_COMMAND) {
                // Only counted: a notice handled after the object was
                // destroyed must not touch its block.
                ++notices_;
                MlTestCHostResetEvent(1);
                MlTestCHostResetEvent(0);
            } else {
                DispatchMessageW(&msg);
            }
        }
    }

    void Ask(UINT message) {
        std::promise<void> done;
        ASSERT_TRUE(PostThreadMessageW(hostThread_, message, 0, reinterpret_cast<LPARAM>(&done)));
        done.get_future().get();
    }

    // Destroys the object here, then checks that no pass follows in several
    // rounds of timer periods handled by the host.
    void DestroyAndExpectNoPass(const std::function<void()>& destroy) {
        destroy();
        ASSERT_EQ(g_pSmartCard.load(), nullptr);
        ASSERT_EQ(g_nSuperviseTimer.load(), 0u);
        const int connects = reader_.connects.load();
        for (int i = 0; i < 10; ++i) {
            clock_.Advance(250);
            Ask(kSync);
        }
        ASSERT_EQ(reader_.connects.load(), connects);
    }

    std::atomic<CSmartCard*> shared_{nullptr};
    std::atomic<int> notices_{0};
    std::atomic<bool> stopTicker_{false};
    DWORD hostThread_ = 0;
    std::thread host_;
    std::thread ticker_;
};

TEST_F(SmartCardThreadTest, DestructorWaitsForThePassUnderWay) {
    reader_.HoldNextConnect();
    Ask(kCreate);
    reader_.WaitUntilHeld();  // a pass is under way on the host thread
    DestroyAndExpectNoPass([&] {
        std::atomic<bool> destroyed{false};
        std::thread destroyer([&] {
            delete shared_.exchange(nullptr);
            destroyed = true;
        });
        // The destructor cannot finish while the pass runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(destroyed.load());
        reader_.Release();
        destroyer.join();
    });
    EXPECT_EQ(notices_.load(), 1) << "the pass under way ended normally and posted its notice";
}

TEST_F(SmartCardThreadTest, RepeatedDestructionWhilePassesRun) {
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        // Odd rounds fail their reads, so that passes pause inside.
        reader_.FailConnects(round % 2 ? SCARD_E_NOT_TRANSACTED : 0);
        Ask(kCreate);
        const int target = reader_.connects.load() + 1 + round % 4;
        while (reader_.connects.load() < target) {
            std::this_thread::yield();
        }
        DestroyAndExpectNoPass([&] { delete shared_.exchange(nullptr); });
    }
}

}  // namespace
}  // namespace mltest
