// What mlhost needs from the operating system beyond the platform layer:
// stop requests, the password prompt, its own path, the local time's
// offset, and its output. One
// implementation per system (posix/console.cpp, win32/console.cpp).
#ifndef ML_HOST_CONSOLE_H_
#define ML_HOST_CONSOLE_H_

#include <cstdint>
#include <ctime>
#include <string>

namespace mlhost {

// What the message loop waits on besides the queue for a stop request: a
// descriptor on POSIX (readable when a request came), an event handle on
// Windows (signalled then). kNoStop: none.
using StopWait = intptr_t;
inline constexpr StopWait kNoStop = -1;

// Stop requests (POSIX: SIGINT, SIGTERM and SIGHUP; Windows: Ctrl-C, Ctrl-Break and
// the console closing) are taken inside the message loop while this object
// is open, so that the module is unloaded cleanly. Open before the module is
// loaded, so that threads it starts do not take them either.
class StopRequests {
  public:
    StopRequests() = default;
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;
    ~StopRequests();

    // False with `error` set when the requests cannot be taken.
    bool Open(std::string& error);
    StopWait wait() const { return wait_; }

  private:
    StopWait wait_ = kNoStop;
};

enum class PasswordRead { kGot, kNone, kMismatch };

// Reads the password from standard input into `line`: one line (without its
// line break, a final CR dropped); kNone when there is none. On a terminal
// it asks twice without echo, "Password: " and "Again: " on standard error,
// and the two answers must agree (else kMismatch). The terminal is set back
// on every way out; on POSIX a stop (Ctrl-Z) shows the shell the terminal
// as it was, and going on turns the echo off again.
PasswordRead ReadPassword(std::string& line);

// The local time's offset from UTC at `time`, in seconds (east positive).
long UtcOffsetSeconds(std::time_t time);

// What woke the message loop's wait.
enum class Woken { kInput, kStop, kTimeout, kFailed };

// Waits until the calling thread's queue has input (a posted message, a due
// timer), a stop request arrives on `stop`, or `waitMs` (-1: no limit)
// passed. A wait cut short by a signal counts as input.
Woken WaitForInputOrStop(StopWait stop, int waitMs);

// The running program's full path, or "" when it cannot be told.
std::string ProgramPath();

// The folder separator of program paths ('/' or '\\').
char PathSeparatorChar();

bool FileExists(const std::string& path);

// Standard output is line-buffered, and a reader that went away makes
// writes fail instead of ending mlhost with the module loaded.
void PrepareOutput();

}  // namespace mlhost

#endif  // ML_HOST_CONSOLE_H_
