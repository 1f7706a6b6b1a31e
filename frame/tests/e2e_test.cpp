// End to end on the real stack: the installed module in a sandbox, driven by
// mlhost, with pcscd, vpcd and the card emulator; the default device (the
// CT-API terminal through ct32.so, slot 0) and a PC/SC reader (slot 1).
#include <gtest/gtest.h>

#include <chrono>
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

// Occurrences of `what` in `text`.
size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

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

    // A password longer than its card field: the reader refuses it and the
    // card stays as it was; the terminal cuts it with its "[ERROR]" entry.
    const std::string image = ReadWholeFile(card->options().image);
    RunResult tooLong = Host("set --user alice --domain PLANT", std::string(51, 'p') + "\n");
    if (*GetParam().reader != '\0') {
        EXPECT_EQ(tooLong.status, 1) << tooLong.out;
        EXPECT_NE(tooLong.out.find("27 The password is too long for the card: at most 50 "
                                   "characters fit. Nothing was written."),
                  std::string::npos)
            << tooLong.out;
        EXPECT_EQ(ReadWholeFile(card->options().image), image);
    } else {
        EXPECT_EQ(tooLong.status, 0) << tooLong.out;
        EXPECT_NE(Logs("mlcardmanx_error.log").find("The password is too long and was shortened."),
                  std::string::npos);
    }

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
        line.erase(0, line.find(' ') + 1);  // the time stamp
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

// Two hosts watch the default terminal at once: neither disturbs the other's
// reads, so both see every insertion and removal and no error.
TEST(TwoHosts, WatchOneTerminalWithoutErrors) {
    ML_REQUIRE_REAL_STACK();
    Sandbox sandbox;
    ASSERT_TRUE(sandbox.Ok()) << sandbox.Log();
    sandbox.UseReader("");
    const std::string image = sandbox.Dir() + "/card.img";
    auto insert = [&] {
        return std::make_unique<CardSimProcess>(CardSimOptions{"class80", image, 0, {}});
    };
    {
        auto card = insert();
        ASSERT_EQ(sandbox.Run("mlhost set --user alice --domain PLANT", "pw\n").status, 0);
    }
    std::string out[2], pid[2];
    // The hosts end also when an assertion ends the test early.
    struct EndHosts {
        const Sandbox& sandbox;
        const std::string* pid;
        ~EndHosts() {
            for (int h = 0; h < 2; ++h)
                sandbox.Run("test -s " + Quote(pid[h]) + " && kill $(cat " + Quote(pid[h]) + ")");
        }
    } endHosts{sandbox, pid};
    for (int h = 0; h < 2; ++h) {
        out[h] = sandbox.Dir() + "/watch" + std::to_string(h) + ".out";
        pid[h] = sandbox.Dir() + "/watch" + std::to_string(h) + ".pid";
        ASSERT_EQ(sandbox
                      .Run("mlhost watch --timeout 300 > " + Quote(out[h]) + " 2>&1 & echo $! > " +
                           Quote(pid[h]))
                      .status,
                  0);
    }
    // Both hosts have seen `n` lines starting with `line`.
    auto bothSaw = [&](const std::string& line, size_t n) {
        for (int i = 0; i < 600; ++i) {
            if (Count(ReadWholeFile(out[0]), line) >= n && Count(ReadWholeFile(out[1]), line) >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    // The empty terminal at the start.
    ASSERT_TRUE(bothSaw("removed\n", 1));
    for (size_t cycle = 1; cycle <= 10; ++cycle) {
        auto card = insert();
        ASSERT_TRUE(bothSaw("inserted user=alice domain=PLANT\n", cycle)) << cycle;
        card->Remove();
        ASSERT_TRUE(bothSaw("removed\n", cycle + 1)) << cycle;
    }
    for (int h = 0; h < 2; ++h) {
        const std::string watched = ReadWholeFile(out[h]);
        EXPECT_EQ(Count(watched, "error"), 0u) << watched;
        EXPECT_EQ(Count(watched, "inserted"), 10u) << watched;
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, EndToEnd, ::testing::Values(kTerminal, kReader),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mltest
