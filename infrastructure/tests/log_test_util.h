// Shared helpers of the log tests.
#ifndef ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_
#define ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_

#include <cstdlib>
#include <string>

#include "infrastructure/trace.h"
#include "platform/clock.h"
#include "platform/message.h"
#include "platform/testing/test_clock.h"

namespace logtest {

// Local time of every entry written under a FixedClock.
inline constexpr char kDate[] = "03/07/26";
inline constexpr char kTime[] = "09:05:03";

class FixedClock {
  public:
    FixedClock() {
        SYSTEMTIME t{};
        t.wYear = 2026;
        t.wMonth = 3;
        t.wDayOfWeek = 6;
        t.wDay = 7;
        t.wHour = 9;
        t.wMinute = 5;
        t.wSecond = 3;
        clock_.SetLocalTime(t);
    }

  private:
    ml::testing::TestClock clock_;
};

// The locale's character set decides the ANSI code page; "C" counts as UTF-8.
class ScopedLocale {
  public:
    explicit ScopedLocale(const char* value) {
        const char* old = std::getenv("LC_ALL");
        had_ = old != nullptr;
        old_ = old ? old : "";
        setenv("LC_ALL", value, 1);
    }
    ~ScopedLocale() {
        if (had_) {
            setenv("LC_ALL", old_.c_str(), 1);
        } else {
            unsetenv("LC_ALL");
        }
    }

  private:
    bool had_;
    std::string old_;
};

inline std::string ThreadId() {
    return std::to_string(static_cast<int32_t>(GetCurrentThreadId()));
}

inline std::string DebugEntry(const std::string& header, const std::string& line,
                              bool leadingEmptyLine = false) {
    return std::string(leadingEmptyLine ? "\r\n" : "") + "\r\n[7.4.1] " + kDate + " " + kTime +
           " - " + header + "\r\n\t\t\t\t\t\t" + line;
}

inline std::string ErrorEntry(const std::string& header, const std::string& line,
                              bool leadingEmptyLine = false) {
    return std::string(leadingEmptyLine ? "\r\n" : "") + "\r\n" + kDate + " " + kTime + " - " +
           header + "\r\n\t\t\t" + line;
}

inline std::string Header(const std::string& method) {
    return method + " \t\t\t[ThreadID: " + ThreadId() + "]";
}

}  // namespace logtest

#endif  // ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_
