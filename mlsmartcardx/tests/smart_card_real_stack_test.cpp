// The reader object through the real stack: pcsc-lite, pcscd, the vpcd reader
// and the card emulator mlcardsim, on the real clock. Waits are bounded;
// nothing here depends on how fast the stack is.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cardsim_process.h"
#include "include/mlcardmanx.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/testing/fake_scard.h"
#include "mlsmartcardx/testing/supervision_host.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using mltest::SupervisionHost;

constexpr auto kPatience = 10s;

// Forwards to the service in use and counts the connects that found a card.
class CountingService final : public ml::SCardService {
  public:
    explicit CountingService(ml::SCardService& inner) : inner_(inner) {}

    int CardsFound() const { return found_.load(); }
    int Connects() const { return connects_.load(); }

    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return inner_.EstablishContext(scope, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return inner_.ReleaseContext(context); }
    LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode, DWORD protocols,
                 SCARDHANDLE* card, DWORD* active) override {
        LONG rv = inner_.Connect(context, reader, shareMode, protocols, card, active);
        found_ += rv == SCARD_S_SUCCESS;
        ++connects_;
        return rv;
    }
    LONG Status(SCARDHANDLE card, LPWSTR names, DWORD* namesLength, DWORD* state, DWORD* protocol,
                BYTE* atr, DWORD* atrLength) override {
        return inner_.Status(card, names, namesLength, state, protocol, atr, atrLength);
    }
    LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* pci, const BYTE* send, DWORD sendLength,
                  SCARD_IO_REQUEST* receivePci, BYTE* receive, DWORD* receiveLength) override {
        return inner_.Transmit(card, pci, send, sendLength, receivePci, receive, receiveLength);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return inner_.Disconnect(card, disposition);
    }

  private:
    ml::SCardService& inner_;
    std::atomic<int> found_{0};
    std::atomic<int> connects_{0};
};

std::string Hex(const std::vector<BYTE>& bytes) {
    std::string out;
    char b[3];
    for (BYTE x : bytes) {
        std::snprintf(b, sizeof b, "%02X", x);
        out += b;
    }
    return out;
}

// An emulator image of `family` whose UNIQUE holds the three ASCII strings.
void WriteImage(const std::string& path, const std::string& family, const std::string& user,
                const std::string& domain, const std::string& password) {
    std::vector<BYTE> record(kLoginRecordSize, 0);
    auto put = [&record](DWORD offset, const std::string& value) {
        for (size_t i = 0; i < value.size(); ++i) {
            record[offset + 2 * i] = static_cast<BYTE>(value[i]);
        }
    };
    put(kUserNameOffset, user);
    put(kDomainOffset, domain);
    put(kPasswordOffset, password);
    std::ofstream out(path, std::ios::trunc);
    out << "mlcardsim-image 1\nfamily " << family << "\n";
    if (family == "tcos12") {
        out << "ef 5A49 00112233445566778899\n";
    } else if (family == "class80") {
        out << "ef 2F02 5A0A00112233445566778899\n";
    }
    out << "ef 5544 " << Hex(record) << "\nend\n";
}

std::u16string Widen(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

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

class SmartCardRealStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        env_ = std::make_unique<mltest::InfraEnvironment>();
        env_->WriteDebugIni(true, 1);
        env_->StartLogs();
        counting_ = std::make_unique<CountingService>(ml::GetSCardService());
        service_ = std::make_unique<mltest::ScopedSCardService>(counting_.get());
    }

    void TearDown() override {
        service_.reset();
        counting_.reset();
        env_.reset();
    }

    std::string Image(const std::string& name) const { return env_->Root() + "/" + name + ".img"; }

    // Waits for the next notice and returns its code (0 when none came).
    int Next(SupervisionHost& host, SupervisionHost::Notice* notice = nullptr) {
        const size_t count = host.Count();
        if (!host.WaitForNotices(count + 1, kPatience)) {
            return 0;
        }
        SupervisionHost::Notice n = host.Notices()[count];
        if (notice != nullptr) {
            *notice = n;
        }
        return n.code;
    }

    // Waits until passes have found a card `passes` more times.
    bool WaitForPassesWithCard(int passes) {
        return WaitFor([this] { return counting_->CardsFound(); }, passes);
    }
    // Waits until `passes` more passes have tried the reader.
    bool WaitForPasses(int passes) {
        return WaitFor([this] { return counting_->Connects(); }, passes);
    }
    template <typename Counter>
    bool WaitFor(Counter counter, int more) {
        const int target = counter() + more;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (counter() < target) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    const std::string reader_ = mltest::VpcdReaderName(0);
    std::unique_ptr<mltest::InfraEnvironment> env_;
    std::unique_ptr<CountingService> counting_;
    std::unique_ptr<mltest::ScopedSCardService> service_;
};

