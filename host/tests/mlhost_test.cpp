// mlhost run as a child process, with a fake module that posts scripted notices.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
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

using ml::test::ReadFile;

// Watch output without the time stamps that begin its lines (their form checked).
std::string Untimed(const std::string& out) {
    static const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)";
    static const std::regex plain("^" + time + " "), json("^\\{\"time\":\"" + time + "\",");
    std::string result;
    std::stringstream s(out);
    for (std::string line; std::getline(s, line);) {
        std::smatch m;
        if (std::regex_search(line, m, json) || std::regex_search(line, m, plain))
            result.append(line[0] == '{' ? "{" : "").append(m.suffix().str()).append("\n");
        else
            ADD_FAILURE() << "no time stamp: " << line;
    }
    return result;
}

// One run of mlhost with its own object namespace and captured output.
class HostRun {
  public:
    HostRun(std::vector<std::string> args, std::map<std::string, std::string> env,
            const std::string& input = "", const std::string& program = MLHOST_PATH) {
        int in[2], out[2], err[2];
        EXPECT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
            for (const auto& [k, v] : env)
                setenv(k.c_str(), v.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]), close(out[1]), close(err[1]);
        fd_[0] = out[0], fd_[1] = err[0];
        EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
        close(in[1]);
    }
    ~HostRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : fd_)
            if (fd >= 0)
                close(fd);
    }

    // Reads until standard output holds `lines` complete lines.
    bool WaitForLines(size_t lines) {
        while (size_t(std::count(text_[0].begin(), text_[0].end(), '\n')) < lines)
            if (!Pump())
                return false;
        return true;
    }

    void Signal(int sig) { kill(pid_, sig); }

    // Reads to the end and returns the exit status (-1: killed or hung).
    int Finish() {
        while (fd_[0] >= 0 || fd_[1] >= 0) {
            if (!Pump()) {
                ADD_FAILURE() << "mlhost did not end; output: " << text_[0] << text_[1];
                return -1;
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& out() const { return text_[0]; }
    const std::string& err() const { return text_[1]; }

  private:
    bool Pump() {
        pollfd fds[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
        if (poll(fds, 2, kGuardMs) <= 0)
            return false;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            const ssize_t n = fds[i].revents == 0 ? -2 : read(fd_[i], buf, sizeof buf);
            if (n > 0)
                text_[i].append(buf, size_t(n));
            else if (n > -2)
                close(std::exchange(fd_[i], -1));
        }
        return true;
    }

    pid_t pid_ = -1;
    int fd_[2] = {-1, -1};  // standard output and error
    std::string text_[2];
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
        more["LANG"] = more["LC_ALL"] = "C.UTF-8";
        return more;
    }
    std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", FAKE_MODULE_PATH});
        return args;
    }

    static std::string EventState(LPCWSTR name) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
        const char* state = !event                                           ? "absent"
                            : WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "set"
                                                                             : "clear";
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
        EXPECT_EQ((run.out() + run.err()).find(kPassword), std::string::npos) << "password shown";
    }

    // `mlhost watch ARGS` on `script` until `lines` lines came, ended by `sig`.
    struct Watched {
        int status;
        std::string out, err;
    };
    Watched Watch(std::vector<std::string> args, const std::string& script, size_t lines,
                  int sig = SIGTERM) {
        args.insert(args.begin(), "watch");
        HostRun run(Args(args), Env({{"ML_FAKE_SCRIPT", script}}));
        EXPECT_TRUE(run.WaitForLines(lines)) << run.out() << run.err();
        run.Signal(sig);
        const int status = run.Finish();
        ExpectNoPassword(run);
        return {status, Untimed(run.out()), run.err()};
    }

    fs::path dir_;
    std::string ns_;
    std::optional<ml::test::ScopedEnv> nsEnv_;
};

