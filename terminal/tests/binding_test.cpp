// Finding, loading and binding the driver; opening and resetting the
// terminal; the once-per-code error report.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/codepage.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

using Binding = TerminalTest;

const std::vector<uint8_t> kTerminalReset = {0x20, 0x10, 0x00, 0x00, 0x00};

TEST_F(Binding, DriverPathFollowsTheRegistryValueOrIsTheModulesDirectory) {
    const std::string vireo =
        InfraEnvironment::Native("/opt/vireo/bin/ct32" ML_SHARED_LIBRARY_SUFFIX);
    const std::pair<const char*, std::string> cases[] = {
        {"/opt/vireo", vireo}, {"/opt/vireo/", vireo}, {"", ""}, {nullptr, ""}};
    for (const auto& [value, path] : cases) {
        value ? env_.SetRegistryValue(kVireoKey, "Path", InfraEnvironment::Native(value))
              : env_.RemoveRegistryValue(kVireoKey, "Path");
        const std::string actual = ml::ToUtf8(CTCOSCard::GetDriverPath());
        if (path.empty())  // the driver beside the module
            EXPECT_TRUE(
                std::filesystem::equivalent(actual, ModuleDir() + "/ct32" ML_SHARED_LIBRARY_SUFFIX))
                << actual;
        else
            EXPECT_EQ(actual, path) << (value ? value : "none");
    }
}

TEST_F(Binding, SetUpBindsOpensTheConfiguredPortAndResetsTheTerminal) {
    UseDriver("full");
    CreateCard(false);
    // Nothing happens before the start-up timer.
    EXPECT_TRUE(Driver().InitCalls().empty());
    Pass();
    EXPECT_EQ(Driver().TraceOptionCalls(), (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 3}}));
    EXPECT_EQ(Driver().DataCalls(), (std::vector<CtDataCall>{{1, 1, 2, kTerminalReset, 500}}));
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]"), 0) << ErrorLog();

    // The start-up runs once; the terminal is closed once, at destruction.
    Pass(3);
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    DestroyCard();
    EXPECT_EQ(Driver().CloseCalls(), (std::vector<uint16_t>{1}));
}

TEST_F(Binding, AMissingDriverIsReportedOnceAndNothingIsSupervised) {
    env_.SetRegistryValue(kVireoKey, "Path", env_.Root() + "/nowhere");
    CreateCard();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
    Pass(4);
    EXPECT_TRUE(TakeNotices().empty());
    const std::string log = ErrorLog();
    EXPECT_EQ(Count(log, ErrorLine(1)), 1) << log;
    // One entry per line of the report: text and raw value.
    EXPECT_EQ(Count(log, "CTCOSCard::CTCOSCard()"), 2) << log;

    // Every operation fails without a driver.
    EXPECT_EQ(Card().ResetCard(), CT_ERROR);
    EXPECT_EQ(Card().WriteLoginData(u"a", u"b", u"c"), CT_ERROR);
    EXPECT_FALSE(Card().InitCom(1, 1));
    EXPECT_FALSE(Card().ResetTerminal());
    // The same code every time: still one entry (the terminal reset has its
    // own code 4).
    EXPECT_EQ(Errors(1), 1);
    EXPECT_EQ(Errors(4), 1);
}

// Without CT_init, or with a CT_init that fails: reported, not retried; the
// supervision's commands go to the unopened terminal 0 and fail (message 7),
// and nothing is closed.
TEST_F(Binding, ATerminalThatWasNotOpenedIsReportedAndNotRetried) {
    const struct {
        const char* variant;
        int8_t initResult;
        int message;
        std::string entry;
        int entries;
    } cases[] = {{"no_init", 0, 2, "CTCOSCard::InitCom()", 2},
                 {"full", -8, 5, "[ERROR] raw Error = -8", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        UseDriver(c.variant);
        Driver().SetInitResult(c.initResult);
        CreateCard();
        const std::string log = ErrorLog();
        EXPECT_EQ(Count(log, ErrorLine(c.message)), 1) << log;
        EXPECT_EQ(Count(log, c.entry), c.entries) << log;
        Pass(4);
        EXPECT_LE(Driver().InitCalls().size(), 1u);
        EXPECT_EQ(TakeCodes(), (std::vector<WPARAM>{CARD_ERROR}));
        EXPECT_EQ(Errors(7), 1);
        EXPECT_EQ(Card().GetCardState(), CT_ERROR);
        for (const auto& call : Driver().DataCalls()) {
            EXPECT_EQ(call.ctn, 0);
        }
        DestroyCard();
        EXPECT_TRUE(Driver().CloseCalls().empty());
        env_.StopLogs();  // a fresh log pair for the next round
        env_.StartLogs();
    }
}

TEST_F(Binding, ADriverWithoutCtDataIsReportedAndEveryCommandFailsSilently) {
    UseDriver("no_data");
    CreateCard();
    EXPECT_EQ(Errors(3), 1) << ErrorLog();
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    EXPECT_FALSE(Card().ResetTerminal());
    WCHAR user[43] = u"stale", domain[33] = u"stale", password[101] = u"stale";
    EXPECT_EQ(Card().ReadFiles(user, domain, password), CT_ERROR);
    EXPECT_EQ(user[0] + domain[0] + password[0], 0);
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_ERROR);
    Pass(3);
    EXPECT_EQ(TakeCodes(), (std::vector<WPARAM>{CARD_ERROR}));
    // No report beyond the missing entry point.
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 1) << ErrorLog();
}

