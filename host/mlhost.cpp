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
#include "mlcardmanx.h"
#include "platform/codepage.h"

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
};

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
    "\n"
    "Options (also accepted after the command):\n"
    "  --module PATH  the module to load; default ../lib/mlcardmanx/libmlcardmanx.so\n"
    "                 (an installation), else ../lib/libmlcardmanx.so (the build\n"
    "                 tree), relative to the folder of the mlhost program\n"
    "  --help         this text; 'mlhost COMMAND --help' explains a command\n"
    "\n"
    "Before get and set call the module, mlhost runs the message loop until\n"
    "the module's first notice has arrived, at most 5 seconds. They perform\n"
    "no logon: the event of an insert or removal notice that arrives while\n"
    "they run is reset at once.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  get, set: the module reported an error (its error text is printed)\n"
    "  2  wrong arguments, or no password on standard input\n"
    "  3  the module could not be loaded or lacks an export\n"
    "  4  mlhost itself failed (message queue, signals, output)\n";

const char kWatchUsage[] =
    "Usage: mlhost watch [--json] [--on-insert CMD] [--on-remove CMD] [--timeout SECONDS]\n"
    "\n"
    "Prints one line per notice of the module until SECONDS have passed or\n"
    "SIGINT or SIGTERM arrives; then unloads the module and exits with 0.\n"
    "\n"
    "  --json             one JSON object per line, UTF-8:\n"
    "                     {\"notice\":\"inserted\",\"code\":1025,\"user\":\"alice\","
    "\"domain\":\"PLANT\"}\n"
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
    "  --timeout SECONDS  end after SECONDS (a decimal number, at most 1000000)\n"
    "\n"
    "Plain lines: 'inserted user=NAME domain=NAME', 'removed', 'error',\n"
    "'unknown' ('notice 0xCODE' for other codes), with control characters\n"
    "shown as '?'. The password is never printed.\n"
    "\n"
    "After an insert or removal and its command, mlhost resets the event\n"
    "Global\\mlevent_logoninprocess or Global\\mlevent_logoffinprocess, as a\n"
    "logon system does when its logon or logoff is done; until then the\n"
    "module holds back further insert and remove notices. mlhost waits for a\n"
    "command to end; a command that fails is reported on standard error and\n"
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
    "                   identifier, 0 to 65535, e.g. 1033 or 1031; 0 = the\n"
    "                   configured language)\n"
    "  --show-password  print the password itself instead of ***\n"
    "\n"
    "Exit status 0 when the error text is empty, else 1.\n";

const char kSetUsage[] =
    "Usage: mlhost set --user NAME --domain NAME [--language ID]\n"
    "\n"
    "Writes new login data to the card (SetLoginData). The password is read\n"
    "from standard input, one line (a final CR is dropped); when standard\n"
    "input is a terminal, mlhost asks for it without echo. It never goes on\n"
    "the command line. Prints the module's error text ('error: TEXT').\n"
    "\n"
    "  --user NAME     the user name\n"
    "  --domain NAME   the domain\n"
    "  --language ID   call SetLanguage(ID) first (see 'mlhost get --help')\n"
    "\n"
    "Exit status 0 when the error text is empty, else 1.\n";

struct Options {
    std::string command;
    std::optional<std::string> module;
    bool help = false;
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
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || v > 0xFFFF)
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
        const bool watch = o.command == "watch", get = o.command == "get", set = o.command == "set";

        if (arg == "--help" || arg == "-h") {
            flag();
            o.help = true;
        } else if (arg == "--module") {
            o.module = value();
            if (o.module->empty())
                UsageError("--module needs a path", o.command);
        } else if (arg == "--json" && (watch || get)) {
            flag();
            o.json = true;
        } else if (arg == "--on-insert" && watch) {
            o.onInsert = value();
        } else if (arg == "--on-remove" && watch) {
            o.onRemove = value();
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
            if (arg != "watch" && arg != "get" && arg != "set") {
                UsageError("unknown command '" + arg + "'", "");
            }
            o.command = arg;
        } else {
            UsageError("unexpected argument '" + arg + "'", o.command);
        }
    }
    if (o.help)
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

void RunNoticeCommand(const char* option, const std::string& command, const std::string* input) {
    CommandResult r = RunCommand(command, input);
    if (!r.started) {
        fprintf(stderr, "mlhost: %s command could not be started: %s\n", option, r.error.c_str());
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
    auto onNotice = [&](const MSG& msg) {
        Notice notice;
        CopyNotice(msg.wParam, msg.lParam, notice);  // first: the block is the module's
        if (!PrintLine(o.json ? FormatJson(notice) : FormatPlain(notice))) {
            outputGone = true;
        }
        if (notice.code == CARD_INSERTED) {
            if (o.onInsert) {
                std::string lines;
                if (LoginLines(notice.login, lines)) {
                    RunNoticeCommand("--on-insert", *o.onInsert, &lines);
                } else {
                    fprintf(stderr,
                            "mlhost: the login data holds a line break or a character UTF-8 "
                            "cannot carry; --on-insert command not run\n");
                }
                Wipe(lines);
            }
            ResetNamedEvent(ML_EVENT_LOGON_IN_PROCESS);
        } else if (notice.code == CARD_REMOVED) {
            if (o.onRemove)
                RunNoticeCommand("--on-remove", *o.onRemove, nullptr);
            ResetNamedEvent(ML_EVENT_LOGOFF_IN_PROCESS);
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
    return errorText.empty() ? kExitOk : kExitModuleError;
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
    if (!ReadPasswordLine(line)) {
        fprintf(stderr, "mlhost: no password on standard input\n");
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
    return errorText.empty() ? kExitOk : kExitModuleError;
}

int Main(int argc, char** argv) {
    PrepareOutput();

    Options o = ParseArguments(argc, argv);
    if (o.help) {
        const char* text = o.command == "watch" ? kWatchUsage
                           : o.command == "get" ? kGetUsage
                           : o.command == "set" ? kSetUsage
                                                : kUsage;
        fputs(text, stdout);
        return kExitOk;
    }
    if (o.command == "watch")
        return Watch(o);
    if (o.command == "get")
        return Get(o);
    return Set(o);
}

}  // namespace
}  // namespace mlhost

int main(int argc, char** argv) {
    return mlhost::Main(argc, argv);
}
