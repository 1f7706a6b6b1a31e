// mlhost's console on POSIX: stop signals through a signalfd, the password
// prompt with the terminal's echo off.
#include "host/console.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

namespace mlhost {

StopRequests::~StopRequests() {
    if (wait_ != kNoStop)
        close(static_cast<int>(wait_));
}

bool StopRequests::Open(std::string& error) {
    // SIGINT and SIGTERM are taken through a descriptor in the loop. Blocked
    // before the module is loaded, so that threads it starts inherit the
    // mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
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

// Terminal state for the password prompt, restored on every way out.
termios g_savedTerminal;
volatile sig_atomic_t g_terminalChanged = 0;

void RestoreTerminalAndDie(int sig) {
    if (g_terminalChanged)
        tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

bool ReadPasswordLine(std::string& line) {
    const bool terminal = isatty(STDIN_FILENO);
    if (terminal && tcgetattr(STDIN_FILENO, &g_savedTerminal) == 0) {
        struct sigaction restore = {};
        restore.sa_handler = RestoreTerminalAndDie;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
            sigaction(sig, &restore, nullptr);
        termios quiet = g_savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        g_terminalChanged = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        // The prompt only once the echo is off, so nothing typed after it shows.
        fputs("Password: ", stderr);
        fflush(stderr);
    }
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
    if (terminal) {
        if (g_terminalChanged)
            tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        g_terminalChanged = 0;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP})
            signal(sig, SIG_DFL);
        fputc('\n', stderr);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return got;
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
