/* The platform clock: the one source of time for thread timers, pauses and
 * log time stamps.
 *
 * Normally the system's monotonic clock and local time. A test installs a
 * clock of its own (platform/testing/test_clock.h) and advances it by hand;
 * then timers, Sleep and local time follow it, so that tests of 250 ms
 * passes, pauses and retries run without waiting and in a fixed order.
 *
 * Windows: the system's clock (kernel32) and timers (user32). The module
 * and its components always use them. ml::SetClock and ml::NotifyClockChanged
 * exist only in test programs, from mlplatform_testing: the linker routes
 * the program's own calls of the clock, Sleep, the thread timers and the
 * message retrieval through the installed clock
 * (platform/testing/win32/routing.cpp); DLLs the program loads keep the
 * system's clock. There WM_QUIT comes before a due timer, as Windows orders
 * them.
 */
#ifndef ML_PLATFORM_CLOCK_H_
#define ML_PLATFORM_CLOCK_H_

#include "platform/windef.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

ML_EXTERN_C_BEGIN
/* Milliseconds of the monotonic platform clock. */
ML_PLATFORM_API ULONGLONG WINAPI GetTickCount64(void);
/* Pauses the calling thread for `ms` milliseconds of the platform clock. */
ML_PLATFORM_API void WINAPI Sleep(DWORD ms);
/* The local date and time of the platform clock. */
ML_PLATFORM_API void WINAPI GetLocalTime(SYSTEMTIME* st);
ML_EXTERN_C_END

#ifdef __cplusplus
namespace ml {

// A replacement clock. Install with SetClock; nullptr restores the system
// clock. The installed object must outlive its installation. Implementations
// must be thread-safe.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t NowMs() = 0;
    // Called by Sleep on the sleeping thread.
    virtual void Sleep(uint32_t ms) = 0;
    virtual void LocalTime(SYSTEMTIME* st) = 0;
};

ML_PLATFORM_API void SetClock(Clock* clock);

// Wakes every thread waiting in GetMessageW so that it looks at the clock
// again. A replacement clock calls this after it moved time forward.
ML_PLATFORM_API void NotifyClockChanged();

}  // namespace ml
#endif

#endif /* ML_PLATFORM_CLOCK_H_ */
