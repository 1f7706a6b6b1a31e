// The debug and error logs: entry layout byte for byte, separators, the
// switch in "mldebug.ini", rotation, start-up, failures that drop entries,
// and many threads at once.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "infrastructure/trace.h"
#include "log_test_util.h"
#include "platform/codepage.h"
#include "platform/lasterror.h"

namespace {

using logtest::DebugEntry;
using logtest::ErrorEntry;
using logtest::Header;
using mltest::InfraEnvironment;

const std::string kBanner = "***************** MLCARDMANX - Debugfile ***********************\r\n";

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { env_.WriteDebugIni(true, 100); }

    std::string DebugLog() const { return InfraEnvironment::ReadFile(env_.DebugLogPath()); }
    std::string ErrorLog() const { return InfraEnvironment::ReadFile(env_.ErrorLogPath()); }

    logtest::ScopedLocale locale_{"C"};
    logtest::FixedClock clock_;
    InfraEnvironment env_;
};

TEST_F(LogTest, EntriesAreLaidOutByteForByte) {
    env_.StartLogs();
    Trace(u"CTest::Run()", theDebugFile.IsTraceOn(), TRUE,
          {TraceParam(u"p_strName", 3, u"[IN]", u"M\u00FCller"),
           TraceParam(u"dwError", 0, u"[ERROR]", DWORD{5}), TraceParam(u"hr", 1, u"[RET]", 0x1F)});
    const std::string header = Header("CTest::Run()");
    EXPECT_EQ(DebugLog(), DebugEntry(kBanner, "") +
                              DebugEntry(header, "[IN] p_strName = M\xC3\xBCller") +
                              DebugEntry(header, "[ERROR] dwError = 5") +
                              DebugEntry(header, "[RET] hr = 0x1f"));
    EXPECT_EQ(ErrorLog(), ErrorEntry(header, "[IN] p_strName = M\xC3\xBCller") +
                              ErrorEntry(header, "[ERROR] dwError = 5") +
                              ErrorEntry(header, "[RET] hr = 0x1f"));
}

TEST_F(LogTest, SeparatorsAndReportsWithoutGroups) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    TraceSeparator(1, 1);
    TraceErrorSeparator(1, 1);
    TraceSeparator(2, 0);  // acts only on 1
    TraceErrorSeparator(0, 7);
    Trace(u"CTest::Empty()", TRUE, TRUE, {});
    Trace(u"CTest::Nowhere()", FALSE, FALSE, {TraceParam(u"x", 0, u"[IN]", 1)});
    const std::string header = Header("CTest::Empty()");
    EXPECT_EQ(DebugLog(), DebugEntry("", "") + DebugEntry("", "", true) + DebugEntry(header, ""));
    EXPECT_EQ(ErrorLog(), ErrorEntry("", "") + ErrorEntry("", "", true) + ErrorEntry(header, ""));
}

TEST_F(LogTest, NoReportAtAllWritesNoFile) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    Trace(u"CTest::Nowhere()", FALSE, FALSE, {TraceParam(u"x", 0, u"[IN]", 1)});
    EXPECT_FALSE(InfraEnvironment::Exists(env_.DebugLogPath()));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));
}

TEST_F(LogTest, ReleaseIsEmptyWithoutRegistryValue) {
    env_.RemoveRegistryValue("SOFTWARE\\Kestrel\\APPSW\\MorlindLogon", "Release");
    env_.StartLogs();
    EXPECT_EQ(DebugLog(), "\r\n[] " + std::string(logtest::kDate) + " " + logtest::kTime + " - " +
                              kBanner + "\r\n\t\t\t\t\t\t");
}

TEST_F(LogTest, EntriesAreWrittenInTheAnsiCodePage) {
    logtest::ScopedLocale latin1("de_DE.ISO-8859-1");
    env_.StartLogs();
    Trace(u"CTest::Run()", FALSE, TRUE,
          {TraceParam(u"name", 3, u"[IN]", u"M\u00FCller \u20AC \u4E2D")});
    EXPECT_EQ(ErrorLog(), ErrorEntry(Header("CTest::Run()"), "[IN] name = M\xFCller ? ?"));
}

