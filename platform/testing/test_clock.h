// A clock for tests, installed for its lifetime (one at a time): time moves
// only by Advance or Sleep, which wake the threads waiting in GetMessageW.
// Every member may be called from any thread.
#ifndef ML_PLATFORM_TESTING_TEST_CLOCK_H_
#define ML_PLATFORM_TESTING_TEST_CLOCK_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace ml::testing {

class TestClock : public ml::Clock {
  public:
    // Starts at `startMs` (not 0: a zero time stamp stands out), local time
    // 2026-01-05 08:00:00.000 (a Monday).
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
