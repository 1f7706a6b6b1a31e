#include "host/command.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace

CommandResult RunCommand(const std::string& command, const std::string* input) {
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
    // The command gets the signal handling of a fresh process, not mlhost's
    // (which blocks SIGINT and SIGTERM and ignores SIGPIPE).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

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
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.exitStatus = -1;
            return result;
        }
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = 128 + WTERMSIG(status);
    }
    return result;
}

}  // namespace mlhost
