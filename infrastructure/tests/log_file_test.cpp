// The debug and error logs: layout, switch, rotation, start-up, failures, threads.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <cstdio>

#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/log_file_internal.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "infrastructure/trace.h"
#include "log_test_util.h"
#include "platform/codepage.h"
#include "platform/lasterror.h"

namespace {

namespace fs = std::filesystem;
using logtest::DebugEntry;
using logtest::ErrorEntry;
using logtest::Header;
using ml::FromUtf8;
using ml::ToUtf8;
using mltest::InfraEnvironment;

const std::string kBanner = "***************** MLCARDMANX - Debugfile ***********************\r\n";

// One report of CTest::Run() with the parameter "n", to the error log only.
void TraceN(int n) {
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", n)});
}
std::string EntryN(int n) {
    return ErrorEntry(Header("CTest::Run()"), "[IN] n = " + std::to_string(n));
}

class LogTest : public logtest::LogFixture {
  protected:
    // Reads the error log and removes it.
    std::string TakeErrorLog() {
        std::string log = ErrorLog();
        fs::remove(env_.ErrorLogPath());
        return log;
    }
    // Writes "mldebug.ini" with a time stamp and asks the switch.
    bool Switch(const char* content, long stamp) {
        const std::string path = env_.SettingsDir() + "mldebug.ini";
        InfraEnvironment::WriteFile(path, content);
        InfraEnvironment::SetModificationTime(path, stamp);
        return theDebugFile.IsTraceOn();
    }
    std::string OldName(const std::u16string& path) { return ToUtf8(ml_infra::OldLogName(path)); }
};

TEST_F(LogTest, EntriesAreLaidOutByteForByte) {
    env_.StartLogs();
    Trace(u"CTest::Run()", theDebugFile.IsTraceOn(), TRUE,
          {TraceParam(u"p_strName", 3, u"[IN]", u"M\u0080ller"),
           TraceParam(u"dwError", 0, u"[ERROR]", DWORD{5}), TraceParam(u"hr", 1, u"[RET]", 0x1F)});
    const std::string header = Header("CTest::Run()");
    // In the ANSI code page, even when the only non-ASCII character is the first.
    const std::string lines[] = {"[IN] p_strName = " + ml::ToAnsi(u"M\u0080ller"),
                                 "[ERROR] dwError = 5", "[RET] hr = 0x1f"};
    std::string debug = DebugEntry(kBanner, ""), error;
    for (const std::string& line : lines) {
        debug += DebugEntry(header, line);
        error += ErrorEntry(header, line);
    }
    EXPECT_EQ(DebugLog(), debug);
    EXPECT_EQ(ErrorLog(), error);
}

TEST_F(LogTest, ErrorHelpersKeepTheLastError) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    const std::string header = Header("CTest::Op()");
    auto expected = [&](const std::string& line) {
        return ErrorEntry("", "", true) + ErrorEntry(header, "[ERROR]  = " + line);
    };
    CCmnErrorHandler::LogError(u"CTest::Op()", u"bad thing", 0x7FFFFFFF);
    EXPECT_EQ(TakeErrorLog(), expected("Error=2147483647 bad thing"));

    const std::string text2 = ToUtf8(CCmnErrorHandler::GetSystemErrorText(2));
    EXPECT_TRUE(text2.starts_with("\n   \"") && text2.ends_with("\" [2]") && text2.size() > 10)
        << text2;
    SetLastError(2);
    CCmnErrorHandler::LogLastError(u"CTest::Op()");
    EXPECT_EQ(GetLastError(), 2u) << "reporting keeps the last error";
    EXPECT_EQ(TakeErrorLog(), expected("Last Error=2 '" + text2 + "'"));

    fs::remove(env_.SettingsDir() + "mldebug.ini");
    SetLastError(1234);
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    Trace(u"CTest::Run()", TRUE, TRUE, {TraceParam(u"x", 0, u"[IN]", 1)});
    TraceSeparator(1, 1);
    EXPECT_EQ(GetLastError(), 1234u) << "reports and switch queries keep the last error";
}

