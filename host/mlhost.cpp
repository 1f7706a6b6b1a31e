// mlhost: the reference host of the smart-card module.
//
// Loads the module on its main thread with the platform's LoadLibraryW,
// runs the message loop there, and either reports the module's notices
// (watch) or calls one of its exports (get, set). The command line is a
// public interface: see the usage texts below.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/console.h"
#include "host/module_host.h"
#include "host/notice.h"
#include "infrastructure/ini_file.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "mlcardmanx.h"
#include "platform/codepage.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/scard.h"

// The settings reader of status traces into the module's two logs; mlhost
// never opens them, so what it would write is dropped.
CDebugFile theDebugFile;
CErrorFile theErrorFile;

namespace mlhost {
namespace {

// How long get and set wait for the module's first notice before they call
// an export: the first supervision pass always posts one, a terminal only
// after its driver was set up on a timer.
constexpr int kFirstNoticeSeconds = 5;

enum ExitCode {
    kExitOk = 0,
    kExitModuleError = 1,
    kExitUsage = 2,
    kExitLoad = 3,
    kExitHost = 4,
    kExitCancelled = 5,
};

#ifndef MLHOST_VERSION
#define MLHOST_VERSION "0"
#endif

// The default of --command-timeout.
constexpr double kDefaultCommandSeconds = 30;

const char kUsage[] =
    "Usage: mlhost [--module PATH] COMMAND [OPTIONS]\n"
    "\n"
    "The reference host of the smart-card module: loads the module, runs its\n"
    "message loop on the loading thread, and reports the module's notices or\n"
    "reads and writes the login data of the card.\n"
    "\n"
    "Commands:\n"
    "  watch   print the module's notices and run commands for them\n"
    "  get     read the login data from the card\n"
    "  set     write new login data to the card\n"
    "  status  show the installation, the device in use and the readers\n"
    "\n"
    "Options (also accepted after the command):\n"
    "  --module PATH  the module to load; default ../lib/mlcardmanx/libmlcardmanx.so\n"
    "                 (an installation), else ../lib/libmlcardmanx.so (the build\n"
    "                 tree), relative to the folder of the mlhost program\n"
    "  --help         this text; 'mlhost COMMAND --help' explains a command\n"
    "  --version      the version of mlhost\n"
    "\n"
    "Before get and set call the module, mlhost runs the message loop until\n"
    "the module's first notice has arrived, at most 5 seconds. They perform\n"
    "no logon: the event of an insert or removal notice that arrives while\n"
    "they run is reset at once.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  get, set: the module reported an error (its error text is printed)\n"
    "  2  wrong arguments, no password on standard input, or the two\n"
    "     passwords typed on the terminal differ\n"
    "  3  the module could not be loaded or lacks an export\n"
    "  4  mlhost itself failed (message queue, signals, output)\n"
    "  5  get, set: the user cancelled the module's question (its error\n"
    "     text begins with -1)\n";

const char kWatchUsage[] =
    "Usage: mlhost watch [--json] [--on-insert CMD] [--on-remove CMD] [--on-error CMD]\n"
    "                    [--on-unknown CMD] [--act-on-start] [--command-timeout SECONDS]\n"
    "                    [--timeout SECONDS]\n"
    "\n"
    "Prints one line per notice of the module until SECONDS have passed or\n"
    "SIGINT, SIGTERM or SIGHUP arrives; then unloads the module and exits\n"
    "with 0. Every line begins with the time of the notice (ISO 8601, local\n"
    "time with its offset, e.g. 2026-12-07T09:15:02.120+01:00).\n"
    "\n"
    "  --json             one JSON object per line, UTF-8:\n"
    "                     {\"time\":\"2026-12-07T09:15:02.120+01:00\",\"notice\":"
    "\"inserted\",\n"
    "                     \"code\":1025,\"user\":\"alice\",\"domain\":\"PLANT\"}\n"
    "                     notice: inserted, removed, error, unknown, or other (a\n"
    "                     code the module does not define); code: the notice\n"
    "                     code in decimal; user, domain: null without login data\n"
    "  --on-insert CMD    when a card is inserted, run /bin/sh -c CMD with the\n"
    "                     login data on its standard input: three lines in\n"
    "                     UTF-8, user name, domain and password, each ended by\n"
    "                     a newline. Never in arguments or environment.\n"
    "                     The command shares mlhost's standard output and\n"
    "                     error.\n"
    "  --on-remove CMD    when the card is removed, run /bin/sh -c CMD (standard\n"
    "                     input /dev/null)\n"
    "  --on-error CMD     when the card cannot be read, run /bin/sh -c CMD\n"
    "  --on-unknown CMD   when the card is of an unknown kind, run /bin/sh -c CMD\n"
    "  --act-on-start     run the command of the first notice too; without it\n"
    "                     the first notice, which reports the state at start,\n"
    "                     runs nothing and only changes run commands\n"
    "  --command-timeout SECONDS\n"
    "                     a command still running after SECONDS (default 30)\n"
    "                     gets SIGTERM, 2 seconds later SIGKILL\n"
    "  --timeout SECONDS  end after SECONDS (a decimal number, at most 1000000)\n"
    "\n"
    "Plain lines: 'inserted user=NAME domain=NAME', 'removed', 'error',\n"
    "'unknown' ('notice 0xCODE' for other codes), with control characters\n"
    "shown as '?'. The password is never printed.\n"
    "\n"
    "Commands run in a process group of their own; what they print goes to\n"
    "standard error, never into the notices on standard output.\n"
    "\n"
    "After an insert or removal and its command, mlhost resets the event\n"
    "Global\\mlevent_logoninprocess or Global\\mlevent_logoffinprocess, as a\n"
    "logon system does when its logon or logoff is done; until then the\n"
    "module holds back further insert and remove notices. mlhost waits for a\n"
    "command to end (at most --command-timeout); a command that fails or is\n"
    "ended is reported on standard error, the event is reset in any case and\n"
    "watching goes on. Login data holding a line break or a character that\n"
    "UTF-8 cannot carry (a lone surrogate) cannot be passed on three lines:\n"
    "the command is then not run and an error is printed.\n";

const char kGetUsage[] =
    "Usage: mlhost get [--json] [--language ID] [--show-password]\n"
    "\n"
    "Reads the login data from the card (GetLoginData) and prints user name,\n"
    "domain, password and the module's error text:\n"
    "  user: NAME\n  domain: NAME\n  password: ***\n  error: TEXT\n"
    "\n"
    "  --json           one JSON object instead: {\"user\":...,\"domain\":...,\n"
    "                   \"password\":\"***\",\"error\":...}\n"
    "  --language ID    call SetLanguage(ID) first (a Windows language\n"
    "                   identifier in decimal, 0 to 65535, e.g. 1033 or 1031;\n"
    "                   0 = the configured language)\n"
    "  --show-password  print the password itself instead of ***\n"
    "\n"
    "Exit status 0 when the error text is empty, 5 when the user cancelled\n"
    "the module's question, else 1.\n";

const char kSetUsage[] =
    "Usage: mlhost set --user NAME --domain NAME [--language ID]\n"
    "\n"
    "Writes new login data to the card (SetLoginData). The password is read\n"
    "from standard input, one line (a final CR is dropped); when standard\n"
    "input is a terminal, mlhost asks for it twice without echo and refuses\n"
    "two different answers (exit status 2). It never goes on the command\n"
    "line. Prints the module's error text ('error: TEXT').\n"
    "\n"
    "  --user NAME     the user name\n"
    "  --domain NAME   the domain\n"
    "  --language ID   call SetLanguage(ID) first (see 'mlhost get --help')\n"
    "\n"
    "Exit status 0 when the error text is empty, 5 when the user cancelled\n"
    "the module's question, else 1.\n";

const char kStatusUsage[] =
    "Usage: mlhost status [--json]\n"
    "\n"
    "Shows what the module would use, without loading it: the versions of\n"
    "mlhost and of the installation, the module and the dialog component,\n"
    "the registry root, the settings file and the device it names (the\n"
    "PC/SC reader, or the CT-API terminal and its port), the PC/SC readers\n"
    "and whether a card is in each, the log folder and whether the debug\n"
    "log is on.\n"
    "\n"
    "  --json  one JSON object instead of the lines\n"
    "\n"
    "Exit status 0; 4 when the output fails.\n";

struct Options {
    std::string command;
    std::optional<std::string> module;
    bool help = false;
    bool version = false;
    bool actOnStart = false;
    double commandTimeout = kDefaultCommandSeconds;
    std::optional<std::string> onError;
    std::optional<std::string> onUnknown;
    bool json = false;
    bool showPassword = false;
    std::optional<std::string> onInsert;
    std::optional<std::string> onRemove;
    std::optional<double> timeout;
    std::optional<DWORD> language;
    std::optional<std::string> user;
    std::optional<std::string> domain;
};

[[noreturn]] void UsageError(const std::string& message, const std::string& command) {
    fprintf(stderr, "mlhost: %s\n", message.c_str());
    if (command.empty()) {
        fprintf(stderr, "Try 'mlhost --help'.\n");
    } else {
        fprintf(stderr, "Try 'mlhost %s --help'.\n", command.c_str());
    }
    exit(kExitUsage);
}

bool ParseLanguage(const std::string& text, DWORD& value) {
    if (text.empty() || text.size() > 10)
        return false;
    char* end = nullptr;
    errno = 0;
    if (text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > 0xFFFF)
        return false;
    value = static_cast<DWORD>(v);
    return true;
}

bool ParseSeconds(const std::string& text, double& value) {
    if (text.empty() || text.size() > 32)
        return false;
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > 1e6)
        return false;
    if (text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    value = v;
    return true;
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                UsageError("option " + arg + " needs a value", o.command);
            return args[++i];
        };
        auto flag = [&]() {
            if (inlineValue)
                UsageError("option " + arg + " takes no value", o.command);
        };
        const bool watch = o.command == "watch", get = o.command == "get", set = o.command == "set",
                   status = o.command == "status";

