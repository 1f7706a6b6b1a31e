// mlhost as its users run it: the real program as a child process, with a
// fake module that posts scripted notices.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mlcardmanx.h"
#include "platform/tests/test_support.h"

namespace {

namespace fs = std::filesystem;

// Guard against a hanging child; never reached when things work.
constexpr int kGuardMs = 30'000;
// The test password of the fake card; it must never appear in any output.
constexpr char kPassword[] = "Pw-s3cr3t";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One run of mlhost with its own object namespace and captured output.
class HostRun {
  public:
    HostRun(std::vector<std::string> args, std::map<std::string, std::string> env,
            const std::string& input = "", const std::string& program = MLHOST_PATH) {
        int in[2], out[2], err[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (const auto& [k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (!input.empty()) {
            EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
        }
        close(in[1]);
    }
    ~HostRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (err_ >= 0)
            close(err_);
    }

    // Reads until standard output holds `lines` lines.
    bool WaitForLines(size_t lines) {
        while (Lines().size() < lines) {
            if (!Pump(kGuardMs))
                return false;
        }
        return true;
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Reads to the end and returns the exit status (-1: killed or hung).
    int Finish() {
        while (out_ >= 0 || err_ >= 0) {
            if (!Pump(kGuardMs)) {
                ADD_FAILURE() << "mlhost did not end; output: " << stdout_ << stderr_;
                return -1;
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::stringstream s(stdout_);
        for (std::string line; std::getline(s, line);)
            lines.push_back(line);
        if (!stdout_.empty() && stdout_.back() != '\n')
            lines.pop_back();  // incomplete
        return lines;
    }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

  private:
    bool Pump(int waitMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        int ready = poll(fds, 2, waitMs);
        if (ready <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            int& fd = i == 0 ? out_ : err_;
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                close(fd);
                fd = -1;
            } else {
                (i == 0 ? stdout_ : stderr_).append(buf, size_t(n));
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string stdout_, stderr_;
};

class MlHost : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/mlhost-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        // Events of this test only.
        ns_ = ml::test::UniqueNamespace("mlhost") + dir_.filename().string() + ".";
        nsEnv_.emplace("ML_OBJECT_NAMESPACE", ns_);
    }
    void TearDown() override {
        ResetEvents();
        nsEnv_.reset();
        fs::remove_all(dir_);
        ml::test::RemoveShmObjects(ns_);
    }

    std::map<std::string, std::string> Env(std::map<std::string, std::string> more = {}) {
        more["ML_OBJECT_NAMESPACE"] = ns_;
        more["LANG"] = "C.UTF-8";
        more["LC_ALL"] = "C.UTF-8";
        return more;
    }
    std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", FAKE_MODULE_PATH});
        return args;
    }

    static std::string EventState(LPCWSTR name) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
        if (event == nullptr)
            return "absent";
        std::string state = WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "set" : "clear";
        CloseHandle(event);
        return state;
    }
    static void ResetEvents() {
        for (LPCWSTR name : {ML_EVENT_LOGON_IN_PROCESS, ML_EVENT_LOGOFF_IN_PROCESS}) {
            if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
                ResetEvent(event);
                CloseHandle(event);
            }
        }
    }

    static void ExpectNoPassword(const HostRun& run) {
        EXPECT_EQ(run.out().find(kPassword), std::string::npos) << run.out();
        EXPECT_EQ(run.err().find(kPassword), std::string::npos) << run.err();
    }

    fs::path dir_;
    std::string ns_;
    std::optional<ml::test::ScopedEnv> nsEnv_;
};

TEST_F(MlHost, ArgumentErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"--bogus", "get"},
        {"watch", "--bogus"},
        {"watch", "extra"},
        {"get", "--timeout", "1"},  // an option of another command
        {"get", "--on-insert", "true"},
        {"watch", "--timeout"},  // missing value
        {"watch", "--timeout", "-1"},
        {"watch", "--timeout", "soon"},
        {"watch", "--timeout", "1e3"},
        {"watch", "--json=yes"},
        {"get", "--language", "70000"},
        {"get", "--language", "-1"},
        {"get", "--language", "de"},
        {"set", "--user", "bob"},     // no domain
        {"set", "--domain", "CORP"},  // no user
        {"get", "--module"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        HostRun run(args, Env());
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_NE(run.err().find("mlhost: "), std::string::npos) << run.err();
        EXPECT_NE(run.err().find("--help"), std::string::npos) << run.err();
        EXPECT_EQ(run.out(), "");
    }
}

TEST_F(MlHost, HelpOnEveryCommand) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, "Usage: mlhost [--module PATH] COMMAND"},
        {{"-h"}, "Usage: mlhost [--module PATH] COMMAND"},
        {{"watch", "--help"}, "Usage: mlhost watch [--json] [--on-insert CMD]"},
        {{"get", "--help"}, "Usage: mlhost get [--json] [--language ID] [--show-password]"},
        {{"set", "--help"}, "Usage: mlhost set --user NAME --domain NAME [--language ID]"},
        {{"set", "--help", "--user", "x"}, "Usage: mlhost set"},
    };
    for (const auto& [args, head] : cases) {
        SCOPED_TRACE(head);
        HostRun run(args, Env());
        EXPECT_EQ(run.Finish(), 0);
        EXPECT_EQ(run.out().rfind(head, 0), 0u) << run.out();
    }
}

