// Shared helpers of the log tests.
#ifndef ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_
#define ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>

#include "infrastructure/testing/test_environment.h"
#include "platform/message.h"
#include "platform/testing/test_clock.h"
#include "platform/tests/scoped_env.h"

namespace logtest {

// Local time of every entry a LogFixture writes.
inline constexpr char kDate[] = "03/07/26";
inline constexpr char kTime[] = "09:05:03";

// The locale's character set decides the ANSI code page; "C" counts as UTF-8.
struct ScopedLocale : ml::test::ScopedEnv {
    explicit ScopedLocale(const char* value) : ScopedEnv("LC_ALL", value) {}
};

// Logs under a fixed clock and the "C" locale, with the debug log on.
struct LogFixture : ::testing::Test {
    void SetUp() override {
        clock_.SetLocalTime(SYSTEMTIME{2026, 3, 6, 7, 9, 5, 3, 0});
        env_.WriteDebugIni(true, 100);
    }
    std::string DebugLog() const { return mltest::InfraEnvironment::ReadFile(env_.DebugLogPath()); }
    std::string ErrorLog() const { return mltest::InfraEnvironment::ReadFile(env_.ErrorLogPath()); }
    ScopedLocale locale_{"C"};
    ml::testing::TestClock clock_;
    mltest::InfraEnvironment env_;
};

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
    return method +
           " \t\t\t[ThreadID: " + std::to_string(static_cast<int32_t>(GetCurrentThreadId())) + "]";
}

}  // namespace logtest

#endif  // ML_INFRASTRUCTURE_TESTS_LOG_TEST_UTIL_H_
