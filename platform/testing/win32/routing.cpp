// Windows: the replaceable clock and private object names of a test program.
// The test programs link with --wrap for the functions below
// (platform/CMakeLists.txt): their own calls come here, those of the DLLs
// they load go to the system. Without an installed clock every call passes
// through. With one, the tick count, Sleep and the local time are the
// clock's; thread timers (hwnd NULL) are kept here, due by the clock, and
// handed out as WM_TIMER when the system's queue has nothing; a posted
// message carries the clock's time. Unlike the POSIX queue, WM_QUIT comes
// before a due timer, as on Windows. Named objects get ML_OBJECT_NAMESPACE
// after "Global\" or "Local\", and ML_COMMON_DOCUMENTS, when set, is the
// common documents folder. 64-bit only: 32-bit decorated names are not wrapped.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/folders.h"
#include "platform/handle.h"
#include "platform/message.h"
#include "platform/named_objects.h"

static_assert(sizeof(MSG) == (sizeof(void*) == 8 ? 48 : 28), "MSG has the layout of the system's");

extern "C" {
ULONGLONG __real_GetTickCount64(void);
void __real_Sleep(DWORD ms);
void __real_GetLocalTime(SYSTEMTIME* st);
UINT_PTR __real_SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL __real_KillTimer(HWND hwnd, UINT_PTR id);
BOOL __real_PostThreadMessageW(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam);
BOOL __real_GetMessageW(MSG* msg, HWND hwnd, UINT min, UINT max);
BOOL __real_PeekMessageW(MSG* msg, HWND hwnd, UINT min, UINT max, UINT remove);
LRESULT __real_DispatchMessageW(const MSG* msg);
HANDLE __real_CreateEventW(SECURITY_ATTRIBUTES* sa, BOOL manual, BOOL initial, LPCWSTR name);
HANDLE __real_OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
HANDLE __real_CreateMutexW(SECURITY_ATTRIBUTES* sa, BOOL owner, LPCWSTR name);
HRESULT __real_SHGetFolderPathW(HWND hwnd, int csidl, HANDLE token, DWORD flags, LPWSTR path);
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD ms, DWORD wake,
                                  DWORD flags);
}

