// The commands mlhost runs for a notice (--on-insert, --on-remove).
//
// A command runs through "/bin/sh -c COMMAND" with mlhost's environment and
// standard output and error, default signal handling and an empty signal
// mask. Its standard input is a pipe carrying `input` (for an insert: the
// login data, see mlhost --help) or, without input, /dev/null. The login
// data never goes into the command's arguments or environment. mlhost waits
// for the command to end.
#ifndef ML_HOST_COMMAND_H_
#define ML_HOST_COMMAND_H_

#include <string>

namespace mlhost {

struct CommandResult {
    bool started = false;
    int exitStatus = -1;  // exit status, or 128 + signal number
    std::string error;    // why it could not be started
};

CommandResult RunCommand(const std::string& command, const std::string* input);

}  // namespace mlhost

#endif  // ML_HOST_COMMAND_H_
