// The wait of mlhost's message loop on POSIX: the thread's queue descriptor
// and the stop descriptor, waited on with poll.
#include <errno.h>
#include <poll.h>

#include "host/console.h"
#include "platform/message.h"

namespace mlhost {

Woken WaitForInputOrStop(StopWait stop, int waitMs) {
    const int queueFd = MlGetThreadMessageFd();
    if (queueFd < 0)
        return Woken::kFailed;
    const int signalFd = static_cast<int>(stop);
    pollfd fds[2] = {{queueFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    int ready = poll(fds, signalFd >= 0 ? 2 : 1, waitMs);
    if (ready < 0)
        return errno == EINTR ? Woken::kInput : Woken::kFailed;
    if (signalFd >= 0 && (fds[1].revents & POLLIN))
        return Woken::kStop;
    if (fds[0].revents & (POLLERR | POLLNVAL))
        return Woken::kFailed;
    return ready == 0 ? Woken::kTimeout : Woken::kInput;
}

}  // namespace mlhost