TEST_F(MlHost, ModuleThatCannotBeLoadedOrLacksExportsExitsWithThree) {
    {
        HostRun run({"--module", (dir_ / "missing.so").string(), "get"}, Env());
        EXPECT_EQ(run.Finish(), 3);
        EXPECT_NE(run.err().find("cannot load module " + (dir_ / "missing.so").string() + ": "),
                  std::string::npos)
            << run.err();
        EXPECT_NE(run.err().find("missing.so"), run.err().rfind("missing.so"))
            << "the loader's own text names the file too: " << run.err();
    }
    {
        HostRun run({"watch", "--module", "libm.so.6", "--timeout", "1"}, Env());
        EXPECT_EQ(run.Finish(), 3);
        EXPECT_NE(run.err().find("module libm.so.6 lacks the export GetLoginData: "),
                  std::string::npos)
            << run.err();
    }
}

TEST_F(MlHost, DefaultModuleLiesInTheLibFolderBesideBin) {
    fs::create_directories(dir_ / "bin");
    fs::create_directories(dir_ / "lib");
    fs::copy_file(MLHOST_PATH, dir_ / "bin" / "mlhost");
    fs::copy_file(FAKE_MODULE_PATH, dir_ / "lib" / "libmlcardmanx.so");
    HostRun run({"get"}, Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", "bob,CORP,x,"}}), "",
                (dir_ / "bin" / "mlhost").string());
    EXPECT_EQ(run.Finish(), 0) << run.err();
    EXPECT_NE(run.out().find("user: bob\n"), std::string::npos) << run.out();

    // The installation's folder comes first when both exist.
    fs::create_directories(dir_ / "lib" / "mlcardmanx");
    fs::copy_file(FAKE_MODULE_PATH, dir_ / "lib" / "mlcardmanx" / "libmlcardmanx.so");
    fs::remove(dir_ / "lib" / "libmlcardmanx.so");
    fs::copy_file(MLHOST_PATH, dir_ / "lib" / "libmlcardmanx.so");  // not a module
    HostRun installed({"get"}, Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", "eve,CORP,x,"}}),
                      "", (dir_ / "bin" / "mlhost").string());
    EXPECT_EQ(installed.Finish(), 0) << installed.err();
    EXPECT_NE(installed.out().find("user: eve\n"), std::string::npos) << installed.out();

    fs::remove(dir_ / "lib" / "libmlcardmanx.so");
    fs::remove(dir_ / "lib" / "mlcardmanx" / "libmlcardmanx.so");
    HostRun missing({"get"}, Env(), "", (dir_ / "bin" / "mlhost").string());
    EXPECT_EQ(missing.Finish(), 3);
    EXPECT_NE(missing.err().find("bin/../lib/mlcardmanx/libmlcardmanx.so"), std::string::npos)
        << missing.err();
}

TEST_F(MlHost, WatchPrintsOneLinePerNoticeUntilSignalled) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        HostRun run(Args({"watch"}),
                    Env({{"ML_FAKE_SCRIPT", std::string("insert,alice,PLANT,") + kPassword +
                                                ";remove;error;unknown;code,0405;error"}}));
        ASSERT_TRUE(run.WaitForLines(6)) << run.out() << run.err();
        run.Signal(sig);
        EXPECT_EQ(run.Finish(), 0) << run.err();
        EXPECT_EQ(run.out(),
                  "inserted user=alice domain=PLANT\nremoved\nerror\nunknown\nnotice "
                  "0x0405\nerror\n");
        ExpectNoPassword(run);
        // The host reset both events when it was done with the notices.
        EXPECT_EQ(EventState(ML_EVENT_LOGON_IN_PROCESS), "clear");
        EXPECT_EQ(EventState(ML_EVENT_LOGOFF_IN_PROCESS), "clear");
    }
}