        if (arg == "--help" || arg == "-h") {
            flag();
            o.help = true;
        } else if (arg == "--version") {
            flag();
            o.version = true;
        } else if (arg == "--module") {
            o.module = value();
            if (o.module->empty())
                UsageError("--module needs a path", o.command);
        } else if (arg == "--json" && (watch || get || status)) {
            flag();
            o.json = true;
        } else if (arg == "--on-insert" && watch) {
            o.onInsert = value();
        } else if (arg == "--on-remove" && watch) {
            o.onRemove = value();
        } else if (arg == "--on-error" && watch) {
            o.onError = value();
        } else if (arg == "--on-unknown" && watch) {
            o.onUnknown = value();
        } else if (arg == "--act-on-start" && watch) {
            flag();
            o.actOnStart = true;
        } else if (arg == "--command-timeout" && watch) {
            std::string v = value();
            if (!ParseSeconds(v, o.commandTimeout) || o.commandTimeout <= 0) {
                UsageError(
                    "--command-timeout needs a number of seconds above 0, up to 1000000, "
                    "not '" +
                        v + "'",
                    o.command);
            }
        } else if (arg == "--timeout" && watch) {
            std::string v = value();
            double seconds = 0;
            if (!ParseSeconds(v, seconds)) {
                UsageError("--timeout needs a number of seconds from 0 to 1000000, not '" + v + "'",
                           o.command);
            }
            o.timeout = seconds;
        } else if (arg == "--language" && (get || set)) {
            std::string v = value();
            DWORD id = 0;
            if (!ParseLanguage(v, id)) {
                UsageError(
                    "--language needs a language identifier from 0 to 65535, not '" + v + "'",
                    o.command);
            }
            o.language = id;
        } else if (arg == "--show-password" && get) {
            flag();
            o.showPassword = true;
        } else if (arg == "--user" && set) {
            o.user = value();
        } else if (arg == "--domain" && set) {
            o.domain = value();
        } else if (!arg.empty() && arg[0] == '-') {
            if (o.command.empty())
                UsageError("unknown option '" + arg + "'", o.command);
            UsageError("unknown option '" + arg + "' for '" + o.command + "'", o.command);
        } else if (o.command.empty()) {
            if (arg != "watch" && arg != "get" && arg != "set" && arg != "status") {
                UsageError("unknown command '" + arg + "'", "");
            }
            o.command = arg;
        } else {
            UsageError("unexpected argument '" + arg + "'", o.command);
        }
    }
    if (o.help || o.version)
        return o;
    if (o.command.empty())
        UsageError("no command given", "");
    if (o.command == "set") {
        if (!o.user)
            UsageError("set needs --user", o.command);
        if (!o.domain)
            UsageError("set needs --domain", o.command);
    }
    return o;
}

