// The reader object against the fake card service, with the test clock: the
// decisions of a pass, the hold-back by the two events, the login data the
// host receives, the trace entries, and destruction from another thread
// while passes run.
#include "mlsmartcardx/smart_card.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"
#include "mlsmartcardx/tests/c_host.h"
#include "platform/clock.h"
#include "platform/message.h"
#include "platform/testing/test_clock.h"

namespace {

using mltest::FakeSCard;
using mltest::MemoryCard;

constexpr char16_t kUser[] = u"operator7";
constexpr char16_t kDomain[] = u"PLANT-NORTH";
constexpr char16_t kPassword[] = u"Zq!7vKeep0ut";

// The 240-byte login record with the three fields.
std::vector<BYTE> Record(std::u16string_view user, std::u16string_view domain,
                         std::u16string_view password) {
    std::vector<BYTE> record(kLoginRecordSize, 0);
    auto put = [&record](DWORD offset, DWORD bytes, std::u16string_view value) {
        for (size_t i = 0; i < value.size() && 2 * i + 1 < bytes; ++i) {
            record[offset + 2 * i] = static_cast<BYTE>(value[i] & 0xFF);
            record[offset + 2 * i + 1] = static_cast<BYTE>(value[i] >> 8);
        }
    };
    put(kUserNameOffset, kUserNameBytes, user);
    put(kDomainOffset, kDomainBytes, domain);
    put(kPasswordOffset, kPasswordBytes, password);
    return record;
}

// Stands in front of the fake reader: keeps the platform time of every
// connect, fails connects on request, and can hold a connect until released.
// The counters and the gate may be used from any thread; the fake itself is
// only reached from the thread that runs the passes.
class ScriptedReader final : public ml::SCardService {
  public:
    explicit ScriptedReader(FakeSCard& fake) : fake_(fake) {}

    // Results for the next connects, in order, instead of the fake's.
    void FailNextConnects(std::vector<LONG> results) {
        std::lock_guard lock(mutex_);
        failures_.assign(results.begin(), results.end());
    }
    // Every connect fails with `result` (0: the fake answers again).
    void FailAllConnects(LONG result) {
        std::lock_guard lock(mutex_);
        failAll_ = result;
    }
    std::vector<uint64_t> ConnectTimes() {
        std::lock_guard lock(mutex_);
        return times_;
    }
    int Connects() const { return connects_.load(); }

    // The next connect waits in the service until Release().
    void HoldNextConnect() {
        std::lock_guard lock(mutex_);
        hold_ = true;
        held_ = false;
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

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return fake_.EstablishContext(scope, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return fake_.ReleaseContext(context); }
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        LONG failure = 0;
        {
            std::unique_lock lock(mutex_);
            times_.push_back(GetTickCount64());
            ++connects_;
            if (hold_) {
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return !hold_; });
            }
            if (!failures_.empty()) {
                failure = failures_.front();
                failures_.pop_front();
            } else {
                failure = failAll_;
            }
        }
        if (failure != 0) {
            return failure;
        }
        return fake_.Connect(context, reader, shareMode, protocols, card, active);
    }
    LONG Status(SCARDHANDLE card, LPWSTR names, DWORD* namesLength, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atrLength) override {
        return fake_.Status(card, names, namesLength, state, protocol, atr, atrLength);
    }
    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* pci, const BYTE* send, DWORD sendLength,
                  SCARD_IO_REQUEST* receivePci, BYTE* receive, DWORD* receiveLength) override {
        return fake_.Transmit(card, pci, send, sendLength, receivePci, receive, receiveLength);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return fake_.Disconnect(card, disposition);
    }

  private:
    FakeSCard& fake_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<LONG> failures_;
    LONG failAll_ = 0;
    std::vector<uint64_t> times_;
    std::atomic<int> connects_{0};
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

std::string ReadFrom(const std::string& path, size_t offset) {
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return offset <= all.size() ? all.substr(offset) : std::string();
}

