// The reader object against the fake card service and the test clock: codes,
// entries, reads and their pauses, destruction on another thread during a pass.
#include "mlsmartcardx/smart_card.h"

#include <cstring>
#include <future>
#include <thread>

#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/tests/test_support.h"
#include "platform/clock.h"
#include "platform/error_text.h"
#include "platform/testing/test_clock.h"

namespace mltest {
namespace {

// What a host copies: three arrays of UTF-16 code units, without padding.
static_assert(sizeof(LoginDataBlock) == (43 + 33 + 101) * 2 &&
              offsetof(LoginDataBlock, szPassword) == (43 + 33) * 2);

// Counts, and with `hold` the next connect tells `held` and waits for `release`.
class HoldingReader final : public ForwardingService {
  public:
    using ForwardingService::ForwardingService;
    std::atomic<bool> hold{false};
    std::promise<void> held, release;

    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        if (hold.exchange(false)) {
            held.set_value();
            release.get_future().wait();
        }
        return ForwardingService::Connect(context, reader, shareMode, protocols, card, active);
    }
};

struct Notice {
    int code = 0;
    DWORD time = 0;
    LPARAM lParam = 0;
    LoginDataBlock copy{};  // CARD_INSERTED: copied while handling it
};

class SmartCardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
        debug_.Next();  // the log's banner
        fake_.InsertCard(cardsim::Family::generic,
                         {{kFileUnique, Record(u"operator7", u"PLANT-NORTH", u"Zq!7vKeep0ut")}});
    }
    void TearDown() override {
        object_.reset();
        Loop();
    }

    void Start() { object_ = std::make_unique<CSmartCard>(fake_.ReaderName()); }
    // Lets `count` timer periods pass, each followed by the host's loop; the
    // codes of the notices that came, in a row.
    int Pass(int count = 1) {
        int codes = 0;
        for (int i = 0; i < count; ++i) {
            clock_.Advance(250);
            for (const Notice& n : Loop())
                codes = codes * 0x10000 + n.code;
        }
        return codes;
    }
    std::vector<Notice> Loop() {
        std::vector<Notice> notices;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Notice n{0, msg.time, msg.lParam};
            if ((n.code = HandleNotice(msg, &n.copy)) != 0)
                notices.push_back(n);
        }
        return notices;
    }

    InfraEnvironment env_;
    ml::testing::TestClock clock_;
    FakeSCard fake_;
    HoldingReader reader_{fake_};
    ScopedSCardService service_{&reader_};
    std::unique_ptr<CSmartCard> object_;
    LogTail debug_{env_.DebugLogPath()}, error_{env_.ErrorLogPath()};
};

TEST_F(SmartCardTest, ReaderCodesEventsAndEntries) {
    WCHAR probe[256];
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD), 0, probe, 256, nullptr) == 0)
        GTEST_SKIP()
            << "the system has no texts for the PC/SC codes, which the entries quote (Wine)";
    auto log = [](LogTail& tail) {
        std::string all;
        for (const std::string& line : tail.Next())
            all += line + "\n";
        return all;
    };
    Start();
    EXPECT_EQ(Pass(), CARD_INSERTED);
    EXPECT_TRUE(InProcess(true));
    EXPECT_FALSE(InProcess(false));
    EXPECT_EQ(Pass(2), 0);
    // While a logon or logoff is in process, changes wait.
    fake_.RemoveCard();
    EXPECT_EQ(Pass(), 0);
    ASSERT_TRUE(InProcess(true, true));
    EXPECT_EQ(Pass(), CARD_REMOVED);
    EXPECT_TRUE(InProcess(false));
    ASSERT_TRUE(InProcess(false, true));
    fake_.ReinsertCard();
    // Failed reads: retries and errors quote the platform's number and text.
    fake_.connectResult = SCARD_W_UNRESPONSIVE_CARD;
    EXPECT_EQ(Pass(), CARD_ERROR);
    fake_.connectResult = SCARD_E_UNKNOWN_CARD;
    EXPECT_EQ(Pass(), CARD_UNKNOWN);
    fake_.connectResult = SCARD_E_NOT_TRANSACTED;
    EXPECT_EQ(Pass(2), CARD_ERROR);
    const std::string debug = log(debug_), error = log(error_),
                      text =
                          "|[ERROR] Error Text = \n   \"An attempt was made to end a "
                          "non-existent transaction. \" [2148532246]\n";
    for (const std::string entry :
         {"szPassword = ***\n",
          "SuperviseCard()|[INFO]  = Card removed but logon/logoff in process -> we wait",
          "Card error (SCARD_W_UNRESPONSIVE_CARD)", "Card inserted (SCARD_E_UNKNOWN_CARD)",
          "[ERROR]  = Card error (see details below)\n", "[ERROR] Error Number = 0x80100016\n",
          "SmartCardReadFiles()|[INFO] Error Text = \n   \"The smart card is not responding to a "
          "reset. \" [2148532326]",
          text.c_str()}) {
        EXPECT_NE(debug.find(entry), std::string::npos) << entry;
    }
    EXPECT_NE(error.find(text), std::string::npos);
    EXPECT_GE(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Zq!7vKeep0ut"), 2u);
}

