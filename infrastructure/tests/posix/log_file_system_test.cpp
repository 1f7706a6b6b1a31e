// POSIX only: the locale's code page, and links, FIFOs or planted files as logs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "infrastructure/log_file.h"
#include "infrastructure/testing/test_environment.h"
#include "infrastructure/tests/log_test_util.h"
#include "infrastructure/trace.h"

namespace {

namespace fs = std::filesystem;
using logtest::ErrorEntry;
using logtest::Header;
using mltest::InfraEnvironment;

using PosixLogTest = logtest::LogFixture;

TEST_F(PosixLogTest, EntriesUseTheAnsiCodePageOfTheLocale) {
    logtest::ScopedLocale latin1("de_DE.ISO-8859-1");
    env_.StartLogs();
    Trace(u"CTest::Run()", FALSE, TRUE,
          {TraceParam(u"name", 3, u"[IN]", u"M\u00FCller \u20AC \u4E2D")});
    EXPECT_EQ(InfraEnvironment::ReadFile(env_.ErrorLogPath()),
              ErrorEntry(Header("CTest::Run()"), "[IN] name = M\xFCller ? ?"));
    env_.StopLogs();

    // An unknown set: one error entry at the start, then UTF-8.
    logtest::ScopedLocale unknown("de_DE.NO-SUCH-SET");
    fs::remove(env_.ErrorLogPath());
    env_.StartLogs();
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"name", 3, u"[IN]", u"M\u00FCller")});
    EXPECT_EQ(
        InfraEnvironment::ReadFile(env_.ErrorLogPath()),
        ErrorEntry(Header("InitErrorLog()"),
                   "[ERROR]  = Character set of the locale unknown, UTF-8 used: 'NO-SUCH-SET'") +
            ErrorEntry(Header("CTest::Run()"), "[IN] name = M\xC3\xBCller"));
}

TEST_F(PosixLogTest, NothingInTheLogsPlaceIsWrittenThrough) {
    env_.StartLogs();
    // A link or a FIFO in the log's place: not followed, never blocks.
    const std::string target = env_.DiagnosticsDir() + "/target";
    InfraEnvironment::WriteFile(target, "keep");
    fs::create_symlink(target, env_.ErrorLogPath());
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_EQ(InfraEnvironment::ReadFile(target), "keep");
    fs::remove(env_.ErrorLogPath());
    ASSERT_EQ(::mkfifo(env_.ErrorLogPath().c_str(), 0600), 0);
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    fs::remove(env_.ErrorLogPath());
    if (::geteuid() == 0) {
        // Another user's file in a sticky folder is not written, though writable.
        ASSERT_EQ(::chmod(env_.DiagnosticsDir().c_str(), 01777), 0);
        InfraEnvironment::WriteFile(env_.ErrorLogPath(), "planted");
        ASSERT_EQ(::chmod(env_.ErrorLogPath().c_str(), 0666), 0);
        ASSERT_EQ(::chown(env_.ErrorLogPath().c_str(), 65534, 65534), 0);
        EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
        EXPECT_EQ(InfraEnvironment::ReadFile(env_.ErrorLogPath()), "planted");
        ASSERT_EQ(::chmod(env_.DiagnosticsDir().c_str(), 0755), 0);
        EXPECT_TRUE(theErrorFile.Write(u"h", u"l", FALSE)) << "outside a sticky folder it is used";
    } else {
        std::printf("not root: the planted-file case of another user is skipped\n");
    }
}

}  // namespace