// Bad arguments (one per parser branch) exit with 2 and say why on stderr;
// help and version answer on stdout with 0.
TEST_F(MlHost, ArgumentErrorsExitWithTwoAndHelpWithZero) {
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--bogus", "get"}, "unknown option '--bogus'"},
        {{"watch", "extra"}, "unexpected argument 'extra'"},
        {{"get", "--timeout", "1"}, "unknown option '--timeout' for 'get'"},
        {{"watch", "--timeout"}, "option --timeout needs a value"},
        {{"watch", "--timeout", "1e3"}, "seconds from 0 to 1000000, not '1e3'"},
        {{"watch", "--json=yes"}, "option --json takes no value"},
        {{"get", "--language", "70000"}, "from 0 to 65535, not '70000'"},
        {{"get", "--language", "0x409"}, "from 0 to 65535, not '0x409'"},  // decimal only
        {{"watch", "--command-timeout", "0"}, "seconds above 0, up to 1000000, not '0'"},
        {{"set", "--user", "bob"}, "set needs --domain"},
        {{"set", "--domain", "CORP"}, "set needs --user"},
    };
    const std::vector<std::string> help[] = {
        {"-h"}, {"watch", "--help"}, {"set", "--help", "--user", "x"}, {"--version"}};
    for (const auto& [args, message] : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        HostRun run(args, Env());
        EXPECT_EQ(run.Finish(), 2);
        EXPECT_EQ(run.err().rfind("mlhost: ", 0), 0u) << run.err();
        EXPECT_NE(run.err().find(message), std::string::npos) << run.err();
        EXPECT_NE(run.err().find("--help"), std::string::npos) << run.err();
        EXPECT_EQ(run.out(), "");
    }
    for (const auto& args : help) {
        SCOPED_TRACE(::testing::PrintToString(args));
        HostRun run(args, Env());
        EXPECT_EQ(run.Finish(), 0);
        EXPECT_EQ(run.err(), "");
        const bool command = args[0][0] != '-';
        EXPECT_NE(run.out().find(command ? "Usage: mlhost " + args[0] : "mlhost"),
                  std::string::npos)
            << run.out();
    }
}

TEST_F(MlHost, DefaultModuleLiesInTheLibFolderBesideBin) {
    const fs::path lib = dir_ / "lib", flat = lib / "libmlcardmanx.so",
                   installed = lib / "mlcardmanx" / "libmlcardmanx.so";
    fs::create_directories(dir_ / "bin");
    fs::create_directories(lib / "mlcardmanx");
    fs::copy_file(MLHOST_PATH, dir_ / "bin" / "mlhost");
    // mlhost get from the bin folder: its status and a part of its output.
    auto get = [&](const std::string& user, int status, const std::string& part) {
        HostRun run({"get"}, Env({{"ML_FAKE_SCRIPT", "remove"}, {"ML_FAKE_GET", user + ",C,x,"}}),
                    "", (dir_ / "bin" / "mlhost").string());
        EXPECT_EQ(run.Finish(), status) << run.err();
        EXPECT_NE((run.out() + run.err()).find(part), std::string::npos) << run.out() << run.err();
    };
    fs::copy_file(FAKE_MODULE_PATH, flat);
    get("bob", 0, "user: bob\n");
    // The installation's folder comes first when both exist.
    fs::copy_file(FAKE_MODULE_PATH, installed);
    fs::copy_file(MLHOST_PATH, flat, fs::copy_options::overwrite_existing);  // not a module
    get("eve", 0, "user: eve\n");
    fs::remove(flat);
    fs::remove(installed);
    get("", 3, "bin/../lib/mlcardmanx/libmlcardmanx.so");
}