size_t FileSize(const std::string& path) {
    return ReadFrom(path, 0).size();
}

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

    // Lets one timer period pass and runs the host's message loop until no
    // message waits; returns the notices it handled.
    std::vector<Notice> Pass() {
        clock_.Advance(250);
        return Loop();
    }

    std::vector<Notice> Passes(int count) {
        std::vector<Notice> all;
        for (int i = 0; i < count; ++i) {
            for (Notice& n : Pass()) {
                all.push_back(std::move(n));
            }
        }
        return all;
    }

    std::vector<Notice> Loop() {
        std::vector<Notice> notices;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            LoginDataBlock copy{};
            int code = MlTestCHostHandle(&msg, &copy);
            if (code == 0) {
                continue;
            }
            Notice n;
            n.code = code;
            n.lParam = msg.lParam;
            n.time = msg.time;
            n.user = copy.szUserName;
            n.domain = copy.szDomain;
            n.password = copy.szPassword;
            notices.push_back(std::move(n));
            // A host that completes its logon or logoff at once.
            if (autoReset_ && code == CARD_INSERTED) {
                EXPECT_EQ(MlTestCHostResetEvent(1), 1);
            }
            if (autoReset_ && code == CARD_REMOVED) {
                EXPECT_EQ(MlTestCHostResetEvent(0), 1);
            }
        }
        return notices;
    }

    // The declaration order is the teardown order in reverse: the object goes
    // first, the private environment (object names, logs) last.
    mltest::InfraEnvironment env_;
    ml::testing::TestClock clock_;
    FakeSCard fake_;
    MemoryCard card_;
    ScriptedReader reader_{fake_};
    mltest::ScopedSCardService service_{&reader_};
    bool autoReset_ = true;
    std::unique_ptr<CSmartCard> object_;
};

TEST_F(SmartCardTest, FirstPassPostsWhatItFinds) {
    // A card in the reader.
    Start();
    EXPECT_EQ(g_pSmartCard.load(), object_.get());
    EXPECT_NE(g_nSuperviseTimer.load(), 0u);
    EXPECT_TRUE(Loop().empty()) << "nothing before the first period";
    std::vector<Notice> n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED});
    object_.reset();
    EXPECT_EQ(g_pSmartCard.load(), nullptr);
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);

    // An empty reader: the platform reports the card removed.
    fake_.RemoveCard();
    Start();
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    object_.reset();

    // A reader that fails otherwise.
    reader_.FailAllConnects(SCARD_E_NO_SERVICE);
    Start();
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR});
}

TEST_F(SmartCardTest, OneNoticePerChange) {
    Start();
    EXPECT_EQ(Codes(Passes(6)), std::vector<int>{CARD_INSERTED}) << "a card left in the reader";

    fake_.RemoveCard();
    EXPECT_EQ(Codes(Passes(6)), std::vector<int>{CARD_REMOVED}) << "its removal";

    fake_.InsertCard(mltest::Class80Atr());
    std::vector<Notice> n = Passes(6);
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED}) << "another card";
    EXPECT_EQ(n[0].user, kUser);

    reader_.FailAllConnects(SCARD_W_UNRESPONSIVE_CARD);
    EXPECT_EQ(Codes(Passes(3)), std::vector<int>{CARD_ERROR}) << "the card stops answering";
    reader_.FailAllConnects(SCARD_E_COMM_DATA_LOST);
    EXPECT_TRUE(Passes(2).empty()) << "another failure is still an error";
    reader_.FailAllConnects(0);
    EXPECT_EQ(Codes(Passes(3)), std::vector<int>{CARD_INSERTED}) << "it answers again";
}

TEST_F(SmartCardTest, UnknownCardPostsOnceUntilRemoved) {
    Start();
    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Codes(Passes(5)), std::vector<int>{CARD_UNKNOWN});
    // Reported unknown on every attempt: three attempts per pass.
    EXPECT_EQ(reader_.Connects(), 15);

    // The same presence read successfully later posts nothing...
    reader_.FailAllConnects(0);
    EXPECT_TRUE(Passes(3).empty());
    // ...until a removal has been seen.
    fake_.RemoveCard();
    EXPECT_EQ(Codes(Passes(3)), std::vector<int>{CARD_REMOVED});
    fake_.InsertCard(mltest::GenericAtr());
    EXPECT_EQ(Codes(Passes(3)), std::vector<int>{CARD_INSERTED});

    // After an error, an unknown card is posted again.
    reader_.FailAllConnects(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR});
    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Codes(Passes(2)), std::vector<int>{CARD_UNKNOWN});
}

