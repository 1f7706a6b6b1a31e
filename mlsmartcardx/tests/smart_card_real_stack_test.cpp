// The reader object through the real stack: pcsc-lite, pcscd, the vpcd reader
// and the card emulator mlcardsim, on the real clock. This thread is the
// host: it runs the message loop and takes the notices through the C host.
// Waits are bounded; nothing here depends on how fast the stack is.
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/smart_card.h"
#include "mlsmartcardx/tests/c_host.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

// Sets or resets the logon event from another process of the machine.
int LogonEventInOtherProcess(const std::string& action) {
    const int status = std::system(
        (std::string(ML_EVENT_HELPER) + " " + action + " 'Global\\mlevent_logoninprocess'")
            .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SmartCardRealStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
        card_ = std::make_unique<CSmartCard>(Widen(VpcdReaderName(0)));
    }
    void TearDown() override { card_.reset(); }

    // Puts a card of `family` whose UNIQUE holds the strings into the reader.
    std::unique_ptr<CardSimProcess> Insert(const std::string& family, const std::string& user,
                                           const std::string& password) {
        const std::string path = env_.Root() + "/" + family + user + ".img";
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

    // Runs the host's loop until `done` holds (false after 10 s). Like a host
    // that completes each logon and logoff at once, it resets the event of
    // each insert and remove notice.
    template <typename Done>
    bool Loop(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        MSG msg;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            LoginDataBlock data{};
            if (const int code = MlTestCHostHandle(&msg, &data)) {
                if (code == CARD_INSERTED || code == CARD_REMOVED) {
                    MlTestCHostResetEvent(code == CARD_INSERTED);
                }
                notices_.push_back({code, data});
            }
        }
        return true;
    }
    // The notice after the last one taken (code 0 when none came).
    std::pair<int, LoginDataBlock> Next() {
        return Loop([&] { return notices_.size() > taken_; }) ? notices_[taken_++]
                                                              : std::pair<int, LoginDataBlock>{};
    }
    // Lets `more` passes try the reader (or find a card).
    bool Passes(const std::atomic<int>& counter, int more) {
        const int target = counter + more;
        return Loop([&] { return counter >= target; });
    }

    InfraEnvironment env_;
    ForwardingService counting_{ml::GetSCardService()};
    ScopedSCardService service_{&counting_};
    std::unique_ptr<CSmartCard> card_;
    std::vector<std::pair<int, LoginDataBlock>> notices_;
    size_t taken_ = 0;
};

TEST_F(SmartCardRealStackTest, OneNoticePerChangeAndInsertsWaitForAnotherProcess) {
    ASSERT_EQ(Next().first, CARD_REMOVED) << "the first pass reports the empty reader";

    // Another process holds the logon event: passes read the card, the
    // notice waits.
    ASSERT_EQ(LogonEventInOtherProcess("set"), 0);
    auto held = Insert("class80", "held", "pw-held");
    ASSERT_TRUE(Passes(counting_.cardsFound, 4));
    EXPECT_EQ(notices_.size(), 1u);
    EXPECT_NE(InfraEnvironment::ReadFile(env_.DebugLogPath())
                  .find("Card inserted but logon/logoff in process -> we wait till next loop."),
              std::string::npos);
    ASSERT_EQ(LogonEventInOtherProcess("reset"), 0);
    auto [code, data] = Next();
    ASSERT_EQ(code, CARD_INSERTED);
    EXPECT_EQ(data.szUserName, std::u16string(u"held"));
    EXPECT_EQ(data.szPassword, std::u16string(u"pw-held"));
    held.reset();
    ASSERT_EQ(Next().first, CARD_REMOVED);

    const std::string password = "Kv8!rWq2-zz";
    for (const std::string family : {"generic", "tcos12", "class80"}) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(family + " round " + std::to_string(round));
            const std::string user = "op-" + family + "-" + std::to_string(round);
            auto sim = Insert(family, user, password);
            auto [inserted, login] = Next();
            ASSERT_EQ(inserted, CARD_INSERTED);
            EXPECT_EQ(login.szUserName, Widen(user));
            EXPECT_EQ(login.szDomain, std::u16string(u"PLANT"));
            EXPECT_EQ(login.szPassword, Widen(password));
            if (round == 2) {  // a card left in the reader a while: still one notice
                ASSERT_TRUE(Passes(counting_.cardsFound, 8));
            }
            sim.reset();
            ASSERT_EQ(Next().first, CARD_REMOVED);
        }
    }
    // Passes over the empty reader post nothing more.
    ASSERT_TRUE(Passes(counting_.connects, 6));
    EXPECT_EQ(notices_.size(), taken_);
    EXPECT_GE(ExpectNoSecretInLogs(env_.DiagnosticsDir(), Widen(password)), 1u);
}

}  // namespace
}  // namespace mltest