// One line per notice until a signal; commands of changes (of the first notice
// only with --act-on-start) print and fail on stderr; both events end reset.
TEST_F(MlHost, WatchPrintsNoticesAndRunsCommandsForChanges) {
    const std::string all =
        std::string("insert,alice,PLANT,") + kPassword + ";remove;error;unknown;code,0405;error";
    const std::vector<std::string> actions = {
        "--json",      "--on-error",         "echo E", "--on-unknown", "echo U",
        "--on-remove", "echo R; echo R2 >&2"};
    auto actOnStart = actions;
    actOnStart.push_back("--act-on-start");
    const std::string json =
        "{\"notice\":\"error\",\"code\":1027,\"user\":null,\"domain\":null}\n"
        "{\"notice\":\"unknown\",\"code\":1028,\"user\":null,\"domain\":null}\n"
        "{\"notice\":\"removed\",\"code\":1026,\"user\":null,\"domain\":null}\n";
    const std::string lines =
        "inserted user=alice domain=PLANT\nremoved\nerror\nunknown\nnotice "
        "0x0405\nerror\n";
    // Arguments, script, the signal that ends it, output, stderr.
    const std::tuple<std::vector<std::string>, std::string, int, std::string, std::string> cases[] =
        {
            {{}, all, SIGTERM, lines, ""},
            {{}, all, SIGINT, lines, ""},
            {{}, all, SIGHUP, lines, ""},
            {actions, "error;unknown;remove", SIGTERM, json, "U\nR\nR2\n"},
            {actOnStart, "error;unknown;remove", SIGTERM, json, "E\nU\nR\nR2\n"},
            // Login data that three lines cannot carry is not passed on.
            {{"--act-on-start", "--on-insert", "exit 3"},
             "insert,u,d,p;remove;insert,u,d,multi\\u000aline;remove",
             SIGTERM,
             "inserted user=u domain=d\nremoved\ninserted user=u domain=d\nremoved\n",
             "mlhost: --on-insert command ended with status 3\nmlhost: the login data holds a line "
             "break or a character UTF-8 cannot carry; --on-insert command not run\n"},
            // Only SIGKILL to the whole group ends the command and its sleep.
            {{"--command-timeout", "0.2", "--on-remove", "trap '' TERM; sleep 1000; echo late"},
             "error;remove;insert,u,d,p",
             SIGTERM,
             "error\nremoved\ninserted user=u domain=d\n",
             "mlhost: --on-remove command still ran after 0.2 seconds and was ended\n"},
        };
    for (const auto& [args, script, sig, out, err] : cases) {
        SCOPED_TRACE(script + " " + ::testing::PrintToString(args));
        ResetEvents();
        const Watched w =
            Watch(args, script, size_t(std::count(out.begin(), out.end(), '\n')), sig);
        EXPECT_EQ(w.status, 0);
        EXPECT_EQ(w.out, out);
        EXPECT_EQ(w.err, err);
        EXPECT_EQ(EventState(ML_EVENT_LOGON_IN_PROCESS), "clear");
        EXPECT_EQ(EventState(ML_EVENT_LOGOFF_IN_PROCESS), "clear");
    }
    HostRun run(Args({"watch", "--timeout", "0.3"}), Env({{"ML_FAKE_SCRIPT", "error"}}));
    EXPECT_EQ(run.Finish(), 0) << run.err();
    EXPECT_EQ(Untimed(run.out()), "error\n");
}
TEST_F(MlHost, OnInsertGetsTheLoginDataOnStdinOnlyAndTheEventIsResetAfter) {
    // The expected password is split, so that no command line holds it.
    const std::string vars = "T=" + dir_.string() + " P=" MLHOST_EVENT_PROBE "; ";
    const std::string onInsert = vars + R"(IFS= read -r u; IFS= read -r d; IFS= read -r p
        if IFS= read -r extra; then echo more; fi > $T/extra.txt
        if [ "$p" = 'Pw-''s3cr3t' ]; then ok=match; else ok=mismatch; fi
        printf '%s|%s|%s\n' "$u" "$d" "$ok" > $T/stdin.txt; $P logon > $T/during.txt
        { env; tr '\0' ' ' < /proc/$$/cmdline; } | grep -c 'Pw-''s3cr3t' > $T/leak.txt; exit 0)";
    const std::string onRemove =
        vars + "$P logoff > $T/remove-during.txt; cat > $T/remove-stdin.txt";
    // The script escapes the password, so the inherited environment lacks it.
    const Watched w = Watch({"--act-on-start", "--on-insert", onInsert, "--on-remove", onRemove},
                            "insert,alice,PLANT,Pw-s3\\u0063r3t;remove;error", 3);
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, "inserted user=alice domain=PLANT\nremoved\nerror\n");
    EXPECT_EQ(w.err, "");

    EXPECT_EQ(ReadFile(dir_ / "stdin.txt"), "alice|PLANT|match\n");
    EXPECT_EQ(ReadFile(dir_ / "extra.txt"), "");
    EXPECT_EQ(ReadFile(dir_ / "during.txt"), "set\n");
    EXPECT_EQ(ReadFile(dir_ / "leak.txt"), "0\n");
    EXPECT_EQ(ReadFile(dir_ / "remove-during.txt"), "set\n");
    EXPECT_EQ(ReadFile(dir_ / "remove-stdin.txt"), "");
}