// Candidates for the module relative to mlhost's folder, ":"-separated; the
// first that exists is taken (else the first). The build names the
// installation's layout first, then the build tree's.
#ifndef MLHOST_DEFAULT_MODULES
#define MLHOST_DEFAULT_MODULES "../lib/libmlcardmanx.so"
#endif

std::string DefaultModulePath() {
    std::vector<std::string> candidates;
    std::string list = MLHOST_DEFAULT_MODULES;
    for (size_t start = 0;;) {
        size_t end = list.find(':', start);
        candidates.push_back(list.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::string folder = ProgramPath();
    if (folder.empty())
        return candidates.front();
    folder.resize(folder.rfind(PathSeparatorChar()) + 1);
    for (const std::string& candidate : candidates) {
        if (FileExists(folder + candidate))
            return folder + candidate;
    }
    return folder + candidates.front();
}

// Writes a line to standard output; false when the output is gone.
bool PrintLine(const std::string& line) {
    return fputs(line.c_str(), stdout) >= 0 && fputc('\n', stdout) != EOF && fflush(stdout) == 0;
}

// Converts an argument or input line from the locale's character set;
// refuses text that does not convert back unchanged.
bool FromLocale(const std::string& text, std::u16string& out) {
    out = ml::FromAnsi(text);
    std::string back = ml::ToAnsi(out);
    bool exact = back == text;
    Wipe(back);
    return exact && out.find(u'\0') == std::u16string::npos;
}

// The three lines of --on-insert's standard input; false when the login
// data cannot be carried on three UTF-8 lines.
bool LoginLines(const LoginData& login, std::string& lines) {
    for (const std::u16string* field : {&login.user, &login.domain, &login.password}) {
        if (field->find_first_of(u"\r\n") != std::u16string::npos)
            return false;
        std::string utf8 = ml::ToUtf8(*field);
        std::u16string back = ml::FromUtf8(utf8);
        bool exact = back == *field;
        Wipe(back);
        if (!exact) {
            Wipe(utf8);
            Wipe(lines);
            return false;
        }
        lines += utf8;
        lines += '\n';
        Wipe(utf8);
    }
    return true;
}

void RunNoticeCommand(const char* option, const std::string& command, const std::string* input,
                      double timeoutSeconds) {
    CommandResult r = RunCommand(command, input, timeoutSeconds);
    if (!r.started) {
        fprintf(stderr, "mlhost: %s command could not be started: %s\n", option, r.error.c_str());
    } else if (r.timedOut) {
        fprintf(stderr, "mlhost: %s command still ran after %g seconds and was ended\n", option,
                timeoutSeconds);
    } else if (r.exitStatus != 0) {
        fprintf(stderr, "mlhost: %s command ended with status %d\n", option, r.exitStatus);
    }
}

// Handles a notice in get and set: these perform no logon or logoff, so an
// insert or removal is done at once and its event reset.
bool AcknowledgeNotice(const MSG& msg) {
    if (msg.wParam == CARD_INSERTED)
        ResetNamedEvent(ML_EVENT_LOGON_IN_PROCESS);
    if (msg.wParam == CARD_REMOVED)
        ResetNamedEvent(ML_EVENT_LOGOFF_IN_PROCESS);
    return true;
}

void WaitForFirstNotice() {
    LoopEnd end =
        RunMessageLoop(AcknowledgeNotice, Clock::now() + std::chrono::seconds(kFirstNoticeSeconds));
    if (end == LoopEnd::kDeadline) {
        fprintf(stderr, "mlhost: no notice from the module within %d seconds; going on\n",
                kFirstNoticeSeconds);
    } else if (end == LoopEnd::kFailed) {
        fprintf(stderr, "mlhost: the message queue failed; going on\n");
    }
}

// Handles what the module posted during an export before it is unloaded.
void DrainNotices() {
    RunMessageLoop(
        [](const MSG& msg) {
            AcknowledgeNotice(msg);
            return false;
        },
        Clock::now());
}

int LoadModule(const Options& o, Module& module) {
    std::string path = o.module ? *o.module : DefaultModulePath();
    std::string error;
    if (!module.Load(path, error)) {
        fprintf(stderr, "mlhost: %s\n", error.c_str());
        return kExitLoad;
    }
    return kExitOk;
}

int Watch(const Options& o) {
    StopRequests stop;
    std::string stopError;
    if (!stop.Open(stopError)) {
        fprintf(stderr, "mlhost: cannot receive signals: %s\n", stopError.c_str());
        return kExitHost;
    }

    Module module;
    if (int rc = LoadModule(o, module); rc != kExitOk)
        return rc;

    bool outputGone = false;
    bool first = true;
    auto onNotice = [&](const MSG& msg) {
        Notice notice;
        CopyNotice(msg.wParam, msg.lParam, notice);  // first: the block is the module's
        const auto now = std::chrono::system_clock::now();
        const std::string time =
            Timestamp(now, UtcOffsetSeconds(std::chrono::system_clock::to_time_t(now)));
        if (!PrintLine(o.json ? "{\"time\":\"" + time + "\"," + FormatJson(notice).substr(1)
                              : time + " " + FormatPlain(notice))) {
            outputGone = true;
        }
        // The first notice reports the state at start, not a change.
        const bool act = !first || o.actOnStart;
        first = false;
        if (notice.code == CARD_INSERTED) {
            if (o.onInsert && act) {
                std::string lines;
                if (LoginLines(notice.login, lines)) {
                    RunNoticeCommand("--on-insert", *o.onInsert, &lines, o.commandTimeout);
                } else {
                    fprintf(stderr,
                            "mlhost: the login data holds a line break or a character UTF-8 "
                            "cannot carry; --on-insert command not run\n");
                }
                Wipe(lines);
            }
            ResetNamedEvent(ML_EVENT_LOGON_IN_PROCESS);
        } else if (notice.code == CARD_REMOVED) {
            if (o.onRemove && act)
                RunNoticeCommand("--on-remove", *o.onRemove, nullptr, o.commandTimeout);
            ResetNamedEvent(ML_EVENT_LOGOFF_IN_PROCESS);
        } else if (notice.code == CARD_ERROR) {
            if (o.onError && act)
                RunNoticeCommand("--on-error", *o.onError, nullptr, o.commandTimeout);
        } else if (notice.code == CARD_UNKNOWN) {
            if (o.onUnknown && act)
                RunNoticeCommand("--on-unknown", *o.onUnknown, nullptr, o.commandTimeout);
        }
        return outputGone;
    };

    std::optional<Clock::time_point> deadline;
    if (o.timeout) {
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(*o.timeout));
    }
    LoopEnd end = RunMessageLoop(onNotice, deadline, stop.wait());
    module.Unload();
    if (end == LoopEnd::kFailed) {
        fprintf(stderr, "mlhost: the message queue failed\n");
        return kExitHost;
    }
    if (outputGone) {
        fprintf(stderr, "mlhost: standard output is gone\n");
        return kExitHost;
    }
    return kExitOk;
}

// The text of a buffer the module filled, terminated whatever it wrote.
std::u16string TerminatedText(std::vector<WCHAR>& buffer) {
    buffer.back() = 0;
    return std::u16string(buffer.data());
}

// The exit status for the module's error text: "-1 ..." is the user's cancel.
int ErrorExit(const std::u16string& errorText) {
    if (errorText.empty())
        return kExitOk;
    if (errorText == u"-1" || errorText.rfind(u"-1 ", 0) == 0)
        return kExitCancelled;
    return kExitModuleError;
}

std::string Field(const char* name, const std::string& value) {
    std::string line = name;
    line += ':';
    if (!value.empty())
        line += " " + value;
    return line;
}

int Get(const Options& o) {
    Module module;
    if (int rc = LoadModule(o, module); rc != kExitOk)
        return rc;
    WaitForFirstNotice();
    if (o.language)
        module.setLanguage(*o.language);

    std::vector<WCHAR> user(ML_LOGIN_BUFFER_CHARS), domain(ML_LOGIN_BUFFER_CHARS),
        password(ML_LOGIN_BUFFER_CHARS), error(ML_LOGIN_BUFFER_CHARS);
    module.getLoginData(user.data(), domain.data(), password.data(), error.data());
    LoginData login;
    login.user = TerminatedText(user);
    login.domain = TerminatedText(domain);
    login.password = TerminatedText(password);
    explicit_bzero(password.data(), password.size() * sizeof(WCHAR));
    std::u16string errorText = TerminatedText(error);
    DrainNotices();
    module.Unload();

    bool ok;
    if (o.json) {
        std::string line = "{\"user\":" + JsonString(login.user) +
                           ",\"domain\":" + JsonString(login.domain) + ",\"password\":";
        std::string shown = o.showPassword ? JsonString(login.password) : "\"***\"";
        line += shown + ",\"error\":" + JsonString(errorText) + "}";
        ok = PrintLine(line);
        Wipe(shown);
        Wipe(line);
    } else {
        std::string shown = o.showPassword ? PlainText(login.password) : "***";
        std::string passwordLine = Field("password", shown);
        ok = PrintLine(Field("user", PlainText(login.user))) &&
             PrintLine(Field("domain", PlainText(login.domain))) && PrintLine(passwordLine) &&
             PrintLine(Field("error", PlainText(errorText)));
        Wipe(shown);
        Wipe(passwordLine);
    }
    if (!ok)
        return kExitHost;
    return ErrorExit(errorText);
}

int Set(const Options& o) {
    std::u16string user, domain, password;
    if (!FromLocale(*o.user, user) || user.size() >= ML_LOGIN_BUFFER_CHARS) {
        UsageError("--user is too long or not valid in the locale's character set", o.command);
    }
    if (!FromLocale(*o.domain, domain) || domain.size() >= ML_LOGIN_BUFFER_CHARS) {
        UsageError("--domain is too long or not valid in the locale's character set", o.command);
    }
    std::string line;
    PasswordRead read = ReadPassword(line);
    if (read != PasswordRead::kGot) {
        Wipe(line);
        fprintf(stderr, read == PasswordRead::kMismatch
                            ? "mlhost: the two passwords differ\n"
                            : "mlhost: no password on standard input\n");
        return kExitUsage;
    }
    bool valid = FromLocale(line, password) && password.size() < ML_LOGIN_BUFFER_CHARS;
    Wipe(line);
    if (!valid) {
        Wipe(password);
        fprintf(stderr,
                "mlhost: the password is too long, holds a NUL or is not valid in the locale's "
                "character set\n");
        return kExitUsage;
    }

    Module module;
    if (int rc = LoadModule(o, module); rc != kExitOk) {
        Wipe(password);
        return rc;
    }
    WaitForFirstNotice();
    if (o.language)
        module.setLanguage(*o.language);
    std::vector<WCHAR> error(ML_LOGIN_BUFFER_CHARS);
    module.setLoginData(user.c_str(), domain.c_str(), password.c_str(), error.data());
    Wipe(password);
    std::u16string errorText = TerminatedText(error);
    DrainNotices();
    module.Unload();

    if (!PrintLine(Field("error", PlainText(errorText))))
        return kExitHost;
    return ErrorExit(errorText);
}

std::u16string Registry(HKEY root, const std::u16string& key, const std::u16string& name) {
    std::u16string value;
    if (ml::RegReadString(root, key, name, value) != ERROR_SUCCESS)
        value.clear();
    while (!value.empty() && (value.back() == u'\n' || value.back() == u'\r'))
        value.pop_back();
    return value;
}

std::u16string WithSlash(std::u16string path) {
    if (!path.empty() && path.back() != u'/')
        path += u'/';
    return path;
}

// A string field of the status: a JSON value or the text of a line.
std::string Shown(const std::u16string& text, bool json) {
    return json ? JsonString(text) : PlainText(text);
}

int Status(const Options& o) {
    const bool json = o.json;
    std::vector<std::pair<std::string, std::string>> fields;  // name, shown value
    auto add = [&](const char* name, const std::u16string& text) {
        fields.emplace_back(name, Shown(text, json));
    };
    auto addRaw = [&](const char* name, const std::string& jsonValue, const std::string& plain) {
        fields.emplace_back(name, json ? jsonValue : plain);
    };

    addRaw("mlhost", "\"" MLHOST_VERSION "\"", MLHOST_VERSION);
    const std::u16string installKey = mlconfigx::c_szRegKeyMorlindLogon;
    const std::u16string release = Registry(HKEY_LOCAL_MACHINE, installKey, u"Release");
    const std::u16string installDir =
        Registry(HKEY_LOCAL_MACHINE, installKey, mlconfigx::c_szRegValuePath);
    add("release", release);
    add("install directory", installDir);
    add("module", ml::FromUtf8(o.module ? *o.module : DefaultModulePath()));
    add("dialog component",
        Registry(HKEY_CLASSES_ROOT,
                 u"CLSID\\{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}\\InprocServer32", u""));
    add("registry root", ml::RegistryLocation());

    // The data folders as the module finds them: the common documents
    // folder and the sub-paths of the installation's mlsettings.ini.
    CIniFile install;
    install.SetPath(WithSlash(installDir) + mlconfigx::c_szMLSettingsINI, false);
    if (!installDir.empty())
        install.ReadFile();
    WCHAR documents[MAX_PATH] = {};
    std::u16string root;
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, documents) == S_OK)
        root = WithSlash(documents);
    auto folder = [&](const char16_t* category, const char16_t* fallback) {
        return root + WithSlash(install.GetValue(mlconfigx::c_szSectionProductSubpath, category,
                                                 fallback));
    };
    const std::u16string settingsPath =
        folder(mlconfigx::c_szCategorySettings, mlconfigx::c_szDefaultSubpathSettings) +
        mlconfigx::c_szMLSettingsINI;
    const std::u16string debugPath =
        folder(mlconfigx::c_szCategorySettings, mlconfigx::c_szDefaultSubpathSettings) +
        mlconfigx::c_szMLDebugINI;
    CIniFile settings, debug;
    settings.SetPath(settingsPath, false);
    debug.SetPath(debugPath, false);
    const bool settingsRead = settings.ReadFile();
    debug.ReadFile();
    add("settings file", settingsPath);
    addRaw("settings file readable", settingsRead ? "true" : "false", settingsRead ? "yes" : "no");

    const std::u16string reader =
        settings.GetValue(mlconfigx::c_szSectionLogonDevice, mlconfigx::c_szKeyCardreaderName);
    const int port =
        settings.GetValueInt(mlconfigx::c_szSectionLogonDevice, mlconfigx::c_szKeyCurrentPort, 1);
    if (settingsRead && !reader.empty()) {
        add("device", u"PC/SC reader " + reader);
    } else {
        add("device", u"CT-API terminal, port " + ml::FromUtf8(std::to_string(port)));
    }

    std::vector<ml::ReaderPresence> readers;
    const LONG scard = ml::ListReaders(readers);
    std::string list = json ? "[" : "";
    for (size_t i = 0; i < readers.size(); ++i) {
        // Appended piece by piece: the same sums of literals and strings
        // set off a false overlap warning of some compilers.
        if (json) {
            list += i ? ",{\"name\":" : "{\"name\":";
            list += JsonString(readers[i].name);
            list += readers[i].card ? ",\"card\":true}" : ",\"card\":false}";
        } else {
            list += "\n  ";
            list += PlainText(readers[i].name);
            list += readers[i].card ? ": card" : ": empty";
        }
    }
    if (json) {
        list = scard == SCARD_S_SUCCESS ? list + "]" : "null";
    } else if (scard != SCARD_S_SUCCESS) {
        char code[16];
        snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(scard));
        list = std::string(" none (the PC/SC service answers ") + code + ")";
    } else if (readers.empty()) {
        list = " none";
    }
    fields.emplace_back("readers", list);

    add("log folder",
        folder(mlconfigx::c_szCategoryDiagnostics, mlconfigx::c_szDefaultSubpathDiagnostics));
    const bool debugOn =
        debug.GetValueInt(mlconfigx::c_szSectionLogonDevice, mlconfigx::c_szKeyDebug, 0) != 0;
    addRaw("debug log", debugOn ? "true" : "false", debugOn ? "on" : "off");

    bool ok;
    if (json) {
        std::string line = "{";
        for (size_t i = 0; i < fields.size(); ++i) {
            std::string key = fields[i].first;
            for (char& c : key)
                c = c == ' ' ? '_' : c;
            line += (i ? ",\"" : "\"") + key + "\":" + fields[i].second;
        }
        ok = PrintLine(line + "}");
    } else {
        ok = true;
        for (const auto& [name, value] : fields) {
            bool nested = name == std::string("readers");
            ok = ok && PrintLine(name + ":" + (nested || value.empty() ? "" : " ") + value);
        }
    }
    return ok ? kExitOk : kExitHost;
}

int Main(int argc, char** argv) {
    PrepareOutput();

    Options o = ParseArguments(argc, argv);
    if (o.version && !o.help) {
        fputs("mlhost " MLHOST_VERSION "\n", stdout);
        return kExitOk;
    }
    if (o.help) {
        const char* text = o.command == "watch"    ? kWatchUsage
                           : o.command == "get"    ? kGetUsage
                           : o.command == "set"    ? kSetUsage
                           : o.command == "status" ? kStatusUsage
                                                   : kUsage;
        fputs(text, stdout);
        return kExitOk;
    }
    if (o.command == "watch")
        return Watch(o);
    if (o.command == "get")
        return Get(o);
    if (o.command == "status")
        return Status(o);
    return Set(o);
}

}  // namespace
}  // namespace mlhost

int main(int argc, char** argv) {
    return mlhost::Main(argc, argv);
}
