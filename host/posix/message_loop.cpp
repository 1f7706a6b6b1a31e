// The message loop of mlhost on POSIX: the thread's queue descriptor and
// the stop descriptor, waited on with poll.
#include <errno.h>
#include <poll.h>

#include <algorithm>

#include "host/module_host.h"

namespace mlhost {

LoopEnd RunMessageLoop(const std::function<bool(const MSG&)>& onNotice,
                       std::optional<Clock::time_point> deadline, StopWait stop) {
    const int queueFd = MlGetThreadMessageFd();
    if (queueFd < 0)
        return LoopEnd::kFailed;
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
        const int signalFd = static_cast<int>(stop);
        pollfd fds[2] = {{queueFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        int ready = poll(fds, signalFd >= 0 ? 2 : 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return LoopEnd::kFailed;
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN))
            return LoopEnd::kSignal;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return LoopEnd::kFailed;
    }
}

}  // namespace mlhost