TEST_F(SmartCardTest, ReadsWithPausesOf250msAndTheirData) {
    // Lets `period` pass; the one notice `n` came this long after the pass began.
    Notice n;
    auto delay = [&](DWORD period) {
        const DWORD start = static_cast<DWORD>(GetTickCount64() + period);
        clock_.Advance(period);
        const std::vector<Notice> notices = Loop();
        EXPECT_EQ(notices.size(), 1u);
        n = notices.empty() ? Notice{} : notices[0];
        return n.time - start;
    };
    // One failure, then a read: inserted after one pause, with the card's data.
    fake_.FailTransmit(SCARD_E_NOT_TRANSACTED);
    Start();
    EXPECT_EQ(delay(250), 250u);
    EXPECT_EQ(std::u16string(n.copy.szUserName) + n.copy.szDomain + n.copy.szPassword,
              u"operator7PLANT-NORTHZq!7vKeep0ut");
    const auto* block = reinterpret_cast<const LoginDataBlock*>(n.lParam);
    // Three failures: the error after two pauses; the next pass one period after its end.
    fake_.connectResult = SCARD_E_NOT_TRANSACTED;
    EXPECT_EQ(delay(250), 500u);
    clock_.Advance(249);
    const int connects = reader_.connects;
    EXPECT_TRUE(Loop().empty());
    EXPECT_EQ(reader_.connects, connects);
    // A removed card is acted on at once and leaves no login data behind.
    ASSERT_TRUE(InProcess(true, true));
    fake_.connectResult = 0;
    fake_.RemoveCard();
    EXPECT_EQ(delay(1), 0u);
    const LoginDataBlock zero{};
    EXPECT_EQ(std::memcmp(block, &zero, sizeof zero), 0);
}

TEST_F(SmartCardTest, DestructorOnAnotherThreadWaitsForThePassUnderWay) {
    // The host: constructs the object, then runs its loop.
    std::promise<DWORD> started;
    CSmartCard* object = nullptr;
    std::atomic<int> notices{0};
    std::thread host([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        object = new CSmartCard(fake_.ReaderName());
        started.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            notices += msg.message == WM_COMMAND;
            DispatchMessageW(&msg);
        }
    });
    const DWORD hostThread = started.get_future().get();
    reader_.hold = true;
    clock_.Advance(250);
    reader_.held.get_future().wait();  // a pass is under way on the host thread

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        delete object;
        destroyed = true;
    });
    // Whatever the timing, the destructor cannot finish while the pass runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(destroyed.load());
    reader_.release.set_value();
    destroyer.join();
    EXPECT_EQ(g_pSmartCard.load(), nullptr);
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);

    // No pass can follow; the one under way ended normally and posted its notice.
    PostThreadMessageW(hostThread, WM_QUIT, 0, 0);
    host.join();
    EXPECT_EQ(notices.load(), 1);
}

}  // namespace
}  // namespace mltest