TEST_F(Binding, ADriverWithoutCtCloseOrTraceOptionsWorksAndIsClosedOnlyWithCtClose) {
    // Two missing entries with the same code give one entry.
    for (const char* variant : {"no_close", "no_trace", "no_close_no_trace"}) {
        SCOPED_TRACE(variant);
        UseDriver(variant);
        CreateCard();
        EXPECT_EQ(Errors(4), 1) << ErrorLog();
        EXPECT_EQ(Card().WriteLoginData(u"user", u"dom", u"pw"), CT_OK);
        Pass();
        EXPECT_EQ(TakeCodes(), (std::vector<WPARAM>{CARD_INSERTED}));
        DestroyCard();
        EXPECT_EQ(Driver().CloseCalls().size(), variant == std::string("no_trace") ? 1u : 0u);
        ResetEvent(logon_);  // the host's logon is done
        env_.StopLogs();     // a fresh log pair for the next round
        env_.StartLogs();
    }
}

TEST_F(Binding, APortFromTheSettingsOrOne) {
    // Without CurrentPort, without a settings source, or beyond sixteen bits.
    const std::tuple<std::string, bool, std::vector<std::pair<uint16_t, uint16_t>>, std::string>
        cases[] = {
            {"[LogonDevice]\r\nCardreaderName=\r\n", true, {{1, 1}}, ""},
            {"[LogonDevice]\r\nCurrentPort=7\r\n", false, {{1, 1}}, "[ERROR] szINIFile = \r\n"},
            {"[LogonDevice]\r\nCurrentPort=65537\r\n", true, {}, "[ERROR] raw Error = 65537"},
        };
    for (const auto& [settings, withSource, initCalls, entry] : cases) {
        SCOPED_TRACE(settings);
        env_.WriteSettingsIni(settings);
        SetTCOSSettingsINIFileSource(withSource ? SettingsPath : nullptr);
        const std::string mark = ErrorLog();
        UseDriver("full");
        CreateCard();
        EXPECT_EQ(Driver().InitCalls(), initCalls);
        const std::string log = ErrorLog().substr(mark.size());
        EXPECT_EQ(Count(log, entry.empty() ? "[ERROR]" : entry), entry.empty() ? 0 : 1) << log;
        DestroyCard();
    }
    EXPECT_EQ(Errors(5), 1);
}

TEST_F(Binding, AnUnreadableSettingsFileGivesPortOneAndAnEntry) {
    env_.WriteSettingsIni("");
    std::remove((env_.SettingsDir() + "mlsettings.ini").c_str());
    UseDriver("full");
    CreateCard();
    EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 1}}));
    const std::string log = ErrorLog();
    EXPECT_EQ(Count(log, "CTCOSCard::TCOSInitTimer() - CIniFile::ReadFile() - ERROR"), 3) << log;
    EXPECT_EQ(Count(log, "[ERROR] szINIFile = " + env_.SettingsDir() + "mlsettings.ini"), 1);
    EXPECT_EQ(Count(log, "[ERROR] dwErrorNumber = 2"), 1) << log;
    EXPECT_EQ(Count(log, "[ERROR] strErrorText = "), 1) << log;
}

TEST_F(Binding, AFailedTerminalResetIsReported) {
    UseDriver("full");
    Driver().Script(1, 0x10, {.result = -10, .response = {}, .reportedLength = {}});
    CreateCard();
    EXPECT_EQ(Errors(6), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = -10"), 1);
    EXPECT_TRUE(TakeNotices().empty());
    // The supervision starts all the same.
    Pass();
    EXPECT_EQ(TakeNotices().size(), 1u);
}

TEST_F(Binding, ReportErrorWritesEachCodeOnceAndCodeFourteenToTheDebugLogOnly) {
    UseDriver("full");
    CreateCard();
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -10);
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -11);
    Card().ReportError(u"CTCOSCard::Test()", 13, 11, 0);
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -11);
    const std::string log = ErrorLog();
    EXPECT_EQ(Count(log, ErrorLine(12)), 2);
    EXPECT_EQ(Count(log, ErrorLine(13)), 1);
    EXPECT_EQ(Count(log, "[ERROR] raw Error = -10"), 1);
    EXPECT_EQ(Count(log, "[ERROR] raw Error = -11"), 1);
    // Every entry also reaches the debug log while tracing is on.
    EXPECT_EQ(Count(DebugLog(), ErrorLine(12)), 2);
    // Information: the debug log only, also once.
    for (int i = 0; i < 2; ++i) {
        Card().ReportError(u"CTCOSCard::ResetCard()", 8, 14, 0);
    }
    EXPECT_EQ(Count(ErrorLog(), Message(8)), 0);
    EXPECT_EQ(Count(DebugLog(), "[INFO]  = " + Message(8)), 1) << DebugLog();
}

}  // namespace
}  // namespace mltest
