#include "components/dialog/desktop_box.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"

extern char** environ;

namespace logondm {
namespace {

// Candidates relative to the folder of the component's library,
// ":"-separated; the build sets them.
#ifndef MLDIALOG_DESKTOP_PROGRAMS
#define MLDIALOG_DESKTOP_PROGRAMS "../bin/mldialog-gtk"
#endif

bool Set(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0';
}

std::string LibraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DesktopProgram), &info) == 0 || info.dli_fname == nullptr)
        return std::string();
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes to the program's input without a SIGPIPE reaching the host when the
// program went away early.
bool WriteWithoutSigpipe(int fd, const std::string& data) {
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    bool ok = WriteAll(fd, data);
    if (!ok && errno == EPIPE) {
        timespec none{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

}  // namespace

std::string DesktopProgram() {
    if (!Set("WAYLAND_DISPLAY") && !Set("DISPLAY"))
        return std::string();
    const std::string folder = LibraryFolder();
    if (folder.empty())
        return std::string();
    const std::string list = MLDIALOG_DESKTOP_PROGRAMS;
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string candidate = folder + list.substr(start, end - start);
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

HRESULT ShowDesktopBox(const std::string& program, const BoxRequest& request, LONG* result) {
    if (result == nullptr)
        return E_POINTER;
    const std::string caption = ml::ToUtf8(SanitizeForTerminal(request.caption, false));
    const std::string text = ml::ToUtf8(SanitizeForTerminal(request.text, true));
    const std::string type = std::to_string(request.type);
    const std::string timeout =
        std::to_string(request.timeoutSeconds > 0 ? request.timeoutSeconds : 0);

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return LOGONDM_E_NOTERMINAL;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return LOGONDM_E_NOTERMINAL;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char* argv[] = {program.c_str(), "--caption", caption.c_str(), "--type",
                          type.c_str(),    "--timeout", timeout.c_str(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, const_cast<char* const*>(argv),
                         environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        return LOGONDM_E_NOTERMINAL;
    }
    WriteWithoutSigpipe(in[1], text);
    close(in[1]);

    std::string answer;
    char buf[64];
    for (;;) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || answer.size() > 32)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return LOGONDM_E_NOTERMINAL;
    if (!answer.empty() && answer.back() == '\n')
        answer.pop_back();
    if (answer.empty() || answer.size() > 2 ||
        answer.find_first_not_of("0123456789") != std::string::npos)
        return LOGONDM_E_NOTERMINAL;
    *result = static_cast<LONG>(std::stol(answer));
    return S_OK;
}

}  // namespace logondm
