#include "host/command.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace mlhost {
namespace {

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }
    int* put() { return &fd_; }

  private:
    int fd_;
};

// Waits for the child until `deadline`; true when it ended (status in
// *status) or cannot be waited for (*status -1).
bool WaitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline, int* status) {
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR) {
            *status = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
}

std::chrono::steady_clock::time_point After(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds));
}

}  // namespace

CommandResult RunCommand(const std::string& command, const std::string* input,
                         double timeoutSeconds) {
    CommandResult result;
    int pipeFds[2] = {-1, -1};
    Fd readEnd, writeEnd;
    if (input != nullptr) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            result.error = std::string("pipe: ") + strerror(errno);
            return result;
        }
        *readEnd.put() = pipeFds[0];
        *writeEnd.put() = pipeFds[1];
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (input != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, readEnd.get(), STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    // The command gets the signal handling of a fresh process, not mlhost's
    // (which blocks SIGINT and SIGTERM and ignores SIGPIPE).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that the time-out ends the shell's children too.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    readEnd.Close();
    if (rc != 0) {
        result.error = std::string("/bin/sh: ") + strerror(rc);
        return result;
    }
    result.started = true;

    if (input != nullptr) {
        // The whole input fits the pipe; a command that does not read it
        // simply ends (SIGPIPE is ignored here, so a write fails instead).
        const char* data = input->data();
        size_t left = input->size();
        while (left > 0) {
            ssize_t n = write(writeEnd.get(), data, left);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            data += n;
            left -= static_cast<size_t>(n);
        }
        writeEnd.Close();
    }

    int status = 0;
    if (!WaitUntil(pid, After(timeoutSeconds), &status)) {
        result.timedOut = true;
        kill(-pid, SIGTERM);
        if (!WaitUntil(pid, After(kKillGraceSeconds), &status)) {
            kill(-pid, SIGKILL);
            WaitUntil(pid, After(365.0 * 24 * 3600), &status);
        }
    }
    // What the group left behind after its shell ended gets no time of its own.
    if (result.timedOut)
        kill(-pid, SIGKILL);
    if (status == -1) {
        result.exitStatus = -1;
    } else if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = 128 + WTERMSIG(status);
    }
    return result;
}

}  // namespace mlhost
