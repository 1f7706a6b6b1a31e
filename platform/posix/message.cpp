#include "platform/message.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

struct Timer {
    UINT period;
    TIMERPROC proc;
    uint64_t due;  // platform clock, ms
};

// One thread's queue. The owner thread reads it; other threads post to it
// and kill its timers. `mutex` guards everything but the descriptors, which
// are made once and then only read.
struct Queue {
    explicit Queue(DWORD owner) : tid(owner) {}

    const DWORD tid;
    std::mutex mutex;
    std::condition_variable procReturned;
    std::deque<MSG> posted;
    std::map<UINT_PTR, Timer> timers;
    std::map<UINT_PTR, int> runningProcs;  // timer id -> calls in progress
    bool quit = false;
    int quitCode = 0;

    // Made on first need: an eventfd for posts and wake-ups, a timerfd for
    // the next due timer, and an epoll set of both that the thread waits on.
    Fd wakeFd, timerFd, epollFd;
    std::atomic<int> wakeFdValue{-1};
    uint64_t armedDue = 0;  // 0: timerfd disarmed
};

void Wake(int fd) {
    if (fd < 0)
        return;
    uint64_t one = 1;
    // A full counter is readable already, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<Queue>> queues;
    std::unordered_map<UINT_PTR, std::weak_ptr<Queue>> timers;
};

Registry& Queues() {
    static auto* registry = new Registry;
    return *registry;
}

std::atomic<UINT_PTR> g_nextTimerId{1};

// Unregisters the thread's queue when the thread ends.
struct QueueHolder {
    std::shared_ptr<Queue> queue;
    ~QueueHolder() {
        if (!queue)
            return;
        // SetTimer takes the queue's mutex, then the registry's: never hold
        // both here, or a thread ending beside one setting a timer deadlocks.
        std::vector<UINT_PTR> ids;
        {
            std::lock_guard queueLock(queue->mutex);
            for (const auto& [id, timer] : queue->timers)
                ids.push_back(id);
            queue->timers.clear();
        }
        auto& registry = Queues();
        std::lock_guard lock(registry.mutex);
        registry.queues.erase(queue->tid);
        for (UINT_PTR id : ids)
            registry.timers.erase(id);
    }
};

thread_local QueueHolder t_queue;

DWORD ThreadId() {
    thread_local const DWORD tid = static_cast<DWORD>(::gettid());
    return tid;
}

Queue& OwnQueue() {
    if (!t_queue.queue) {
        auto queue = std::make_shared<Queue>(ThreadId());
        auto& registry = Queues();
        std::lock_guard lock(registry.mutex);
        registry.queues[queue->tid] = queue;
        t_queue.queue = std::move(queue);
    }
    return *t_queue.queue;
}

std::shared_ptr<Queue> QueueOf(DWORD tid) {
    auto& registry = Queues();
    std::lock_guard lock(registry.mutex);
    auto it = registry.queues.find(tid);
    return it == registry.queues.end() ? nullptr : it->second;
}

// Makes the descriptors of the queue; caller holds the queue's mutex.
bool EnsureFds(Queue& q) {
    if (q.epollFd.valid())
        return true;
    Fd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    Fd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    Fd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!wake.valid() || !timer.valid() || !epoll.valid()) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    for (int fd : {wake.get(), timer.get()}) {
        struct epoll_event event {};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    q.wakeFd = std::move(wake);
    q.timerFd = std::move(timer);
    q.epollFd = std::move(epoll);
    q.wakeFdValue.store(q.wakeFd.get());
    // Work that waits already must make the descriptor readable.
    if (!q.posted.empty() || q.quit || !q.timers.empty())
        Wake(q.wakeFd.get());
    return true;
}