TEST_F(LogTest, ErrorHelpers) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    const std::string header = Header("CTest::Op()");
    CCmnErrorHandler::LogError(u"CTest::Op()", u"bad thing", 0x7FFFFFFF);
    EXPECT_EQ(ErrorLog(), ErrorEntry("", "", true) +
                              ErrorEntry(header, "[ERROR]  = Error=2147483647 bad thing"));
    std::filesystem::remove(env_.ErrorLogPath());

    const std::string text2 = ml::ToUtf8(CCmnErrorHandler::GetSystemErrorText(2));
    ASSERT_FALSE(text2.empty());
    EXPECT_EQ(text2.substr(0, 5), "\n   \"");
    EXPECT_EQ(text2.substr(text2.size() - 5), "\" [2]");
    SetLastError(2);
    CCmnErrorHandler::LogLastError(u"CTest::Op()");
    EXPECT_EQ(GetLastError(), 2u) << "reporting keeps the last error";
    EXPECT_EQ(ErrorLog(), ErrorEntry("", "", true) +
                              ErrorEntry(header, "[ERROR]  = Last Error=2 '" + text2 + "'"));
    std::filesystem::remove(env_.ErrorLogPath());

    CComError error(static_cast<HRESULT>(0x80004005));
    CCmnErrorHandler::LogComError(u"CTest::Op()", error);
    EXPECT_EQ(ErrorLog(),
              ErrorEntry("", "", true) +
                  ErrorEntry(header, "[ERROR]  = Exception(_com_error): hr=0x80004005 '" +
                                         ml::ToUtf8(error.ErrorMessage()) + "'"));
    EXPECT_EQ(ml::ToUtf8(CComError(0x0BADC0DE).ErrorMessage()), "Unknown error 0x0BADC0DE");
}

TEST_F(LogTest, LastErrorSurvivesReportsAndSwitchQueries) {
    env_.StartLogs();
    std::filesystem::remove(env_.SettingsDir() + "mldebug.ini");
    SetLastError(1234);
    EXPECT_TRUE(theDebugFile.IsTraceOn());
    Trace(u"CTest::Run()", TRUE, TRUE, {TraceParam(u"x", 0, u"[IN]", 1)});
    TraceSeparator(1, 1);
    EXPECT_EQ(GetLastError(), 1234u);
}

// ---- the switch ----

TEST_F(LogTest, SwitchFollowsTheFileOnlyWhenItsTimeStampAdvances) {
    env_.WriteDebugIni(false, 100);
    env_.StartLogs();
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    EXPECT_FALSE(InfraEnvironment::Exists(env_.DebugLogPath())) << "no banner while off";

    env_.WriteDebugIni(true, 100);  // same time stamp: not read again
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    env_.WriteDebugIni(true, 200);
    EXPECT_TRUE(theDebugFile.IsTraceOn());
    env_.WriteDebugIni(false, 150);  // older: not read
    EXPECT_TRUE(theDebugFile.IsTraceOn());
    env_.WriteDebugIni(false, 300);
    EXPECT_FALSE(theDebugFile.IsTraceOn());

    // An unreadable file or a missing one keeps the last state.
    env_.WriteDebugIni(true, 400);
    EXPECT_TRUE(theDebugFile.IsTraceOn());
    InfraEnvironment::WriteFile(env_.SettingsDir() + "mldebug.ini",
                                "\xEF\xBB\xBF[LogonDevice]\nDebug=0\n");
    InfraEnvironment::SetModificationTime(env_.SettingsDir() + "mldebug.ini", 500);
    EXPECT_TRUE(theDebugFile.IsTraceOn());
    std::filesystem::remove(env_.SettingsDir() + "mldebug.ini");
    EXPECT_TRUE(theDebugFile.IsTraceOn());

    // Switched on later: reports go to the debug log, the banner does not.
    Trace(u"CTest::Run()", theDebugFile.IsTraceOn(), FALSE, {TraceParam(u"x", 0, u"[IN]", 1)});
    EXPECT_EQ(DebugLog(), DebugEntry(Header("CTest::Run()"), "[IN] x = 1"));
}

TEST_F(LogTest, SwitchValuesAndNames) {
    env_.StartLogs();
    auto set = [&](const char* content, long stamp) {
        InfraEnvironment::WriteFile(env_.SettingsDir() + "mldebug.ini", content);
        InfraEnvironment::SetModificationTime(env_.SettingsDir() + "mldebug.ini", stamp);
        return theDebugFile.IsTraceOn();
    };
    EXPECT_TRUE(set("[logondevice]\ndebug=5\n", 200));
    EXPECT_FALSE(set("[LogonDevice]\nDebug=on\n", 300)) << "not a number: 0";
    EXPECT_TRUE(set("[LogonDevice]\nDebug=-1\n", 400));
    EXPECT_FALSE(set("[Other]\nDebug=1\n", 500)) << "missing key: default 0";
    EXPECT_EQ(theDebugFile.GetDebugSettingsPath(),
              ml::FromUtf8(env_.SettingsDir() + "mldebug.ini"));
}