TEST_F(MlHost, WatchEndsAfterItsTimeout) {
    HostRun run(Args({"watch", "--timeout", "0.3"}), Env({{"ML_FAKE_SCRIPT", "error"}}));
    EXPECT_EQ(run.Finish(), 0) << run.err();
    EXPECT_EQ(run.out(), "error\n");
}

TEST_F(MlHost, WatchJsonEscapesTheUtf16Text) {
    // User: a"b\c, a line break, U+0001, é, a key emoji (surrogate pair) and
    // a lone high surrogate. Domain with a tab.
    HostRun run(Args({"watch", "--json"}),
                Env({{"ML_FAKE_SCRIPT",
                      "insert,a\"b\\\\c\\u000a\\u0001\\u00e9\\ud83d\\udd11\\ud800,D\\u0009X," +
                          std::string(kPassword) + ";remove;code,0405"}}));
    ASSERT_TRUE(run.WaitForLines(3)) << run.out() << run.err();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(), 0) << run.err();
    EXPECT_EQ(run.out(),
              "{\"notice\":\"inserted\",\"code\":1025,\"user\":\"a\\\"b\\\\c\\n\\u0001\xC3\xA9"
              "\xF0\x9F\x94\x91\xEF\xBF\xBD\",\"domain\":\"D\\tX\"}\n"
              "{\"notice\":\"removed\",\"code\":1026,\"user\":null,\"domain\":null}\n"
              "{\"notice\":\"other\",\"code\":1029,\"user\":null,\"domain\":null}\n");
    ExpectNoPassword(run);

    // The same notice in plain form: control characters as "?".
    ResetEvents();
    HostRun plain(Args({"watch"}),
                  Env({{"ML_FAKE_SCRIPT", "insert,a\\u001b[2Jb\\u000ac,D\\u0009X,p"}}));
    ASSERT_TRUE(plain.WaitForLines(1));
    plain.Signal(SIGTERM);
    EXPECT_EQ(plain.Finish(), 0);
    EXPECT_EQ(plain.out(), "inserted user=a?[2Jb?c domain=D?X\n");
}

TEST_F(MlHost, OnInsertGetsTheLoginDataOnStdinOnlyAndTheEventIsResetAfter) {
    const std::string d = dir_.string();
    // The expected password is split in the command, so that the command
    // line itself does not hold it.
    const std::string onInsert =
        "IFS= read -r u; IFS= read -r d; IFS= read -r p; "
        "if IFS= read -r extra; then echo more; fi > " +
        d +
        "/extra.txt; "
        "if [ \"$p\" = 'Pw-''s3cr3t' ]; then ok=match; else ok=mismatch; fi; "
        "printf '%s|%s|%s\\n' \"$u\" \"$d\" \"$ok\" > " +
        d + "/stdin.txt; " MLHOST_EVENT_PROBE " logon > " + d +
        "/during.txt; "
        "{ env; tr '\\0' ' ' < /proc/$$/cmdline; } | grep -c 'Pw-''s3cr3t' > " +
        d + "/leak.txt; exit 0";
    const std::string onRemove = MLHOST_EVENT_PROBE " logoff > " + d +
                                 "/remove-during.txt; cat > " + d + "/remove-stdin.txt";
    // The script spells the password with an escape, so that the test's own
    // environment, which the command inherits, does not hold it either.
    HostRun run(Args({"watch", "--on-insert", onInsert, "--on-remove", onRemove}),
                Env({{"ML_FAKE_SCRIPT", "insert,alice,PLANT,Pw-s3\\u0063r3t;remove;error"}}));
    // "removed" only comes once the host reset the logon event.
    ASSERT_TRUE(run.WaitForLines(3)) << run.out() << run.err();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(), 0) << run.err();
    EXPECT_EQ(run.out(), "inserted user=alice domain=PLANT\nremoved\nerror\n");
    EXPECT_EQ(run.err(), "");

    EXPECT_EQ(ReadFile(dir_ / "stdin.txt"), "alice|PLANT|match\n");
    EXPECT_EQ(ReadFile(dir_ / "extra.txt"), "");
    EXPECT_EQ(ReadFile(dir_ / "during.txt"), "set\n");
    EXPECT_EQ(ReadFile(dir_ / "leak.txt"), "0\n");
    EXPECT_EQ(ReadFile(dir_ / "remove-during.txt"), "set\n");
    EXPECT_EQ(ReadFile(dir_ / "remove-stdin.txt"), "");
    EXPECT_EQ(EventState(ML_EVENT_LOGON_IN_PROCESS), "clear");
    EXPECT_EQ(EventState(ML_EVENT_LOGOFF_IN_PROCESS), "clear");
}