TEST_F(LogTest, SwitchFollowsTheFileOnlyWhenItsTimeStampAdvances) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    EXPECT_FALSE(InfraEnvironment::Exists(env_.DebugLogPath())) << "no banner while off";
    const char* on = "[LogonDevice]\r\nDebug=1\r\n";
    const char* off = "[LogonDevice]\r\nDebug=0\r\n";
    EXPECT_FALSE(Switch(on, 100)) << "same time stamp: not read again";
    EXPECT_TRUE(Switch(on, 200));
    EXPECT_TRUE(Switch(off, 150)) << "older: not read";
    EXPECT_FALSE(Switch(off, 300));
    EXPECT_TRUE(Switch("[logondevice]\ndebug=5\n", 400));
    EXPECT_FALSE(Switch("[LogonDevice]\nDebug=on\n", 500)) << "not a number: 0";
    EXPECT_FALSE(Switch("[Other]\nDebug=1\n", 700)) << "missing key: default 0";
    EXPECT_EQ(theDebugFile.GetDebugSettingsPath(), FromUtf8(env_.SettingsDir() + "mldebug.ini"));
    // An unreadable file or a missing one keeps the last state.
    EXPECT_TRUE(Switch(on, 800));
    EXPECT_TRUE(Switch("\xEF\xBB\xBF[LogonDevice]\nDebug=0\n", 900));
    fs::remove(env_.SettingsDir() + "mldebug.ini");
    EXPECT_TRUE(theDebugFile.IsTraceOn());

    // Switched on later: reports go to the debug log, the banner does not.
    Trace(u"CTest::Run()", theDebugFile.IsTraceOn(), FALSE, {TraceParam(u"x", 0, u"[IN]", 1)});
    EXPECT_EQ(DebugLog(), DebugEntry(Header("CTest::Run()"), "[IN] x = 1"));
}

TEST_F(LogTest, StartUpMovesThePreviousRunAsideUnderNamesWithTheSession) {
    EXPECT_EQ(ml_infra::SessionLogName(1, u"mlcardmanx_debug.log"), u"s1_mlcardmanx_debug.log");
    EXPECT_EQ(OldName(u"/d.log/x/s1_mlcardmanx_error.log"),
              "/d_old.log/x/s1_mlcardmanx_error_old.log");
    EXPECT_EQ(OldName(u"/x/name"), "/x/name");
    InfraEnvironment::WriteFile(env_.DebugLogPath(), "previous debug");
    InfraEnvironment::WriteFile(env_.ErrorLogPath(), "previous error");
    env_.StartLogs();
    EXPECT_EQ(ToUtf8(theDebugFile.GetLogPath()), env_.DebugLogPath());
    EXPECT_EQ(InfraEnvironment::ReadFile(OldName(theDebugFile.GetLogPath())), "previous debug");
    EXPECT_EQ(InfraEnvironment::ReadFile(OldName(theErrorFile.GetLogPath())), "previous error");
    EXPECT_EQ(DebugLog(), DebugEntry(kBanner, ""));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));
    // Without the registry's release the banner's brackets stay empty.
    env_.StopLogs();
    env_.RemoveRegistryValue(InfraEnvironment::kInstallKey, "Release");
    env_.StartLogs();
    EXPECT_EQ(DebugLog().substr(0, 4), "\r\n[]");
}

TEST_F(LogTest, LogAboveOneMebibyteIsRotatedBeforeTheNextEntry) {
    env_.StartLogs();
    const std::string oldPath = OldName(theErrorFile.GetLogPath());
    const std::string full(0x100000, 'a');
    InfraEnvironment::WriteFile(oldPath, "earlier generation");
    InfraEnvironment::WriteFile(env_.ErrorLogPath(), full);
    TraceN(1);  // exactly 1 MiB: not yet
    EXPECT_EQ(ErrorLog(), full + EntryN(1));
    EXPECT_EQ(InfraEnvironment::ReadFile(oldPath), "earlier generation");
    // Now above: moved to the old name, replacing it; a fresh file follows.
    TraceN(2);
    EXPECT_EQ(InfraEnvironment::ReadFile(oldPath), full + EntryN(1));
    EXPECT_EQ(ErrorLog(), EntryN(2));
}

TEST_F(LogTest, RotationThatCannotCopyStaysBounded) {
    // In a folder "Diag.logs" the old name lies in a missing folder: every copy fails.
    env_.WriteInstallSettings("[ProductSubpath]\nDiagnostics=Diag.logs/\n");
    fs::create_directories(env_.DocumentsDir() + "/Diag.logs");
    env_.StartLogs();
    const std::string path = ToUtf8(theErrorFile.GetLogPath());
    ASSERT_EQ(path.rfind(env_.DocumentsDir() + InfraEnvironment::Native("/Diag.logs/"), 0), 0u);
    // The log starts afresh instead of growing (and being copied) for ever.
    InfraEnvironment::WriteFile(path, std::string(0x100001, 'b'));
    TraceN(1);
    EXPECT_EQ(InfraEnvironment::ReadFile(path), EntryN(1));
    const std::string full(0x100000, 'c');
    InfraEnvironment::WriteFile(path, full);
    for (int n = 2; n < 5; ++n)
        TraceN(n);
    EXPECT_EQ(InfraEnvironment::ReadFile(path), EntryN(3) + EntryN(4));
}