TEST_F(LogTest, BeforeInitAndAfterCleanupNothingIsWritten) {
    theDebugFile.Cleanup();
    theErrorFile.Cleanup();
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(theDebugFile.IsTraceOn());
    env_.StartLogs();
    EXPECT_TRUE(theErrorFile.Write(u"h", u"l", FALSE));
    env_.StopLogs();
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    Trace(u"CTest::Late()", TRUE, TRUE, {});
    EXPECT_EQ(ErrorLog(), ErrorEntry("h", "l"));
}

// ---- start-up and rotation ----

TEST_F(LogTest, StartUpMovesThePreviousRunAside) {
    InfraEnvironment::WriteFile(env_.DebugLogPath(), "previous debug");
    InfraEnvironment::WriteFile(env_.ErrorLogPath(), "previous error");
    env_.StartLogs();
    EXPECT_EQ(ml::ToUtf8(theDebugFile.GetLogPath()), env_.DebugLogPath());
    EXPECT_EQ(
        InfraEnvironment::ReadFile(ml::ToUtf8(ml_infra::OldLogName(theDebugFile.GetLogPath()))),
        "previous debug");
    EXPECT_EQ(
        InfraEnvironment::ReadFile(ml::ToUtf8(ml_infra::OldLogName(theErrorFile.GetLogPath()))),
        "previous error");
    EXPECT_EQ(DebugLog(), DebugEntry(kBanner, ""));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));
}

TEST_F(LogTest, LogNamesCarryTheSession) {
    EXPECT_EQ(ml_infra::SessionLogName(1, u"mlcardmanx_debug.log"), u"s1_mlcardmanx_debug.log");
    EXPECT_EQ(ml_infra::OldLogName(u"/d.log/x/s1_mlcardmanx_error.log"),
              u"/d_old.log/x/s1_mlcardmanx_error_old.log");
    EXPECT_EQ(ml_infra::OldLogName(u"/x/name"), u"/x/name");
    env_.StartLogs();
    const std::string name = env_.DebugLogPath().substr(env_.DiagnosticsDir().size());
    EXPECT_EQ(name.substr(0, 1), "s");
    EXPECT_NE(name.find("_mlcardmanx_debug.log"), std::string::npos);
}

TEST_F(LogTest, LogAboveOneMebibyteIsRotatedBeforeTheNextEntry) {
    env_.StartLogs();
    const std::string path = env_.ErrorLogPath();
    const std::string oldPath = ml::ToUtf8(ml_infra::OldLogName(ml::FromUtf8(path)));
    InfraEnvironment::WriteFile(oldPath, "earlier generation");

    // Exactly 1 MiB: not yet.
    InfraEnvironment::WriteFile(path, std::string(0x100000, 'a'));
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    const std::string entry1 = ErrorEntry(Header("CTest::Run()"), "[IN] n = 1");
    EXPECT_EQ(ErrorLog(), std::string(0x100000, 'a') + entry1);
    EXPECT_EQ(InfraEnvironment::ReadFile(oldPath), "earlier generation");

    // Now above: moved to the old name, replacing it; a fresh file follows.
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", 2)});
    EXPECT_EQ(InfraEnvironment::ReadFile(oldPath), std::string(0x100000, 'a') + entry1);
    EXPECT_EQ(ErrorLog(), ErrorEntry(Header("CTest::Run()"), "[IN] n = 2"));
}

TEST_F(LogTest, RotationThatCannotCopyKeepsTheLog) {
    // A Diagnostics folder whose name holds ".log": the old name points into
    // a folder that does not exist, so the copy fails and nothing is deleted.
    env_.WriteInstallSettings("[ProductSubpath]\nDiagnostics=Diag.logs/\n");
    std::filesystem::create_directories(env_.DocumentsDir() + "/Diag.logs");
    env_.StartLogs();
    const std::string path = ml::ToUtf8(theErrorFile.GetLogPath());
    ASSERT_EQ(path.substr(0, env_.DocumentsDir().size() + 11), env_.DocumentsDir() + "/Diag.logs/");
    EXPECT_NE(ml_infra::OldLogName(theErrorFile.GetLogPath()).find(u"/Diag_old.logs/"),
              std::u16string::npos);
    const std::string big(0x100001, 'b');
    InfraEnvironment::WriteFile(path, big);
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    EXPECT_EQ(InfraEnvironment::ReadFile(path),
              big + ErrorEntry(Header("CTest::Run()"), "[IN] n = 1"));
}

// ---- failures drop entries silently ----