namespace {

constexpr DWORD kQsAllPostMessage = 0x0100;
constexpr DWORD kMwmoInputAvailable = 0x0004;
// Our timer ids; the system's thread timers stay far below.
constexpr UINT_PTR kFirstTimerId = 0x40000000;

struct Timer {
    DWORD thread;
    UINT period;
    uint64_t due;
    TIMERPROC proc;
};

struct Posted {
    DWORD thread;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
};

struct State {
    std::mutex mutex;
    std::condition_variable idle;  // a timer procedure returned
    std::map<UINT_PTR, Timer> timers;
    std::multiset<UINT_PTR> running;
    std::map<DWORD, HANDLE> wakers;  // threads that waited in GetMessageW
    std::deque<Posted> posted;       // in the order of posting
    UINT_PTR nextId = kFirstTimerId;
};

std::atomic<ml::Clock*> g_clock{nullptr};

State& S() {
    static State* state = new State;  // used until the last thread ends
    return *state;
}

bool InFilter(UINT message, UINT min, UINT max) {
    return (min == 0 && max == 0) || (message >= min && message <= max);
}

// The calling thread's wake event, made at its first wait.
HANDLE ThreadWaker() {
    struct Waker {
        HANDLE event = __real_CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ~Waker() {
            std::lock_guard lock(S().mutex);
            S().wakers.erase(GetCurrentThreadId());
            CloseHandle(event);
        }
    };
    thread_local Waker waker;
    std::lock_guard lock(S().mutex);
    S().wakers.emplace(GetCurrentThreadId(), waker.event);
    return waker.event;
}

// A due timer of the calling thread as WM_TIMER; with `remove` it is next
// due one period from now (missed periods are not made up).
bool DueTimer(MSG* msg, bool remove) {
    uint64_t now = GetTickCount64();
    DWORD self = GetCurrentThreadId();
    std::lock_guard lock(S().mutex);
    auto next = S().timers.end();
    for (auto it = S().timers.begin(); it != S().timers.end(); ++it)
        if (it->second.thread == self && it->second.due <= now &&
            (next == S().timers.end() || it->second.due < next->second.due))
            next = it;
    if (next == S().timers.end())
        return false;
    *msg = MSG{nullptr,
               WM_TIMER,
               next->first,
               reinterpret_cast<LPARAM>(next->second.proc),
               static_cast<DWORD>(now),
               {}};
    if (remove)
        next->second.due = now + next->second.period;
    return true;
}

// A posted message gets the time of its posting.
void Stamp(MSG* msg, bool remove) {
    DWORD self = GetCurrentThreadId();
    std::lock_guard lock(S().mutex);
    for (auto it = S().posted.begin(); it != S().posted.end(); ++it) {
        if (it->thread == self && it->message == msg->message && it->wParam == msg->wParam &&
            it->lParam == msg->lParam) {
            msg->time = it->time;
            if (remove)
                S().posted.erase(it);
            return;
        }
    }
}

bool HasTimers() {
    DWORD self = GetCurrentThreadId();
    std::lock_guard lock(S().mutex);
    return std::any_of(S().timers.begin(), S().timers.end(),
                       [&](const auto& entry) { return entry.second.thread == self; });
}

// "Global\name" becomes "Global\<namespace>name" for `real`.
template <typename Real>
HANDLE WithPrivateName(LPCWSTR name, Real real) {
    const char* ns = std::getenv("ML_OBJECT_NAMESPACE");
    if (name == nullptr || ns == nullptr || *ns == '\0')
        return real(name);
    std::u16string text(name);
    size_t slash = text.find(u'\\');
    text.insert(slash == std::u16string::npos ? 0 : slash + 1, ml::FromUtf8(ns));
    return real(text.c_str());
}

}  // namespace

namespace ml {

void NotifyClockChanged() {
    std::lock_guard lock(S().mutex);
    for (const auto& [thread, event] : S().wakers)
        SetEvent(event);
}

void SetClock(Clock* clock) {
    g_clock.store(clock);
    {
        std::lock_guard lock(S().mutex);
        S().posted.clear();
    }
    NotifyClockChanged();
}

}  // namespace ml

extern "C" {

ULONGLONG __wrap_GetTickCount64(void) {
    auto* clock = g_clock.load();
    return clock ? clock->NowMs() : __real_GetTickCount64();
}

void __wrap_Sleep(DWORD ms) {
    auto* clock = g_clock.load();
    clock ? clock->Sleep(ms) : __real_Sleep(ms);
}

void __wrap_GetLocalTime(SYSTEMTIME* st) {
    auto* clock = g_clock.load();
    clock ? clock->LocalTime(st) : __real_GetLocalTime(st);
}

UINT_PTR __wrap_SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (hwnd != nullptr || g_clock.load() == nullptr)
        return __real_SetTimer(hwnd, id, elapse, proc);
    elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    Timer timer{GetCurrentThreadId(), elapse, GetTickCount64() + elapse, proc};
    std::lock_guard lock(S().mutex);
    auto it = S().timers.find(id);
    if (it == S().timers.end() || it->second.thread != timer.thread)
        id = S().nextId++;
    S().timers[id] = timer;
    return id;
}

BOOL __wrap_KillTimer(HWND hwnd, UINT_PTR id) {
    if (hwnd != nullptr || id < kFirstTimerId)
        return __real_KillTimer(hwnd, id);
    std::unique_lock lock(S().mutex);
    auto it = S().timers.find(id);
    if (it == S().timers.end())
        return FALSE;
    // From another thread, a running call of the procedure ends first.
    if (it->second.thread != GetCurrentThreadId())
        S().idle.wait(lock, [&] { return S().running.count(id) == 0; });
    S().timers.erase(id);
    return TRUE;
}