TEST_F(LogTest, FailuresDropEntries) {
    // Before the start and after the shut-down nothing is written.
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    env_.StartLogs();
    EXPECT_TRUE(theErrorFile.Write(u"h", u"l", FALSE));
    env_.StopLogs();
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    Trace(u"CTest::Late()", TRUE, TRUE, {});
    EXPECT_EQ(ErrorLog(), ErrorEntry("h", "l"));

    env_.StartLogs();
    fs::remove_all(env_.DiagnosticsDir());
    Trace(u"CTest::Run()", TRUE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.DiagnosticsDir())) << "no folder is made";
    fs::create_directories(env_.ErrorLogPath());  // a folder named like the log
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    TraceN(1);
    EXPECT_TRUE(fs::is_directory(env_.ErrorLogPath()));
    fs::remove(env_.ErrorLogPath());
    env_.StopLogs();

    // An unknown folder never means the current directory.
    env_.RemoveInstallPath();
    env_.StartLogs();
    EXPECT_EQ(theErrorFile.GetLogPath(), u"");
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(
        InfraEnvironment::Exists(ToUtf8(ml_infra::SessionLogName(0, u"mlcardmanx_error.log"))));
}

TEST_F(LogTest, ManyThreadsAcrossARotationLeaveWholeEntriesOnly) {
    env_.StartLogs();
    constexpr int kThreads = 8, kEntries = 100;
    const std::string padding(1500, 'p');  // 800 entries of 1.56 KB: one rotation
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kEntries; ++i) {
                char tag[32];
                std::snprintf(tag, sizeof tag, "T%d-%d-", t, i);
                Trace(u"CThread::Run()", FALSE, TRUE,
                      {TraceParam(u"n", 3, u"[INFO]", FromUtf8(tag + padding))});
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::string oldPath = OldName(theErrorFile.GetLogPath());
    ASSERT_TRUE(InfraEnvironment::Exists(oldPath)) << "the test needs one rotation";
    // Both files hold whole entries only, each once.
    const std::string all = InfraEnvironment::ReadFile(oldPath) + ErrorLog();
    const std::string prefix = std::string("\r\n") + logtest::kDate + " " + logtest::kTime +
                               " - CThread::Run() \t\t\t[ThreadID: ";
    const std::regex entry("-?\\d+\\]\r\n\t\t\t\\[INFO\\] n = (T\\d+-\\d+)-" + padding);
    std::set<std::string> seen;
    for (size_t pos = 0, next = 0; pos < all.size(); pos = next) {
        next = std::min(all.find(prefix, pos + 1), all.size());
        const std::string text = all.substr(pos + prefix.size(), next - pos - prefix.size());
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, entry)) << "entry broken at " << pos;
        EXPECT_TRUE(seen.insert(match[1]).second) << "entry " << match[1] << " twice";
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries)) << "entries were lost";
}

TEST_F(LogTest, SecretScanFindsAPasswordWrittenToALog) {
    env_.StartLogs();
    Trace(u"CTest::Login()", TRUE, TRUE,
          {TraceParam(u"p_strUser", 3, u"[IN]", u"operator"),
           TraceParam(u"p_strPassword", 3, u"[IN]", u"***")});
    const std::string dir = env_.DiagnosticsDir();
    EXPECT_EQ(mltest::ExpectNoSecretInLogs(dir, u"S3cr\u00E9t!"), 2u);
    Trace(u"CTest::Leak()", FALSE, TRUE,
          {TraceParam(u"p_strPassword", 3, u"[IN]", u"S3cr\u00E9t!")});
    EXPECT_NONFATAL_FAILURE(mltest::ExpectNoSecretInLogs(dir, u"S3cr\u00E9t!"),
                            "a password was written to");
    EXPECT_NONFATAL_FAILURE(mltest::ExpectNoSecretInLogs(dir, u""), "non-empty secret");
}

}  // namespace