TEST_F(SmartCardTest, FailedReadsAreRetriedTwice250msApart) {
    Start();
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});

    // Three failures in a row: the error is posted after two pauses.
    reader_.FailAllConnects(SCARD_E_NOT_TRANSACTED);
    const uint64_t start = GetTickCount64() + 250;
    const size_t before = reader_.ConnectTimes().size();
    std::vector<Notice> n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_ERROR});
    std::vector<uint64_t> times = reader_.ConnectTimes();
    ASSERT_EQ(times.size(), before + 3);
    EXPECT_EQ(times[before], start);
    EXPECT_EQ(times[before + 1], start + 250);
    EXPECT_EQ(times[before + 2], start + 500);
    EXPECT_EQ(n[0].time, static_cast<DWORD>(start + 500));

    // The timer is re-armed at the end of the pass: the next pass starts one
    // period after the end of this one.
    clock_.Advance(249);
    EXPECT_TRUE(Loop().empty());
    EXPECT_EQ(reader_.ConnectTimes().size(), before + 3);
    clock_.Advance(1);
    EXPECT_TRUE(Loop().empty()) << "the error was posted already";
    times = reader_.ConnectTimes();
    ASSERT_EQ(times.size(), before + 6);
    EXPECT_EQ(times[before + 3], start + 750);

    // One failure, then a read: inserted, after one pause.
    reader_.FailAllConnects(0);
    reader_.FailNextConnects({SCARD_E_NOT_TRANSACTED});
    const uint64_t again = GetTickCount64() + 250;
    n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED});
    EXPECT_EQ(n[0].time, static_cast<DWORD>(again + 250));
    EXPECT_EQ(n[0].user, kUser);

    // A removed card is acted on at once, without a pause.
    fake_.RemoveCard();
    const uint64_t removal = GetTickCount64() + 250;
    n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_REMOVED});
    EXPECT_EQ(n[0].time, static_cast<DWORD>(removal));
}

TEST_F(SmartCardTest, EventsHoldBackInsertAndRemoveNotices) {
    autoReset_ = false;
    fake_.RemoveCard();
    Start();
    ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    // The module set the logoff event with its notice; the logoff is not
    // done yet, so an inserted card waits.
    fake_.InsertCard(mltest::GenericAtr());
    EXPECT_TRUE(Passes(4).empty());
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);
    std::vector<Notice> n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED});
    EXPECT_EQ(n[0].user, kUser);

    // Now the logon event is set: the removal waits for it.
    fake_.RemoveCard();
    EXPECT_TRUE(Passes(3).empty());
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);

    // Set by someone else: either event holds both kinds back.
    ASSERT_EQ(MlTestCHostSetEvent(1), 1);
    fake_.InsertCard(mltest::GenericAtr());
    EXPECT_TRUE(Passes(3).empty());
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    ASSERT_EQ(MlTestCHostSetEvent(0), 1);
    EXPECT_TRUE(Passes(3).empty());
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});

    // Error and unknown-card notices do not wait.
    reader_.FailAllConnects(SCARD_E_NOT_TRANSACTED);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR});
    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_UNKNOWN});
}

