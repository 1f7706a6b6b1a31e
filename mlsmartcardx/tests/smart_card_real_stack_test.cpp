// The reader object through the real stack: pcsc-lite, pcscd, the vpcd reader
// and the card emulator mlcardsim, on the real clock. Waits are bounded;
// nothing here depends on how fast the stack is.
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/smart_card.h"
#include "mlsmartcardx/tests/c_host.h"
#include "mlsmartcardx/tests/test_support.h"

extern char** environ;

namespace mltest {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

// Runs the event helper, another process of the machine; its exit status.
int RunEventHelper(const char* action, const char* name) {
    char* argv[] = {const_cast<char*>(ML_EVENT_HELPER), const_cast<char*>(action),
                    const_cast<char*>(name), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, ML_EVENT_HELPER, nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A host thread: constructs the reader object, runs a real message loop and
// records the notices, handled by the C host (which copies the login data at
// once). Like a host that completes each logon and logoff at once, it resets
// the event of each insert and remove notice.
class Host {
  public:
    struct Notice {
        int code = 0;
        LoginDataBlock data{};
    };

    explicit Host(std::u16string reader) : thread_([this, reader] { Run(reader); }) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return id_ != 0; });
    }
    ~Host() {
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    // The notice after the last one taken (code 0 when none came).
    Notice Next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [this] { return notices_.size() > taken_; })) {
            return {};
        }
        return notices_[taken_++];
    }
    std::vector<Notice> All() {
        std::lock_guard lock(mutex_);
        return notices_;
    }

  private:
    void Run(const std::u16string& reader) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        CSmartCard card(reader);
        std::unique_lock lock(mutex_);
        id_ = GetCurrentThreadId();
        changed_.notify_all();
        lock.unlock();
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            Notice n;
            if ((n.code = MlTestCHostHandle(&msg, &n.data)) == 0) {
                continue;
            }
            if (n.code == CARD_INSERTED || n.code == CARD_REMOVED) {
                MlTestCHostResetEvent(n.code == CARD_INSERTED);
            }
            lock.lock();
            notices_.push_back(n);
            changed_.notify_all();
            lock.unlock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notice> notices_;
    size_t taken_ = 0;
    DWORD id_ = 0;
    std::thread thread_;
};

class SmartCardRealStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        env_ = std::make_unique<InfraEnvironment>();
        env_->WriteDebugIni(true, 1);
        env_->StartLogs();
        counting_ = std::make_unique<ForwardingService>(ml::GetSCardService());
        service_ = std::make_unique<ScopedSCardService>(counting_.get());
    }
    void TearDown() override {
        service_.reset();
        counting_.reset();
        env_.reset();
    }

    // Puts a card of `family` whose UNIQUE holds the three strings into the reader.
    std::unique_ptr<CardSimProcess> Insert(const std::string& family, const std::string& user,
                                           const std::string& password) {
        const std::string path = env_->Root() + "/" + family + user + ".img";
        std::ofstream out(path, std::ios::trunc);
        out << "mlcardsim-image 1\nfamily " << family << "\n";
        if (family == "tcos12") {
            out << "ef 5A49 00112233445566778899\n";
        } else if (family == "class80") {
            out << "ef 2F02 5A0A00112233445566778899\n";
        }
        out << "ef 5544 " << HexOf(Record(Widen(user), u"PLANT", Widen(password))) << "\nend\n";
        out.close();
        return std::make_unique<CardSimProcess>(CardSimOptions{family, path, 0, {}});
    }

    // Waits until `more` passes have tried the reader (or found a card).
    bool WaitFor(const std::atomic<int>& counter, int more) {
        const int target = counter.load() + more;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (counter.load() < target) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    const std::u16string reader_ = Widen(VpcdReaderName(0));
    std::unique_ptr<InfraEnvironment> env_;
    std::unique_ptr<ForwardingService> counting_;
    std::unique_ptr<ScopedSCardService> service_;
};

TEST_F(SmartCardRealStackTest, OneNoticePerInsertionAndRemovalOfEachFamily) {
    const std::string password = "Kv8!rWq2-zz";
    Host host(reader_);
    ASSERT_EQ(host.Next().code, CARD_REMOVED) << "the first pass reports the empty reader";

    size_t changes = 0;
    for (const std::string family : {"generic", "tcos12", "class80"}) {
        for (int round = 0; round < 3; ++round, changes += 2) {
            SCOPED_TRACE(family + " round " + std::to_string(round));
            const std::string user = "op-" + family + "-" + std::to_string(round);
            auto sim = Insert(family, user, password);
            Host::Notice inserted = host.Next();
            ASSERT_EQ(inserted.code, CARD_INSERTED);
            EXPECT_EQ(inserted.data.szUserName, Widen(user));
            EXPECT_EQ(inserted.data.szDomain, std::u16string(u"PLANT"));
            EXPECT_EQ(inserted.data.szPassword, Widen(password));
            if (changes == 16) {  // a card left in the reader a while: still one notice
                ASSERT_TRUE(WaitFor(counting_->cardsFound, 8));
            }
            sim.reset();
            ASSERT_EQ(host.Next().code, CARD_REMOVED);
        }
    }

    // Passes over the empty reader post nothing more.
    ASSERT_TRUE(WaitFor(counting_->connects, 6));
    std::vector<Host::Notice> all = host.All();
    ASSERT_EQ(all.size(), 1 + changes);
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].code, i % 2 == 1 ? CARD_INSERTED : CARD_REMOVED) << "notice " << i;
    }
    EXPECT_GE(ExpectNoSecretInLogs(env_->DiagnosticsDir(), Widen(password)), 1u);
}

TEST_F(SmartCardRealStackTest, InsertWaitsWhileAnotherProcessHoldsTheLogonEvent) {
    Host host(reader_);
    ASSERT_EQ(host.Next().code, CARD_REMOVED);

    ASSERT_EQ(RunEventHelper("set", "Global\\mlevent_logoninprocess"), 0);
    auto sim = Insert("class80", "held", "pw-held");
    // Passes read the card, but the notice waits.
    ASSERT_TRUE(WaitFor(counting_->cardsFound, 4));
    EXPECT_EQ(host.All().size(), 1u);
    EXPECT_NE(InfraEnvironment::ReadFile(env_->DebugLogPath())
                  .find("Card inserted but logon/logoff in process -> we wait till next loop."),
              std::string::npos);

    ASSERT_EQ(RunEventHelper("reset", "Global\\mlevent_logoninprocess"), 0);
    Host::Notice inserted = host.Next();
    // On failure, the end of the debug log tells what the passes saw.
    ASSERT_EQ(inserted.code, CARD_INSERTED) << [&] {
        std::string log = InfraEnvironment::ReadFile(env_->DebugLogPath());
        return log.size() > 4000 ? log.substr(log.size() - 4000) : log;
    }();
    EXPECT_EQ(inserted.data.szUserName, std::u16string(u"held"));
    EXPECT_EQ(inserted.data.szPassword, std::u16string(u"pw-held"));
}

}  // namespace
}  // namespace mltest
