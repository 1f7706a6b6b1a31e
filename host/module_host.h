// Loading the module and running the loading thread's message loop.
//
// The module is loaded with the platform's LoadLibraryW, as the logon system
// loads it, on the thread that then runs the loop: the module's timers fire
// there and its notices arrive there. Not thread-safe: one thread does all.
#ifndef ML_HOST_MODULE_HOST_H_
#define ML_HOST_MODULE_HOST_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "host/console.h"
#include "mlcardmanx.h"

namespace mlhost {

class Module {
  public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    // Unloads the module (its shutdown runs on this thread).
    ~Module();

    // Loads the library at `path` and binds the three exports. On failure
    // `error` says what failed, with the loader's own text.
    bool Load(const std::string& path, std::string& error);
    void Unload();

    PFN_GetLoginData getLoginData = nullptr;
    PFN_SetLoginData setLoginData = nullptr;
    PFN_SetLanguage setLanguage = nullptr;

  private:
    HMODULE handle_ = nullptr;
};

// The text of a platform error code (FormatMessageW), or its number.
std::string ErrorText(DWORD code);

enum class LoopEnd {
    kDone,      // the handler asked to stop
    kDeadline,  // the deadline passed
    kSignal,    // a stop request arrived
    kQuit,      // WM_QUIT
    kFailed,    // the queue could not be waited on
};

using Clock = std::chrono::steady_clock;

// Runs the message loop of the calling thread: dispatches timer messages
// and hands every WM_COMMAND notice to `onNotice`, which returns true to end
// the loop. Ends also at `deadline` (none: no time limit; a deadline in the
// past: only what is due now is handled) and when a stop request arrives on
// `stop` (kNoStop: none).
LoopEnd RunMessageLoop(const std::function<bool(const MSG&)>& onNotice,
                       std::optional<Clock::time_point> deadline, StopWait stop = kNoStop);

// Resets a machine-wide event of the module when it exists.
void ResetNamedEvent(LPCWSTR name);

}  // namespace mlhost

#endif  // ML_HOST_MODULE_HOST_H_
