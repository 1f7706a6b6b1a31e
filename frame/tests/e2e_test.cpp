// End to end on the real stack: the installed module in a sandbox, driven by
// mlhost, with pcscd, vpcd and the card emulator; the default device (the
// CT-API terminal through ct32.so, slot 0) and a PC/SC reader (slot 1).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "cardsim_process.h"
#include "frame/tests/sandbox_support.h"
#include "infrastructure/testing/log_scan.h"
#include "platform/codepage.h"

namespace mltest {
namespace {

constexpr char kPassword[] = "Kl4r-Text_77";

const char kWatched[] =
    "inserted user=alice domain=PLANT\nremoved\ninserted user=alice domain=PLANT\nremoved\n";

const char kRemovedRead[] =
    "18 The card was removed or is missing, so the logon data could not be read.";

struct Device {
    const char* name;
    const char* reader;  // "" = the terminal
    const char* family;
    int slot;
};

const Device kTerminal{"terminal", "", "class80", 0};
const Device kReader{"reader", "Virtual PCD 00 01", "generic", 1};

class EndToEnd : public ::testing::TestWithParam<Device> {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        sandbox_ = std::make_unique<Sandbox>();
        ASSERT_TRUE(sandbox_->Ok()) << sandbox_->Log();
        sandbox_->UseReader(GetParam().reader);
        sandbox_->SetDebug(true);
    }
    void TearDown() override {
        if (sandbox_ && sandbox_->Ok()) {
            EXPECT_GT(ExpectNoSecretInLogs(sandbox_->DiagnosticsDir(), ml::FromUtf8(kPassword)),
                      0u);
            for (const std::string& out : outputs_)
                EXPECT_EQ(out.find(kPassword), std::string::npos) << "password in an output";
        }
    }

    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    // The logs of every session whose name ends in `suffix`.
    std::string Logs(const std::string& suffix) const {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(sandbox_->DiagnosticsDir())) {
            std::string name = entry.path().filename().string();
            if (name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                all += ReadWholeFile(entry.path().string());
        }
        return all;
    }

    std::unique_ptr<CardSimProcess> Insert() {
        CardSimOptions options;
        options.family = GetParam().family;
        options.image = sandbox_->Dir() + "/card-" + GetParam().name + ".img";
        options.slot = GetParam().slot;
        return std::make_unique<CardSimProcess>(options);
    }

    RunResult Host(const std::string& arguments, const std::string& input = "") {
        RunResult r = sandbox_->Run("mlhost " + arguments, input);
        outputs_.push_back(r.out);
        return r;
    }