// A host killed in its logon action leaves the event set; the next one goes on.
TEST_F(MlHost, HostKilledDuringItsLogonActionHoldsNoLaterHostBack) {
    const std::string pidFile = (dir_ / "action.pid").string();
    HostRun killed(Args({"watch", "--act-on-start", "--on-insert",
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

    const Watched next = Watch({}, "insert,bob,PLANT,x;remove", 2);
    EXPECT_EQ(next.status, 0);
    EXPECT_EQ(next.out, "inserted user=bob domain=PLANT\nremoved\n");
}

TEST_F(MlHost, StatusShowsTheDeviceAndLogsTheSettingsName) {
    const fs::path docs = dir_ / "documents", registry = dir_ / "registry";
    const fs::path settings = docs / "Kestrel/MorlindLogon/Settings";
    const fs::path key = registry / "HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/MorlindLogon";
    fs::create_directories(settings);
    fs::create_directories(key);
    std::ofstream(key / "Release") << "9.8.7\n";
    std::ofstream(settings / "mlsettings.ini") << "[LogonDevice]\nCardreaderName=Reader \"7\"\n";
    std::ofstream(settings / "mldebug.ini") << "[LogonDevice]\nDebug=1\n";
    HostRun run({"status", "--json"}, Env({{"ML_REGISTRY_ROOT", registry.string()},
                                           {"ML_COMMON_DOCUMENTS", docs.string()},
                                           {"PCSCLITE_CSOCK_NAME", (dir_ / "x").string()}}));
    EXPECT_EQ(run.Finish(), 0) << run.err();
    for (const std::string& part :
         {std::string(R"("device":"PC/SC reader Reader \"7\"","readers":null,)"),
          std::string("\"release\":\"9.8.7\""),
          "\"settings_file\":\"" + (settings / "mlsettings.ini").string() +
              "\",\"settings_file_readable\":true",
          std::string("\"debug_log\":true}\n")})
        EXPECT_NE(run.out().find(part), std::string::npos) << part << " in " << run.out();
}

// get and set: the module's answer, the password masked, the exit status.
TEST_F(MlHost, GetAndSetShowTheModulesAnswerAndExitWithItsStatus) {
    const std::string pw = kPassword, set = "set --user bob --domain CORP";
    const std::string missing = (dir_ / "missing.so").string();
    const struct {
        std::string args, script, get, input;
        int status;
        std::string out, err;  // each contained in its stream
    } cases[] = {
        {"get", "remove", "bob,CORP," + pw + ",", "", 0,
         "user: bob\ndomain: CORP\npassword: ***\nerror:\n", ""},
        {"get --show-password", "remove", "bob,CORP," + pw + ",", "", 0,
         "user: bob\ndomain: CORP\npassword: " + pw + "\nerror:\n", ""},
        {"get", "error", ",,,18 No card in the reader", "", 1,
         "user:\ndomain:\npassword: ***\nerror: 18 No card in the reader\n", ""},
        {"get --language 1031 --json", "error", "bob,CORP,x,LANGUAGE", "", 1,
         R"({"user":"bob","domain":"CORP","password":"***","error":"7 language 1031"})", ""},
        {"get", "error", ",,,-1 Cancelled", "", 5, "", ""},
        {set, "remove", "", pw + "\n", 0, "error:\n", ""},
        {set, "remove", "", pw + "\r\n", 0, "error:\n", ""},
        {set, "unknown", "", pw, 0, "error:\n", ""},
        {set + " --language 1031", "remove", "", "wrong\n" + pw + "\n", 1,
         "error: 96 mismatch: password\n", ""},
        {set, "remove", "", "", 2, "", "no password on standard input"},
        {set, "remove", "", std::string("a\0b\n", 4), 2, "", "holds a NUL"},
        // A module that posts nothing is called after a bounded wait.
        {"get", "", "u,d,p,", "", 1, "error: 98 called before the first notice",
         "no notice from the module within 5 seconds; going on"},
        // The loader's own text names the file too.
        {"get --module " + missing, "", "", "", 3, "",
         "cannot load module " + missing + ": " + missing},
        {"watch --module libm.so.6 --timeout 1", "", "", "", 3, "",
         "module libm.so.6 lacks the export GetLoginData: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " after " + c.script);
        std::vector<std::string> args;
        std::istringstream words(c.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        ResetEvents();
        HostRun run(Args(args),
                    Env({{"ML_FAKE_SCRIPT", c.script},
                         {"ML_FAKE_GET", c.get},
                         {"ML_FAKE_EXPECT_SET", "bob,CORP," + pw}}),
                    c.input);
        EXPECT_EQ(run.Finish(), c.status) << run.out() << run.err();
        EXPECT_NE(run.out().find(c.out), std::string::npos) << run.out();
        EXPECT_NE(run.err().find(c.err), std::string::npos) << run.err();
        if (c.args.find("--show-password") == std::string::npos)
            ExpectNoPassword(run);
        // The logoff event that a first notice set was reset by the host.
        EXPECT_NE(EventState(ML_EVENT_LOGOFF_IN_PROCESS), "set");
    }
}

// On a terminal set asks twice without echo and refuses two different answers.
TEST_F(MlHost, SetAsksTwiceOnTheTerminalWithoutEcho) {
    const std::string pw = kPassword;
    for (const auto& [again, status] : {std::pair{pw, 0}, std::pair{pw + "x", 2}}) {
        SCOPED_TRACE(status);
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("ML_FAKE_SCRIPT", "remove", 1);
            setenv("ML_FAKE_EXPECT_SET", "bob,CORP,Pw-s3\\u0063r3t", 1);
            execl(MLHOST_PATH, "mlhost", "--module", FAKE_MODULE_PATH, "set", "--user", "bob",
                  "--domain", "CORP", nullptr);
            _exit(127);
        }
        auto echoes = [&] {
            termios mode{};
            return tcgetattr(master, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
        };
        const std::string lines[] = {pw, again};
        std::string screen;
        size_t typed = 0;
        for (char buf[256];;) {
            pollfd p{master, POLLIN, 0};
            ASSERT_GT(poll(&p, 1, kGuardMs), 0) << "mlhost stayed silent: " << screen;
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;  // mlhost ended
            screen.append(buf, size_t(n));
            if (typed < 2 &&
                screen.find(typed == 0 ? "Password: " : "Again: ") != std::string::npos) {
                EXPECT_FALSE(echoes()) << "echo while a prompt shows";
                const std::string line = lines[typed++] + "\n";
                ASSERT_EQ(write(master, line.data(), line.size()), ssize_t(line.size()));
            }
        }
        int exit = 0;
        waitpid(pid, &exit, 0);
        EXPECT_TRUE(echoes()) << "echo not restored";
        close(master);
        EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == status) << screen;
        EXPECT_EQ(screen.find(kPassword), std::string::npos) << "password shown";
        EXPECT_NE(screen.find(status == 0 ? "error:" : "the two passwords differ"),
                  std::string::npos)
            << screen;
    }
}

}  // namespace
