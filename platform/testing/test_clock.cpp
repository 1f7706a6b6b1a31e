#include "platform/testing/test_clock.h"

#include <time.h>

namespace ml::testing {
namespace {

int64_t ToMs(const SYSTEMTIME& st) {
    struct tm t {};
    t.tm_year = st.wYear - 1900;
    t.tm_mon = st.wMonth - 1;
    t.tm_mday = st.wDay;
    t.tm_hour = st.wHour;
    t.tm_min = st.wMinute;
    t.tm_sec = st.wSecond;
    return static_cast<int64_t>(::timegm(&t)) * 1000 + st.wMilliseconds;
}

SYSTEMTIME FromMs(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm t;
    ::gmtime_r(&seconds, &t);
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(t.tm_year + 1900);
    st.wMonth = static_cast<WORD>(t.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
    st.wDay = static_cast<WORD>(t.tm_mday);
    st.wHour = static_cast<WORD>(t.tm_hour);
    st.wMinute = static_cast<WORD>(t.tm_min);
    st.wSecond = static_cast<WORD>(t.tm_sec);
    st.wMilliseconds = static_cast<WORD>(ms % 1000);
    return st;
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
