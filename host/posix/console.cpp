// mlhost's console on POSIX: stop signals through a signalfd, the password
// prompts with the terminal's echo off.
#include "host/console.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace mlhost {

StopRequests::~StopRequests() {
    if (wait_ != kNoStop)
        close(static_cast<int>(wait_));
}

bool StopRequests::Open(std::string& error) {
    // SIGINT, SIGTERM and SIGHUP are taken through a descriptor in the
    // loop. Blocked before the module is loaded, so that threads it starts
    // inherit the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        error = strerror(errno);
        return false;
    }
    int fd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (fd < 0) {
        error = strerror(errno);
        return false;
    }
    wait_ = fd;
    return true;
}

namespace {

// Terminal state for the password prompt, restored on every way out: the
// signals that end mlhost restore it first; Ctrl-Z restores it for the
// shell and `fg` turns the echo off again.
termios g_savedTerminal;
termios g_quietTerminal;
volatile sig_atomic_t g_terminalChanged = 0;
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreTerminalAndDie(int sig) {
    if (g_terminalChanged)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    signal(sig, SIG_DFL);
    raise(sig);
}

void StopWithTerminalRestored(int) {
    const int savedErrno = errno;
    if (g_terminalChanged)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    // The stop happens here: SIGTSTP is blocked while its handler runs.
    signal(SIGTSTP, SIG_DFL);
    sigset_t stopSignal;
    sigemptyset(&stopSignal);
    sigaddset(&stopSignal, SIGTSTP);
    raise(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stopSignal, nullptr);
    // Continued: back in the prompt, echo off again.
    struct sigaction again = {};
    again.sa_handler = StopWithTerminalRestored;
    sigaction(SIGTSTP, &again, nullptr);
    if (g_terminalChanged)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_quietTerminal);
    errno = savedErrno;
}

// Reads one line of standard input into `line`; false when there is none.
bool ReadLine(std::string& line) {
    bool got = false;
    for (;;) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got = true;
        if (c == '\n')
            break;
        line += c;
        c = 0;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return got;
}

void WipeLine(std::string& text) {
    explicit_bzero(text.data(), text.size());
    text.clear();
}

}  // namespace

PasswordRead ReadPassword(std::string& line) {
    const bool terminal = isatty(STDIN_FILENO);
    if (!terminal || tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0)
        return ReadLine(line) ? PasswordRead::kGot : PasswordRead::kNone;

    struct sigaction restore = {};
    restore.sa_handler = RestoreTerminalAndDie;
    for (int sig : kEndSignals)
        sigaction(sig, &restore, nullptr);
    struct sigaction stop = {};
    stop.sa_handler = StopWithTerminalRestored;
    sigaction(SIGTSTP, &stop, nullptr);
    g_quietTerminal = g_savedTerminal;
    g_quietTerminal.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    g_terminalChanged = tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_quietTerminal) == 0;

    // Each prompt only once the echo is off, so nothing typed after it shows.
    PasswordRead outcome = PasswordRead::kNone;
    fputs("Password: ", stderr);
    fflush(stderr);
    if (ReadLine(line)) {
        std::string again;
        fputs("\nAgain: ", stderr);
        fflush(stderr);
        if (ReadLine(again))
            outcome = again == line ? PasswordRead::kGot : PasswordRead::kMismatch;
        WipeLine(again);
    }
    if (g_terminalChanged)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    g_terminalChanged = 0;
    for (int sig : kEndSignals)
        signal(sig, SIG_DFL);
    signal(SIGTSTP, SIG_DFL);
    fputc('\n', stderr);
    return outcome;
}

long UtcOffsetSeconds(std::time_t time) {
    tm local{};
    if (localtime_r(&time, &local) == nullptr)
        return 0;
    return local.tm_gmtoff;
}

std::string ProgramPath() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return std::string();
    return std::string(self, static_cast<size_t>(n));
}

char PathSeparatorChar() {
    return '/';
}

bool FileExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

void PrepareOutput() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace mlhost