// A host killed while its logon action runs leaves the logon event set with
// nobody holding it; the next host starts it afresh and is not held back.
TEST_F(MlHost, HostKilledDuringItsLogonActionHoldsNoLaterHostBack) {
    const std::string pidFile = (dir_ / "action.pid").string();
    HostRun killed(Args({"watch", "--on-insert",
                         "echo $$ > " + pidFile + ".new && mv " + pidFile + ".new " + pidFile +
                             " && exec sleep 120"}),
                   Env({{"ML_FAKE_SCRIPT", "insert,alice,PLANT,x"}}));
    ASSERT_TRUE(killed.WaitForLines(1)) << killed.err();
    for (int i = 0; i < kGuardMs / 10 && !fs::exists(pidFile); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const pid_t action = static_cast<pid_t>(std::atoi(ReadFile(pidFile).c_str()));
    ASSERT_GT(action, 0);
    EXPECT_EQ(EventState(ML_EVENT_LOGON_IN_PROCESS), "set");
    killed.Signal(SIGKILL);
    kill(action, SIGKILL);
    EXPECT_EQ(killed.Finish(), -1);

    HostRun next(Args({"watch"}), Env({{"ML_FAKE_SCRIPT", "insert,bob,PLANT,x;remove"}}));
    ASSERT_TRUE(next.WaitForLines(2)) << next.out() << next.err();
    next.Signal(SIGTERM);
    EXPECT_EQ(next.Finish(), 0);
    EXPECT_EQ(next.out(), "inserted user=bob domain=PLANT\nremoved\n");
}

TEST_F(MlHost, FailingOrUnpassableCommandIsReportedAndWatchingGoesOn) {
    HostRun run(
        Args({"watch", "--on-insert", "exit 3"}),
        Env({{"ML_FAKE_SCRIPT", "insert,u,d,p;remove;insert,u,d,multi\\u000aline;remove"}}));
    ASSERT_TRUE(run.WaitForLines(4)) << run.out() << run.err();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_EQ(run.out(), "inserted user=u domain=d\nremoved\ninserted user=u domain=d\nremoved\n");
    EXPECT_NE(run.err().find("--on-insert command ended with status 3"), std::string::npos)
        << run.err();
    EXPECT_NE(run.err().find("--on-insert command not run"), std::string::npos) << run.err();
    EXPECT_EQ(run.err().find("multi"), std::string::npos) << run.err();
}

TEST_F(MlHost, GetPrintsTheLoginDataWithTheMaskedPassword) {
    const std::string get = std::string("bob,CORP,") + kPassword + ",";
    {
        HostRun run(Args({"get"}), Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", get}}));
        EXPECT_EQ(run.Finish(), 0) << run.err();
        EXPECT_EQ(run.out(), "user: bob\ndomain: CORP\npassword: ***\nerror:\n");
        ExpectNoPassword(run);
    }
    {
        HostRun run(Args({"get", "--json"}),
                    Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", get}}));
        EXPECT_EQ(run.Finish(), 0) << run.err();
        EXPECT_EQ(run.out(),
                  "{\"user\":\"bob\",\"domain\":\"CORP\",\"password\":\"***\",\"error\":\"\"}\n");
        ExpectNoPassword(run);
    }
    {
        HostRun run(Args({"get", "--show-password"}),
                    Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", get}}));
        EXPECT_EQ(run.Finish(), 0) << run.err();
        EXPECT_EQ(run.out(),
                  std::string("user: bob\ndomain: CORP\npassword: ") + kPassword + "\nerror:\n");
    }
    // The logoff event that the first notice set was reset by the host.
    EXPECT_EQ(EventState(ML_EVENT_LOGOFF_IN_PROCESS), "clear");
}

TEST_F(MlHost, GetReportsTheModulesErrorWithStatusOne) {
    HostRun run(Args({"get"}),
                Env({{"ML_FAKE_SCRIPT", "error"}, {"ML_FAKE_GET", ",,,18 No card in the reader"}}));
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_EQ(run.out(), "user:\ndomain:\npassword: ***\nerror: 18 No card in the reader\n");

    HostRun lang(Args({"get", "--language", "1031", "--json"}),
                 Env({{"ML_FAKE_SCRIPT", "error"}, {"ML_FAKE_GET", ",,,LANGUAGE"}}));
    EXPECT_EQ(lang.Finish(), 1);
    EXPECT_NE(lang.out().find("\"error\":\"7 language 1031\""), std::string::npos) << lang.out();
}

TEST_F(MlHost, ExportsAreCalledOnlyAfterTheFirstNotice) {
    // The fake posts its first notice on its first timer tick and answers
    // "98 ..." to any call before it.
    HostRun get(Args({"get"}), Env({{"ML_FAKE_SCRIPT", "unknown"}, {"ML_FAKE_GET", "u,d,p,"}}));
    EXPECT_EQ(get.Finish(), 0) << get.out();
    HostRun set(Args({"set", "--user", "u", "--domain", "d"}),
                Env({{"ML_FAKE_SCRIPT", "unknown"}, {"ML_FAKE_EXPECT_SET", "u,d,p"}}), "p\n");
    EXPECT_EQ(set.Finish(), 0) << set.out();
}

TEST_F(MlHost, ModuleThatPostsNothingIsCalledAfterTheBoundedWait) {
    HostRun run(Args({"get"}), Env({{"ML_FAKE_SCRIPT", ""}, {"ML_FAKE_GET", "u,d,p,"}}));
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_NE(run.err().find("no notice from the module within 5 seconds; going on"),
              std::string::npos)
        << run.err();
    // The fake answers a call before its first notice with its "98" text.
    EXPECT_NE(run.out().find("error: 98 called before the first notice"), std::string::npos)
        << run.out();
}

TEST_F(MlHost, SetReadsThePasswordFromStdin) {
    const auto env = Env({{"ML_FAKE_SCRIPT", "remove"},
                          {"ML_FAKE_EXPECT_SET", std::string("bob,CORP,") + kPassword}});
    for (const std::string& input :
         {std::string(kPassword) + "\n", std::string(kPassword) + "\r\n", std::string(kPassword)}) {
        HostRun run(Args({"set", "--user", "bob", "--domain", "CORP"}), env, input);
        EXPECT_EQ(run.Finish(), 0) << run.out() << run.err();
        EXPECT_EQ(run.out(), "error:\n");
        ExpectNoPassword(run);
    }
    {
        HostRun run(Args({"set", "--user", "bob", "--domain", "CORP", "--language", "1031"}), env,
                    "wrong\n" + std::string(kPassword) + "\n");
        EXPECT_EQ(run.Finish(), 1);
        EXPECT_EQ(run.out(), "error: 96 mismatch: password\n");
    }
    {
        HostRun run(Args({"set", "--user", "bob", "--domain", "CORP"}), env, "");
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_NE(run.err().find("no password on standard input"), std::string::npos) << run.err();
    }
    {
        HostRun run(Args({"set", "--user", "bob", "--domain", "CORP"}), env,
                    std::string("a\0b\n", 4));
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_NE(run.err().find("holds a NUL"), std::string::npos) << run.err();
    }
}

TEST_F(MlHost, SetAsksOnTheTerminalWithoutEcho) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("ML_FAKE_SCRIPT", "remove", 1);
        setenv("ML_FAKE_EXPECT_SET", "bob,CORP,Pw-s3\\u0063r3t", 1);
        execl(MLHOST_PATH, "mlhost", "--module", FAKE_MODULE_PATH, "set", "--user", "bob",
              "--domain", "CORP", nullptr);
        _exit(127);
    }
    std::string screen;
    bool typed = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, kGuardMs) <= 0) {
            ADD_FAILURE() << "mlhost stayed silent: " << screen;
            break;
        }
        char buf[256];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;  // mlhost ended
        screen.append(buf, size_t(n));
        if (!typed && screen.find("Password: ") != std::string::npos) {
            // Once the prompt shows, the terminal no longer echoes.
            termios mode{};
            ASSERT_EQ(tcgetattr(master, &mode), 0);
            EXPECT_EQ(mode.c_lflag & ECHO, 0u);
            std::string line = std::string(kPassword) + "\n";
            ASSERT_EQ(write(master, line.data(), line.size()), ssize_t(line.size()));
            typed = true;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    termios after{};
    EXPECT_EQ(tcgetattr(master, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo not restored";
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_NE(screen.find("error:"), std::string::npos) << screen;
    EXPECT_EQ(screen.find(kPassword), std::string::npos) << screen;
}

}  // namespace
