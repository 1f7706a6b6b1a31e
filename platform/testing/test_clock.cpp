#include "platform/testing/test_clock.h"

#include <chrono>

namespace ml::testing {
namespace {

using namespace std::chrono;

int64_t ToMs(const SYSTEMTIME& st) {
    sys_days day{year{st.wYear} / st.wMonth / st.wDay};
    auto time = hours{st.wHour} + minutes{st.wMinute} + seconds{st.wSecond};
    return duration_cast<milliseconds>(day.time_since_epoch() + time).count() + st.wMilliseconds;
}

SYSTEMTIME FromMs(int64_t ms) {
    sys_time<milliseconds> at{milliseconds{ms}};
    sys_days day = floor<days>(at);
    year_month_day date{day};
    hh_mm_ss time{at - day};
    auto w = [](auto value) { return static_cast<WORD>(value); };
    return SYSTEMTIME{w(int{date.year()}),          w(unsigned{date.month()}),
                      w(weekday{day}.c_encoding()), w(unsigned{date.day()}),
                      w(time.hours().count()),      w(time.minutes().count()),
                      w(time.seconds().count()),    w(time.subseconds().count())};
}

}  // namespace

TestClock::TestClock(uint64_t startMs) : now_(startMs), baseNow_(startMs) {
    localBaseMs_ = ToMs(SYSTEMTIME{2026, 1, 1, 5, 8, 0, 0, 0});
    ml::SetClock(this);
}

TestClock::~TestClock() {
    ml::SetClock(nullptr);
}

void TestClock::Advance(uint64_t ms) {
    now_.fetch_add(ms);
    ml::NotifyClockChanged();
}

void TestClock::SetLocalTime(const SYSTEMTIME& local) {
    std::lock_guard lock(mutex_);
    localBaseMs_ = ToMs(local);
    baseNow_ = now_.load();
}

uint64_t TestClock::NowMs() {
    return now_.load();
}

void TestClock::Sleep(uint32_t ms) {
    Advance(ms);
}

void TestClock::LocalTime(SYSTEMTIME* st) {
    std::lock_guard lock(mutex_);
    *st = FromMs(localBaseMs_ + static_cast<int64_t>(now_.load() - baseNow_));
}

}  // namespace ml::testing
