// The wait of mlhost's message loop on Windows, in the one file that
// includes <windows.h> (console.cpp).
#ifndef ML_HOST_WIN32_SYSTEM_WAIT_H_
#define ML_HOST_WIN32_SYSTEM_WAIT_H_

#include "host/console.h"

namespace mlhost::win32 {

enum class Woken { kInput, kStop, kTimeout, kFailed };

// Waits until the calling thread's queue has input (a posted message, a due
// timer), a stop request arrives on `stop`, or `waitMs` (-1: no limit)
// passed.
Woken WaitForInputOrStop(StopWait stop, int waitMs);

}  // namespace mlhost::win32

#endif  // ML_HOST_WIN32_SYSTEM_WAIT_H_