TEST_F(LogTest, MissingDirectoryOrFolderInPlaceOfTheFileDropsEntries) {
    env_.StartLogs();
    std::filesystem::remove_all(env_.DiagnosticsDir());
    Trace(u"CTest::Run()", TRUE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.DiagnosticsDir()));

    std::filesystem::create_directories(env_.ErrorLogPath());  // a folder named like the log
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    EXPECT_TRUE(std::filesystem::is_directory(env_.ErrorLogPath()));
}

TEST_F(LogTest, UnknownDirectoryNeverWritesIntoTheCurrentDirectory) {
    env_.RemoveInstallPath();
    env_.StartLogs();
    EXPECT_EQ(theErrorFile.GetLogPath(), u"");
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    EXPECT_FALSE(
        InfraEnvironment::Exists(ml::ToUtf8(ml_infra::SessionLogName(0, u"mlcardmanx_error.log"))));
}

TEST_F(LogTest, FullDiskFailsTheWrite) {
    // The Diagnostics folder is /dev and the log /dev/full: every write
    // fails with "no space left".
    setenv("ML_COMMON_DOCUMENTS", "/dev", 1);
    env_.WriteInstallSettings("[ProductSubpath]\nDiagnostics=\n");
    theErrorFile.Init(u"full");
    ASSERT_EQ(theErrorFile.GetLogPath(), u"/dev/full");
    EXPECT_FALSE(theErrorFile.Write(u"h", u"l", FALSE));
    Trace(u"CTest::Run()", FALSE, TRUE, {TraceParam(u"n", 0, u"[IN]", 1)});
    theErrorFile.Cleanup();
}

// ---- threads ----

TEST_F(LogTest, ManyThreadsAcrossARotationLeaveWholeEntriesOnly) {
    env_.StartLogs();
    constexpr int kThreads = 8;
    constexpr int kEntries = 100;
    const std::string padding(1500, 'p');
    // 800 entries of about 1.56 KB: a bit more than 1 MiB, one rotation.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < kEntries; ++i) {
                std::u16string value =
                    ml::FromUtf8("T" + std::to_string(t) + "-" + std::to_string(i) + "-" + padding);
                Trace(u"CThread::Run()", FALSE, TRUE, {TraceParam(u"n", 3, u"[INFO]", value)});
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::string oldPath = ml::ToUtf8(ml_infra::OldLogName(theErrorFile.GetLogPath()));
    ASSERT_TRUE(InfraEnvironment::Exists(oldPath)) << "the test needs one rotation";

    std::set<std::string> seen;
    for (const std::string& content : {InfraEnvironment::ReadFile(oldPath), ErrorLog()}) {
        const std::string prefix = std::string("\r\n") + logtest::kDate + " " + logtest::kTime +
                                   " - CThread::Run() \t\t\t[ThreadID: ";
        size_t pos = 0;
        while (pos < content.size()) {
            ASSERT_EQ(content.compare(pos, prefix.size(), prefix), 0) << "entry broken at " << pos;
            pos += prefix.size();
            size_t close = content.find("]\r\n\t\t\t[INFO] n = T", pos);
            ASSERT_NE(close, std::string::npos);
            pos = close + 17;
            size_t end = content.find('-', content.find('-', pos) + 1);
            ASSERT_NE(end, std::string::npos);
            std::string id = content.substr(pos, end - pos);
            ASSERT_EQ(content.compare(end + 1, padding.size(), padding), 0) << "entry " << id;
            pos = end + 1 + padding.size();
            EXPECT_TRUE(seen.insert(id).second) << "entry " << id << " twice";
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries)) << "entries were lost";
}

// ---- no password in the logs ----

TEST_F(LogTest, SecretScanFindsAPasswordWrittenToALog) {
    env_.StartLogs();
    Trace(u"CTest::Login()", TRUE, TRUE,
          {TraceParam(u"p_strUser", 3, u"[IN]", u"operator"),
           TraceParam(u"p_strPassword", 3, u"[IN]", u"***")});
    EXPECT_EQ(mltest::ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"S3cr\u00E9t!"), 2u);

    Trace(u"CTest::Leak()", FALSE, TRUE,
          {TraceParam(u"p_strPassword", 3, u"[IN]", u"S3cr\u00E9t!")});
    const std::string dir = env_.DiagnosticsDir();
    EXPECT_NONFATAL_FAILURE(mltest::ExpectNoSecretInLogs(dir, u"S3cr\u00E9t!"),
                            "a password was written to");
    EXPECT_NONFATAL_FAILURE(mltest::ExpectNoSecretInLogs(dir, u""), "non-empty secret");
}

}  // namespace