// Sets the timerfd to the earliest due timer, or disarms it when there is
// none or a replacement clock drives time (that clock wakes the queues
// itself). Caller holds the queue's mutex.
void ArmLocked(Queue& q, bool timersWanted) {
    if (!q.timerFd.valid())
        return;
    uint64_t due = 0;
    if (timersWanted && !ClockReplaced()) {
        for (const auto& [id, timer] : q.timers)
            if (due == 0 || timer.due < due)
                due = timer.due;
    }
    if (due == q.armedDue)
        return;
    struct itimerspec spec {};
    if (due != 0) {
        spec.it_value.tv_sec = static_cast<time_t>(due / 1000);
        spec.it_value.tv_nsec = static_cast<long>(due % 1000) * 1000000L;
    }
    ::timerfd_settime(q.timerFd.get(), due != 0 ? TFD_TIMER_ABSTIME : 0, &spec, nullptr);
    q.armedDue = due;
}

void Drain(Queue& q) {
    uint64_t value;
    if (q.wakeFd.valid()) [[maybe_unused]]
        auto n = ::read(q.wakeFd.get(), &value, sizeof value);
    if (q.timerFd.valid()) [[maybe_unused]]
        auto n = ::read(q.timerFd.get(), &value, sizeof value);
}

// Where a period starts that begins at `now`. The system clock's
// milliseconds are cut, not rounded: counting from the next full one keeps a
// period from coming out shorter than asked. A replacement clock is exact.
uint64_t PeriodStart(uint64_t now) {
    return ClockReplaced() ? now : now + 1;
}

bool InFilter(UINT message, UINT min, UINT max) {
    return (min == 0 && max == 0) || (message >= min && message <= max);
}

// Takes (or, without `remove`, looks at) the next message in the order
// posted, due timer, quit. False when nothing waits.
bool Next(Queue& q, MSG* msg, UINT min, UINT max, bool remove) {
    std::lock_guard lock(q.mutex);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!InFilter(it->message, min, max))
            continue;
        *msg = *it;
        if (remove)
            q.posted.erase(it);
        return true;
    }
    bool timersWanted = InFilter(WM_TIMER, min, max);
    if (timersWanted && !q.timers.empty()) {
        uint64_t now = GetTickCount64();
        auto next = q.timers.end();
        for (auto it = q.timers.begin(); it != q.timers.end(); ++it)
            if (it->second.due <= now &&
                (next == q.timers.end() || it->second.due < next->second.due))
                next = it;
        if (next != q.timers.end()) {
            *msg = MSG{nullptr,
                       WM_TIMER,
                       next->first,
                       reinterpret_cast<LPARAM>(next->second.proc),
                       static_cast<DWORD>(now),
                       POINT{}};
            // Missed periods are not made up: the next one counts from now.
            if (remove)
                next->second.due = PeriodStart(now) + next->second.period;
            ArmLocked(q, true);
            return true;
        }
    }
    if (q.quit) {
        *msg = MSG{nullptr,
                   WM_QUIT,
                   static_cast<WPARAM>(q.quitCode),
                   0,
                   static_cast<DWORD>(GetTickCount64()),
                   POINT{}};
        if (remove)
            q.quit = false;
        return true;
    }
    ArmLocked(q, timersWanted);
    return false;
}

}  // namespace

namespace ml::posix {

void WakeAllQueues() {
    auto& registry = Queues();
    std::lock_guard lock(registry.mutex);
    for (const auto& [tid, queue] : registry.queues)
        Wake(queue->wakeFdValue.load());
}

}  // namespace ml::posix

namespace ml {
void NotifyClockChanged() {
    posix::WakeAllQueues();
}
}  // namespace ml