TEST_F(SmartCardRealStackTest, OneNoticePerInsertionAndRemovalOfEachFamily) {
    const std::string password = "Kv8!rWq2-zz";
    SupervisionHost host(Widen(reader_));
    ASSERT_EQ(Next(host), CARD_REMOVED) << "the first pass reports the empty reader";

    int changes = 0;
    for (const std::string family : {"generic", "tcos12", "class80"}) {
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(family + " round " + std::to_string(round));
            const std::string user = "op-" + family + "-" + std::to_string(round);
            const std::string image = Image(family + std::to_string(round));
            WriteImage(image, family, user, "PLANT", password);
            {
                mltest::CardSimProcess sim({family, image, 0, {}});
                SupervisionHost::Notice inserted;
                ASSERT_EQ(Next(host, &inserted), CARD_INSERTED);
                EXPECT_EQ(inserted.user, Widen(user));
                EXPECT_EQ(inserted.domain, u"PLANT");
                EXPECT_EQ(inserted.password, Widen(password));
            }
            ASSERT_EQ(Next(host), CARD_REMOVED);
            changes += 2;
        }
    }

    // A card left in the reader for a while: still one notice.
    WriteImage(Image("stay"), "generic", "stay", "PLANT", password);
    {
        mltest::CardSimProcess sim({"generic", Image("stay"), 0, {}});
        ASSERT_EQ(Next(host), CARD_INSERTED);
        ASSERT_TRUE(WaitForPassesWithCard(8));
    }
    ASSERT_EQ(Next(host), CARD_REMOVED);
    changes += 2;

    // Passes over the empty reader post nothing more.
    ASSERT_TRUE(WaitForPasses(6));
    std::vector<SupervisionHost::Notice> all = host.Notices();
    ASSERT_EQ(all.size(), static_cast<size_t>(1 + changes));
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].code, i % 2 == 1 ? CARD_INSERTED : CARD_REMOVED) << "notice " << i;
    }

    EXPECT_GE(mltest::ExpectNoSecretInLogs(env_->DiagnosticsDir(), Widen(password)), 1u);
}

TEST_F(SmartCardRealStackTest, InsertWaitsWhileAnotherProcessHoldsTheLogonEvent) {
    SupervisionHost host(Widen(reader_));
    ASSERT_EQ(Next(host), CARD_REMOVED);

    ASSERT_EQ(RunEventHelper("set", "Global\\mlevent_logoninprocess"), 0);
    WriteImage(Image("held"), "class80", "held", "PLANT", "pw-held");
    mltest::CardSimProcess sim({"class80", Image("held"), 0, {}});
    // Passes read the card, but the notice waits.
    ASSERT_TRUE(WaitForPassesWithCard(4));
    EXPECT_EQ(host.Count(), 1u);
    const std::string debug = mltest::InfraEnvironment::ReadFile(env_->DebugLogPath());
    EXPECT_NE(debug.find("Card inserted but logon/logoff in process -> we wait till next loop."),
              std::string::npos);

    ASSERT_EQ(RunEventHelper("reset", "Global\\mlevent_logoninprocess"), 0);
    SupervisionHost::Notice inserted;
    ASSERT_EQ(Next(host, &inserted), CARD_INSERTED);
    EXPECT_EQ(inserted.user, u"held");
    EXPECT_EQ(inserted.password, u"pw-held");
}

}  // namespace
