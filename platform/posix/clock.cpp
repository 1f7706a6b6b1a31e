#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/posix/internal.h"

namespace {
std::atomic<ml::Clock*> g_clock{nullptr};
}

namespace ml::posix {

uint64_t SystemNowMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool ClockReplaced() {
    return g_clock.load(std::memory_order_acquire) != nullptr;
}

}  // namespace ml::posix

extern "C" {

ULONGLONG GetTickCount64(void) {
    if (auto* clock = g_clock.load(std::memory_order_acquire))
        return clock->NowMs();
    return ml::posix::SystemNowMs();
}

void Sleep(DWORD ms) {
    if (auto* clock = g_clock.load(std::memory_order_acquire))
        return clock->Sleep(ms);
    struct timespec ts {
        static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L
    };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void GetLocalTime(SYSTEMTIME* st) {
    if (st == nullptr)
        return;
    if (auto* clock = g_clock.load(std::memory_order_acquire))
        return clock->LocalTime(st);
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    ::localtime_r(&ts.tv_sec, &local);
    st->wYear = static_cast<WORD>(local.tm_year + 1900);
    st->wMonth = static_cast<WORD>(local.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st->wDay = static_cast<WORD>(local.tm_mday);
    st->wHour = static_cast<WORD>(local.tm_hour);
    st->wMinute = static_cast<WORD>(local.tm_min);
    st->wSecond = static_cast<WORD>(local.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // extern "C"

namespace ml {

void SetClock(Clock* clock) {
    g_clock.store(clock, std::memory_order_release);
    // Waiting threads re-arm their timers against the new clock.
    posix::WakeAllQueues();
}

}  // namespace ml