    std::unique_ptr<Sandbox> sandbox_;
    std::vector<std::string> outputs_;
};

TEST_P(EndToEnd, WriteReadWatchAndNoCard) {
    std::unique_ptr<CardSimProcess> card = Insert();
    RunResult set = Host("set --user alice --domain PLANT", std::string(kPassword) + "\n");
    ASSERT_EQ(set.status, 0) << set.out;

    RunResult get = Host("get --json");
    EXPECT_EQ(get.status, 0) << get.out;
    EXPECT_NE(get.out.find("\"user\":\"alice\""), std::string::npos) << get.out;
    EXPECT_NE(get.out.find("\"domain\":\"PLANT\""), std::string::npos) << get.out;
    EXPECT_NE(get.out.find("\"error\":\"\""), std::string::npos) << get.out;

    // Only when asked for explicitly.
    RunResult shown = sandbox_->Run("mlhost get --show-password");
    EXPECT_NE(shown.out.find(kPassword), std::string::npos);

    // The notices of a card taken out and put back while mlhost watches.
    std::string watchOut = sandbox_->Dir() + "/watch.out";
    std::string watchPid = sandbox_->Dir() + "/watch.pid";
    RunResult started = sandbox_->Run("mlhost watch --timeout 20 > " + Quote(watchOut) +
                                      " 2>&1 & echo $! > " + Quote(watchPid));
    ASSERT_EQ(started.status, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    card->Remove();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    card = Insert();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    card->Remove();
    card.reset();
    std::string watched;
    for (int i = 0; i < 100; ++i) {
        watched = ReadWholeFile(watchOut);
        if (Count(watched, "removed\n") >= 2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Ends mlhost as the host's owner would (SIGTERM: unload, status 0).
    sandbox_->Run("kill $(cat " + Quote(watchPid) + ")");
    outputs_.push_back(watched);
    // A card pulled out while the terminal resets it may first fail the
    // reset (a card error), then count as removed: the insert and remove
    // notices are what this looks at.
    std::string insertsAndRemovals;
    std::istringstream lines(watched);
    for (std::string line; std::getline(lines, line);) {
        if (line != "error")
            insertsAndRemovals += line + "\n";
    }
    watched = insertsAndRemovals;
    EXPECT_NE(watched.find(kWatched), std::string::npos) << watched;

    // No card, no terminal to ask on: the question counts as OK three times,
    // then the call gives up with its text.
    RunResult none = Host("get");
    EXPECT_EQ(none.status, 1) << none.out;
    EXPECT_NE(none.out.find(kRemovedRead), std::string::npos) << none.out;
    EXPECT_NE(Logs("mlcardmanx_error.log").find("The question could not be shown; giving up"),
              std::string::npos);
}

// The dialog component of the installation shows the question on the user's
// terminal (a tmux pane here): OK retries, Cancel ends the call.
class DialogOnTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        if (system("command -v tmux >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tmux is not installed";
        sandbox_ = std::make_unique<Sandbox>();
        ASSERT_TRUE(sandbox_->Ok()) << sandbox_->Log();
        sandbox_->UseReader("");  // the terminal, with no card in it
        socket_ = "mlframe-" + std::to_string(getpid());
    }
    void TearDown() override {
        if (!socket_.empty())
            Tmux("kill-server");
    }

    RunResult Tmux(const std::string& arguments) const {
        return sandbox_->Run("tmux -L " + Quote(socket_) + " " + arguments);
    }
    std::string Pane() const { return Tmux("capture-pane -p -J -S - -t mlhost").out; }
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    bool WaitFor(const std::string& what, size_t times) const {
        for (int i = 0; i < 150; ++i) {
            if (Count(Pane(), what) >= times)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    std::unique_ptr<Sandbox> sandbox_;
    std::string socket_;
};

TEST_F(DialogOnTerminal, OKRetriesAndCancelEnds) {
    std::string env = sandbox_->EnvPrefix();
    for (const char* name : {"PCSCLITE_CSOCK_NAME", "ML_VPCD_PORT"}) {
        if (const char* value = getenv(name))
            env += std::string(name) + "=" + Quote(value) + " ";
    }
    std::string command = "env " + env + "mlhost get; echo EXIT=$?; sleep 60";
    RunResult started = Tmux("new-session -d -s mlhost -x 160 -y 50 " + Quote(command));
    ASSERT_EQ(started.status, 0) << started.out;

    const std::string caption = "Morlind Logon - Logon card";
    ASSERT_TRUE(WaitFor(caption, 1)) << Pane();
    EXPECT_NE(Pane().find("The card was removed or is missing"), std::string::npos) << Pane();
    EXPECT_NE(Pane().find("[O]K"), std::string::npos) << Pane();
    Tmux("send-keys -t mlhost o");
    ASSERT_TRUE(WaitFor(caption, 2)) << Pane();
    Tmux("send-keys -t mlhost c");
    ASSERT_TRUE(WaitFor("EXIT=", 1)) << Pane();
    std::string pane = Pane();
    EXPECT_NE(pane.find("error: -1 The card was removed or is missing"), std::string::npos) << pane;
    EXPECT_NE(pane.find("EXIT=1"), std::string::npos) << pane;
}

INSTANTIATE_TEST_SUITE_P(Devices, EndToEnd, ::testing::Values(kTerminal, kReader),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mltest
