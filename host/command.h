// The commands mlhost runs for a notice (--on-insert, --on-remove,
// --on-error, --on-unknown).
//
// On POSIX (command.cpp) a command runs through "/bin/sh -c COMMAND" in a
// process group of its own, with mlhost's environment, default signal
// handling and an empty signal mask. Its standard output and error both go
// to mlhost's standard error, so that nothing it prints mixes with the
// notices on standard output. Its standard input is a pipe carrying `input`
// (for an insert: the login data, see mlhost --help) or, without input,
// /dev/null. The login data never goes into the command's arguments or
// environment. mlhost waits for the command to end, at most
// `timeoutSeconds` (> 0): then its process group gets SIGTERM and, if it is
// still there kKillGraceSeconds later, SIGKILL. On Windows
// (win32/command.cpp) it runs through "cmd.exe /d /c COMMAND" the same way,
// with NUL for /dev/null, and the time-out ends cmd.exe at once with
// TerminateProcess.
#ifndef ML_HOST_COMMAND_H_
#define ML_HOST_COMMAND_H_

#include <string>

namespace mlhost {

inline constexpr double kKillGraceSeconds = 2;

struct CommandResult {
    bool started = false;
    bool timedOut = false;  // ended by mlhost after its time-out
    int exitStatus = -1;    // exit status, or 128 + signal number
    std::string error;      // why it could not be started
};

CommandResult RunCommand(const std::string& command, const std::string* input,
                         double timeoutSeconds);

}  // namespace mlhost

#endif  // ML_HOST_COMMAND_H_