TEST_F(SmartCardTest, HostReceivesTheCardsLoginData) {
    // Fields filled to the last character.
    const std::u16string user = u"abcdefghijklmnopqrstu";                   // 21
    const std::u16string domain = u"\u00c4\u00d6\u00dc-Werk-S\u00fcd-001";  // 16
    const std::u16string password(50, u'\u20ac');                           // 50
    ASSERT_EQ(user.size(), 21u);
    ASSERT_EQ(domain.size(), 16u);
    card_.files[kFileUnique] = Record(user, domain, password);
    Start();
    std::vector<Notice> n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED});
    EXPECT_EQ(n[0].user, user);
    EXPECT_EQ(n[0].domain, domain);
    EXPECT_EQ(n[0].password, password);

    // lParam is the object's own block; a later pass rewrites it, and one
    // that finds no card leaves no login data in it.
    const auto* block = reinterpret_cast<const LoginDataBlock*>(n[0].lParam);
    fake_.RemoveCard();
    ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    EXPECT_EQ(std::u16string(block->szUserName), u"");
    EXPECT_EQ(std::u16string(block->szPassword), u"");
    const LoginDataBlock zero{};
    EXPECT_EQ(std::memcmp(block, &zero, sizeof zero), 0);

    // The legacy layout gives the same strings.
    card_.files.erase(kFileUnique);
    std::vector<BYTE> record = Record(kUser, kDomain, kPassword);
    card_.files[kFileUserName].assign(record.begin() + kUserNameOffset,
                                      record.begin() + kUserNameOffset + kUserNameBytes);
    card_.files[kFileDomain].assign(record.begin() + kDomainOffset,
                                    record.begin() + kDomainOffset + kDomainBytes);
    card_.files[kFilePassword].assign(record.begin() + kPasswordOffset,
                                      record.begin() + kPasswordOffset + kPasswordBytes);
    fake_.InsertCard(mltest::Tcos12Atr());
    n = Pass();
    ASSERT_EQ(Codes(n), std::vector<int>{CARD_INSERTED});
    EXPECT_EQ(n[0].lParam, reinterpret_cast<LPARAM>(block));
    EXPECT_EQ(n[0].user, kUser);
    EXPECT_EQ(n[0].domain, kDomain);
    EXPECT_EQ(n[0].password, kPassword);
}

TEST_F(SmartCardTest, StoppedTimerPausesSupervisionUntilADirectPass) {
    Start();
    ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});
    object_->StopSuperviseTimer();
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);
    object_->StopSuperviseTimer();  // a second stop is harmless
    fake_.RemoveCard();
    const int connects = reader_.Connects();
    EXPECT_TRUE(Passes(4).empty());
    EXPECT_EQ(reader_.Connects(), connects) << "no pass while the timer is stopped";

    // A direct pass posts at once and starts the timer again.
    object_->SuperviseCard();
    EXPECT_NE(g_nSuperviseTimer.load(), 0u);
    EXPECT_EQ(Codes(Loop()), std::vector<int>{CARD_REMOVED});
    fake_.InsertCard(mltest::GenericAtr());
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});
    // A direct pass while the timer runs leaves the one timer running.
    const UINT_PTR timer = g_nSuperviseTimer.load();
    object_->SuperviseCard();
    EXPECT_EQ(g_nSuperviseTimer.load(), timer);
    const int before = reader_.Connects();
    EXPECT_TRUE(Pass().empty());
    EXPECT_EQ(reader_.Connects(), before + 1) << "one pass per period";
}

// Trace entries, compared whole. Each step starts at 08:00:00 on 01/05/26 of
// the test clock and lasts less than a second.
class SmartCardTraceTest : public SmartCardTest {
  protected:
    std::string Header(const std::string& method) {
        return method +
               " \t\t\t[ThreadID: " + std::to_string(static_cast<int32_t>(GetCurrentThreadId())) +
               "]";
    }
    std::string Debug(const std::string& method, const std::string& line) {
        return "\r\n[7.4.1] 01/05/26 08:00:00 - " + Header(method) + "\r\n\t\t\t\t\t\t" + line;
    }
    std::string Error(const std::string& method, const std::string& line) {
        return "\r\n01/05/26 08:00:00 - " + Header(method) + "\r\n\t\t\t" + line;
    }

    // What the logs received during `step`.
    void Expect(const std::function<void()>& step, const std::string& debug,
                const std::string& error) {
        clock_.SetLocalTime(SYSTEMTIME{2026, 1, 1, 5, 8, 0, 0, 0});
        const size_t debugSize = FileSize(env_.DebugLogPath());
        const size_t errorSize = FileSize(env_.ErrorLogPath());
        step();
        EXPECT_EQ(ReadFrom(env_.DebugLogPath(), debugSize), debug);
        EXPECT_EQ(ReadFrom(env_.ErrorLogPath(), errorSize), error);
    }

