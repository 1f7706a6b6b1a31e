// A clock for tests: time moves only when the test says so. The constructor
// installs it (ml::SetClock), the destructor uninstalls it; one test clock
// at a time. Advance and Sleep wake every thread waiting in GetMessageW, so
// that it sees its timers due; Sleep on any thread moves the clock by that
// many milliseconds at once. Every member may be called from any thread.
#ifndef ML_PLATFORM_TESTING_TEST_CLOCK_H_
#define ML_PLATFORM_TESTING_TEST_CLOCK_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace ml::testing {

class TestClock : public ml::Clock {
  public:
    // Starts at `startMs` (not 0, so that a zero time stamp stands out) and
    // at the local time 2026-01-05 08:00:00.000 (a Monday).
    explicit TestClock(uint64_t startMs = 1'000'000);
    ~TestClock() override;
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    // Moves time forward and wakes the waiting message loops.
    void Advance(uint64_t ms);
    // The local time now; it moves on with Advance from here.
    void SetLocalTime(const SYSTEMTIME& local);

    uint64_t NowMs() override;
    void Sleep(uint32_t ms) override;
    void LocalTime(SYSTEMTIME* st) override;

  private:
    std::atomic<uint64_t> now_;
    std::mutex mutex_;
    int64_t localBaseMs_;  // local time at baseNow_, ms since 1970 (as if UTC)
    uint64_t baseNow_;
};

}  // namespace ml::testing

#endif  // ML_PLATFORM_TESTING_TEST_CLOCK_H_