BOOL __wrap_PostThreadMessageW(DWORD thread, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* clock = g_clock.load();
    if (clock == nullptr)
        return __real_PostThreadMessageW(thread, message, wParam, lParam);
    // Under the lock, so that the records keep the order of the queue.
    std::lock_guard lock(S().mutex);
    if (!__real_PostThreadMessageW(thread, message, wParam, lParam))
        return FALSE;
    S().posted.push_back({thread, message, wParam, lParam, static_cast<DWORD>(clock->NowMs())});
    return TRUE;
}

BOOL __wrap_PeekMessageW(MSG* msg, HWND hwnd, UINT min, UINT max, UINT remove) {
    if (__real_PeekMessageW(msg, hwnd, min, max, remove)) {
        Stamp(msg, remove & PM_REMOVE);
        return TRUE;
    }
    return hwnd == nullptr && InFilter(WM_TIMER, min, max) && DueTimer(msg, remove & PM_REMOVE);
}

BOOL __wrap_GetMessageW(MSG* msg, HWND hwnd, UINT min, UINT max) {
    if (hwnd != nullptr)
        return __real_GetMessageW(msg, hwnd, min, max);
    HANDLE waker = ThreadWaker();
    for (;;) {
        if (__wrap_PeekMessageW(msg, hwnd, min, max, PM_REMOVE))
            return msg->message != WM_QUIT;
        if (g_clock.load() == nullptr && !HasTimers())
            return __real_GetMessageW(msg, hwnd, min, max);
        MsgWaitForMultipleObjectsEx(1, &waker, INFINITE, kQsAllPostMessage, kMwmoInputAvailable);
    }
}

LRESULT __wrap_DispatchMessageW(const MSG* msg) {
    if (msg == nullptr || msg->message != WM_TIMER || msg->hwnd != nullptr ||
        msg->wParam < kFirstTimerId)
        return __real_DispatchMessageW(msg);
    UINT_PTR id = msg->wParam;
    TIMERPROC proc;
    {
        std::lock_guard lock(S().mutex);
        auto it = S().timers.find(id);
        if (it == S().timers.end())
            return 0;  // killed after it was taken
        proc = it->second.proc;
        S().running.insert(id);
    }
    if (proc != nullptr)
        proc(nullptr, WM_TIMER, id, msg->time);
    std::lock_guard lock(S().mutex);
    S().running.erase(S().running.find(id));
    S().idle.notify_all();
    return 0;
}

HANDLE __wrap_CreateEventW(SECURITY_ATTRIBUTES* sa, BOOL manual, BOOL initial, LPCWSTR name) {
    return WithPrivateName(name,
                           [&](LPCWSTR n) { return __real_CreateEventW(sa, manual, initial, n); });
}

HANDLE __wrap_OpenEventW(DWORD access, BOOL inherit, LPCWSTR name) {
    return WithPrivateName(name, [&](LPCWSTR n) { return __real_OpenEventW(access, inherit, n); });
}

HANDLE __wrap_CreateMutexW(SECURITY_ATTRIBUTES* sa, BOOL owner, LPCWSTR name) {
    return WithPrivateName(name, [&](LPCWSTR n) { return __real_CreateMutexW(sa, owner, n); });
}

HRESULT __wrap_SHGetFolderPathW(HWND hwnd, int csidl, HANDLE token, DWORD flags, LPWSTR path) {
    const char* documents = std::getenv("ML_COMMON_DOCUMENTS");
    if (csidl != CSIDL_COMMON_DOCUMENTS || documents == nullptr || *documents == '\0')
        return __real_SHGetFolderPathW(hwnd, csidl, token, flags, path);
    std::u16string text = ml::FromUtf8(documents);
    if (path == nullptr || text.size() >= MAX_PATH)
        return E_FAIL;
    std::copy(text.c_str(), text.c_str() + text.size() + 1, path);
    return S_OK;
}

}  // extern "C"