    const std::string pass_ = "CSmartCard::SuperviseCard()";
};

TEST_F(SmartCardTraceTest, EachDecisionWritesItsEntries) {
    autoReset_ = false;
    Start();
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED}); },
           Debug(pass_, "[INFO]  = Card inserted") + Debug(pass_, "[INFO] szUserName = operator7") +
               Debug(pass_, "[INFO] szDomain = PLANT-NORTH") +
               Debug(pass_, "[INFO] szPassword = ***"),
           "");
    Expect([&] { EXPECT_TRUE(Passes(2).empty()); }, "", "");

    fake_.RemoveCard();
    const std::string removeHeld = Debug(
        pass_, "[INFO]  = Card removed but logon/logoff in process -> we wait till next loop.");
    Expect([&] { EXPECT_TRUE(Passes(2).empty()); }, removeHeld + removeHeld, "");
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED}); },
           Debug(pass_, "[INFO]  = Card removed"), "");

    fake_.InsertCard(mltest::GenericAtr());
    const std::string insertHeld =
        Debug("CSmartCard::SuperviseCard",
              "[INFO]  = Card inserted but logon/logoff in process -> we wait till next loop.");
    Expect([&] { EXPECT_TRUE(Passes(3).empty()); }, insertHeld + insertHeld + insertHeld, "");
    ASSERT_EQ(MlTestCHostResetEvent(0), 1);

    const std::string unresponsive = "[ERROR]  = Card error (SCARD_W_UNRESPONSIVE_CARD)";
    reader_.FailAllConnects(SCARD_W_UNRESPONSIVE_CARD);
    const std::string retry = "CSmartCard::SuperviseCard() - SmartCardReadFiles()";
    const std::string unresponsiveText =
        "\n   \"Card is unresponsive. \" [2148532326]";  // as the platform words it
    const std::string retryEntries = Debug(retry, "[INFO] Error Number = 0x80100066") +
                                     Debug(retry, "[INFO] Error Text = " + unresponsiveText);
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR}); },
           retryEntries + retryEntries + Debug(pass_, unresponsive), Error(pass_, unresponsive));

    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    const std::string unknownRetry =
        Debug(retry, "[INFO] Error Number = 0x8010000d") +
        Debug(retry, "[INFO] Error Text = \n   \"Unknown card. \" [2148532237]");
    const std::string unknown = "[INFO]  = Card inserted (SCARD_E_UNKNOWN_CARD)";
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_UNKNOWN}); },
           unknownRetry + unknownRetry + Debug(pass_, unknown), Error(pass_, unknown));

    reader_.FailAllConnects(SCARD_E_NOT_TRANSACTED);
    const std::string otherText = "\n   \"Transaction failed. \" [2148532246]";
    const std::string otherRetry = Debug(retry, "[INFO] Error Number = 0x80100016") +
                                   Debug(retry, "[INFO] Error Text = " + otherText);
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR}); },
           otherRetry + otherRetry + Debug(pass_, "[ERROR]  = Card error (see details below)") +
               Debug(pass_, "[ERROR] Error Number = 0x80100016") +
               Debug(pass_, "[ERROR] Error Text = " + otherText),
           Error(pass_, "[ERROR]  = Card error (see details below)") +
               Error(pass_, "[ERROR] Error Number = 0x80100016") +
               Error(pass_, "[ERROR] Error Text = " + otherText));
    // The same error again: only the retries are traced.
    Expect([&] { EXPECT_TRUE(Pass().empty()); }, otherRetry + otherRetry, "");

    // With the debug switch off only the error log is written.
    env_.WriteDebugIni(false, 2);
    reader_.FailAllConnects(SCARD_W_UNRESPONSIVE_CARD);
    Expect([&] { EXPECT_TRUE(Pass().empty()); }, "", "");
    reader_.FailAllConnects(SCARD_E_NO_SERVICE);
    Expect([&] { EXPECT_TRUE(Pass().empty()); }, "", "");
    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    Expect([&] { ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_UNKNOWN}); }, "",
           Error(pass_, unknown));
}

