// The message loop of mlhost on Windows: the thread's queue and the stop
// event, waited on together with MsgWaitForMultipleObjectsEx.
#include <algorithm>

#include "host/module_host.h"
#include "host/win32/system_wait.h"

namespace mlhost {

LoopEnd RunMessageLoop(const std::function<bool(const MSG&)>& onNotice,
                       std::optional<Clock::time_point> deadline, StopWait stop) {
    for (;;) {
        // Everything that waits is handled before the next wait.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return LoopEnd::kQuit;
            if (msg.message == WM_COMMAND) {
                if (onNotice(msg))
                    return LoopEnd::kDone;
                continue;
            }
            DispatchMessageW(&msg);
        }
        int waitMs = -1;
        if (deadline) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return LoopEnd::kDeadline;
            waitMs = static_cast<int>(std::min<long long>(left.count() + 1, 60'000));
        }
        switch (win32::WaitForInputOrStop(stop, waitMs)) {
            case win32::Woken::kStop:
                return LoopEnd::kSignal;
            case win32::Woken::kFailed:
                return LoopEnd::kFailed;
            case win32::Woken::kInput:
            case win32::Woken::kTimeout:
                break;
        }
    }
}

}  // namespace mlhost