extern "C" {

DWORD GetCurrentThreadId(void) {
    return ThreadId();
}

BOOL PostThreadMessageW(DWORD idThread, UINT msg, WPARAM wParam, LPARAM lParam) {
    OwnQueue();
    auto queue = QueueOf(idThread);
    if (!queue)
        return Fail(ML_ERROR_INVALID_THREAD_ID, FALSE);
    {
        std::lock_guard lock(queue->mutex);
        queue->posted.push_back(
            MSG{nullptr, msg, wParam, lParam, static_cast<DWORD>(GetTickCount64()), POINT{}});
    }
    Wake(queue->wakeFdValue.load());
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    Queue& q = OwnQueue();
    {
        std::lock_guard lock(q.mutex);
        q.quit = true;
        q.quitCode = nExitCode;
    }
    Wake(q.wakeFdValue.load());
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC proc) {
    Queue& q = OwnQueue();
    if (hwnd != nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, UINT_PTR{0});
    UINT period = uElapse < USER_TIMER_MINIMUM   ? USER_TIMER_MINIMUM
                  : uElapse > USER_TIMER_MAXIMUM ? USER_TIMER_MAXIMUM
                                                 : uElapse;
    uint64_t due = PeriodStart(GetTickCount64()) + period;
    std::lock_guard lock(q.mutex);
    auto it = nIDEvent != 0 ? q.timers.find(nIDEvent) : q.timers.end();
    UINT_PTR id = nIDEvent;
    if (it != q.timers.end()) {
        it->second = Timer{period, proc, due};
    } else {
        id = g_nextTimerId.fetch_add(1);
        q.timers.emplace(id, Timer{period, proc, due});
        auto& registry = Queues();
        std::lock_guard registryLock(registry.mutex);
        registry.timers[id] = t_queue.queue;
    }
    ArmLocked(q, true);
    return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR uIDEvent) {
    if (hwnd != nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<Queue> queue;
    {
        auto& registry = Queues();
        std::lock_guard lock(registry.mutex);
        auto it = registry.timers.find(uIDEvent);
        if (it != registry.timers.end()) {
            queue = it->second.lock();
            registry.timers.erase(it);
        }
    }
    if (!queue)
        return Fail(ML_ERROR_NO_SUCH_TIMER, FALSE);
    std::unique_lock lock(queue->mutex);
    if (queue->timers.erase(uIDEvent) == 0)
        return Fail(ML_ERROR_NO_SUCH_TIMER, FALSE);
    // From another thread, a running call of the procedure finishes first;
    // the owner itself (inside the procedure) must not wait for itself.
    if (queue->tid != ThreadId()) {
        queue->procReturned.wait(lock, [&] { return queue->runningProcs.count(uIDEvent) == 0; });
    }
    return TRUE;
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    Queue& q = OwnQueue();
    if (hwnd != nullptr || msg == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, -1);
    {
        std::lock_guard lock(q.mutex);
        if (!EnsureFds(q))
            return -1;
    }
    for (;;) {
        Drain(q);
        if (Next(q, msg, wMsgFilterMin, wMsgFilterMax, true))
            return msg->message == WM_QUIT ? 0 : 1;
        struct epoll_event event;
        if (::epoll_wait(q.epollFd.get(), &event, 1, -1) < 0 && errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return -1;
        }
    }
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    Queue& q = OwnQueue();
    if (hwnd != nullptr || msg == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    Drain(q);
    return Next(q, msg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE : FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (msg == nullptr || msg->message != WM_TIMER || msg->lParam == 0)
        return 0;
    Queue& q = OwnQueue();
    const UINT_PTR id = msg->wParam;
    {
        std::lock_guard lock(q.mutex);
        // A timer killed after its message was taken calls nothing.
        if (q.timers.count(id) == 0)
            return 0;
        ++q.runningProcs[id];
    }
    reinterpret_cast<TIMERPROC>(msg->lParam)(nullptr, WM_TIMER, id, msg->time);
    {
        std::lock_guard lock(q.mutex);
        if (--q.runningProcs[id] == 0)
            q.runningProcs.erase(id);
    }
    q.procReturned.notify_all();
    return 0;
}

int MlGetThreadMessageFd(void) {
    Queue& q = OwnQueue();
    std::lock_guard lock(q.mutex);
    if (!EnsureFds(q))
        return -1;
    ArmLocked(q, true);
    return q.epollFd.get();
}

}  // extern "C"