TEST_F(SmartCardTraceTest, NoPasswordInAnyLog) {
    Start();
    // Every path a pass can take, with the debug log on.
    ASSERT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});
    ASSERT_EQ(MlTestCHostSetEvent(1), 1);
    fake_.RemoveCard();
    EXPECT_TRUE(Pass().empty());
    ASSERT_EQ(MlTestCHostResetEvent(1), 1);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    fake_.InsertCard(mltest::GenericAtr());
    reader_.FailNextConnects({SCARD_E_NOT_TRANSACTED, SCARD_W_UNRESPONSIVE_CARD});
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_INSERTED});
    fake_.RemoveCard();
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_REMOVED});
    reader_.FailAllConnects(SCARD_E_UNKNOWN_CARD);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_UNKNOWN});
    reader_.FailAllConnects(SCARD_E_NO_SERVICE);
    EXPECT_EQ(Codes(Pass()), std::vector<int>{CARD_ERROR});

    EXPECT_GE(mltest::ExpectNoSecretInLogs(env_.DiagnosticsDir(), kPassword), 2u);
    const std::string debug = ReadFrom(env_.DebugLogPath(), 0);
    EXPECT_NE(debug.find("[INFO] szPassword = ***"), std::string::npos);
}

// Destruction from another thread while the host thread runs passes.
class SmartCardThreadTest : public ::testing::Test {
  protected:
    static constexpr UINT kCreate = WM_USER + 1;
    static constexpr UINT kSync = WM_USER + 2;

    void SetUp() override {
        card_.files[kFileUnique] = Record(kUser, kDomain, kPassword);
        fake_.SetResponder(std::ref(card_));
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
        delete object_.exchange(nullptr);
    }

    // The host: constructs the object on request and runs its loop.
    void HostLoop(std::promise<DWORD>& started) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        started.set_value(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == kCreate) {
                object_.store(new CSmartCard(fake_.ReaderName()));
                reinterpret_cast<std::promise<void>*>(msg.lParam)->set_value();
            } else if (msg.message == kSync) {
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

    void WaitForConnects(int count) {
        while (reader_.Connects() < count) {
            std::this_thread::yield();
        }
    }

    // Several rounds of timer periods handled by the host.
    void LetPeriodsPass() {
        for (int i = 0; i < 10; ++i) {
            clock_.Advance(250);
            Ask(kSync);
        }
    }

    mltest::InfraEnvironment env_;
    ml::testing::TestClock clock_;
    FakeSCard fake_;
    MemoryCard card_;
    ScriptedReader reader_{fake_};
    mltest::ScopedSCardService service_{&reader_};
    std::atomic<CSmartCard*> object_{nullptr};
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

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        delete object_.exchange(nullptr);
        destroyed = true;
    });
    // The destructor cannot finish while the pass runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(destroyed.load());
    reader_.Release();
    destroyer.join();
    EXPECT_EQ(g_pSmartCard.load(), nullptr);
    EXPECT_EQ(g_nSuperviseTimer.load(), 0u);

    // The timer that pass re-armed was killed with the object.
    const int connects = reader_.Connects();
    LetPeriodsPass();
    EXPECT_EQ(reader_.Connects(), connects);
    EXPECT_EQ(notices_.load(), 1) << "the pass under way ended normally and posted its notice";
}

TEST_F(SmartCardThreadTest, RepeatedDestructionWhilePassesRun) {
    for (int round = 0; round < 40; ++round) {
        // Odd rounds fail their reads, so that passes pause inside.
        reader_.FailAllConnects(round % 2 ? SCARD_E_NOT_TRANSACTED : 0);
        Ask(kCreate);
        WaitForConnects(reader_.Connects() + 1 + round % 4);
        delete object_.exchange(nullptr);
        ASSERT_EQ(g_pSmartCard.load(), nullptr);
        ASSERT_EQ(g_nSuperviseTimer.load(), 0u);
        const int connects = reader_.Connects();
        LetPeriodsPass();
        ASSERT_EQ(reader_.Connects(), connects) << "round " << round;
    }
}

}  // namespace
