// Finding, loading and binding the driver; opening and resetting the
// terminal; the once-per-code error report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "terminal_fixture.h"

namespace mltest {
namespace {

using Binding = TerminalTest;
using Strings = std::vector<std::string>;

TEST_F(Binding, DriverPathFollowsTheRegistryValueOrIsTheModulesDirectory) {
    const std::string vireo =
        InfraEnvironment::Native("/opt/vireo/bin/ct32" ML_SHARED_LIBRARY_SUFFIX);
    const std::string beside = ML_TEST_MODULE_DIR "/ct32" ML_SHARED_LIBRARY_SUFFIX;
    const std::pair<const char*, std::string> cases[] = {
        {"/opt/vireo", vireo}, {"/opt/vireo/", vireo}, {"", beside}, {nullptr, beside}};
    for (const auto& [value, path] : cases) {
        value ? env_.SetRegistryValue(kVireoKey, "Path", InfraEnvironment::Native(value))
              : env_.RemoveRegistryValue(kVireoKey, "Path");
        const std::string actual = ml::ToUtf8(CTCOSCard::GetDriverPath());
        std::error_code error;
        EXPECT_TRUE(actual == path || std::filesystem::equivalent(actual, path, error)) << actual;
    }
}

TEST_F(Binding, SetUpBindsOpensTheConfiguredPortAndResetsTheTerminal) {
    UseDriver("full");
    CreateCard(false);
    EXPECT_TRUE(Driver().Events().empty()) << "nothing before the start-up timer";
    Pass();
    EXPECT_EQ(Driver().Events(), (Strings{"trace 0 0", "init 1 3", "data 1"}));
    EXPECT_EQ(Driver().DataCalls().at(0),
              (CtDataCall{1, 1, 2, {0x20, 0x10, 0x00, 0x00, 0x00}, 500}));
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]"), 0) << ErrorLog();
    Pass(3);  // the start-up runs once; the terminal is closed at destruction
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    DestroyCard();
    EXPECT_EQ(Driver().Events().back(), "close 1");
}

TEST_F(Binding, AMissingDriverIsReportedOnceAndNothingIsSupervised) {
    env_.SetRegistryValue(kVireoKey, "Path", env_.Root() + "/nowhere");
    CreateCard();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
    Pass(4);
    EXPECT_TRUE(TakeNotices().empty());
    // Every operation fails, each report is written once.
    EXPECT_EQ(Card().ResetCard(), CT_ERROR);
    EXPECT_EQ(Card().WriteLoginData(u"a", u"b", u"c"), CT_ERROR);
    EXPECT_FALSE(Card().InitCom(1, 1));
    EXPECT_FALSE(Card().ResetTerminal());
    EXPECT_EQ(Errors(1), 1) << ErrorLog();
    EXPECT_EQ(Errors(4), 1);  // the terminal reset's own code
}

// A driver that lacks an entry point, a CT_init (port 0) or terminal reset that fails:
// each is reported once; the supervision runs all the same.
TEST_F(Binding, ADriverWithoutAnEntryPointOrWithAFailingSetUp) {
    const struct {
        const char* variant;
        int port;
        int8_t resetResult;
        int message;
        WPARAM notice;
        bool opened;
        int closes;
    } cases[] = {{"no_init", 3, 0, 2, CARD_ERROR, false, 0},
                 {"full", 0, 0, 5, CARD_ERROR, false, 0},
                 {"no_data", 3, 0, 3, CARD_ERROR, true, 1},
                 {"full", 3, -10, 6, CARD_INSERTED, true, 1},
                 {"no_close", 3, 0, 4, CARD_INSERTED, true, 0},
                 {"no_trace", 3, 0, 4, CARD_INSERTED, true, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variant << " " << c.message);
        UseDriver(c.variant);
        env_.WriteSettingsIni("[LogonDevice]\r\nCurrentPort=" + std::to_string(c.port) + "\r\n");
        if (c.resetResult != 0) {
            Driver().Script(1, 0x10, {c.resetResult, {}, std::nullopt});
        }
        PutLoginData(u"user", u"dom", u"pw");
        CreateCard();
        EXPECT_EQ(Errors(c.message), 1) << ErrorLog();
        Pass(4);
        EXPECT_EQ(TakeCodes(), std::vector<WPARAM>{c.notice});
        // Not opened: not retried, every command goes to terminal 0 and fails.
        EXPECT_LE(Driver().InitCalls().size(), 1u);
        for (const auto& call : Driver().DataCalls()) {
            EXPECT_EQ(call.ctn, c.opened ? 1 : 0);
        }
        if (c.notice == CARD_ERROR) {
            WCHAR user[43] = u"stale", domain[33] = u"stale", password[101] = u"stale";
            EXPECT_EQ(Card().ReadFiles(user, domain, password), CT_ERROR);
            EXPECT_EQ(user[0] + domain[0] + password[0], 0);
            EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_ERROR);
        }
        const auto events = (DestroyCard(), Driver().Events());
        EXPECT_EQ(std::count(events.begin(), events.end(), "close 1"), c.closes);
        ResetEvent(logon_);  // the host's logon is done
        env_.StopLogs();     // a fresh log pair for the next round
        env_.StartLogs();
    }
}

TEST_F(Binding, APortFromTheSettingsOrOne) {
    // Without CurrentPort, without a settings source or file, or beyond sixteen bits.
    const std::string file = env_.SettingsDir() + "mlsettings.ini";
    const struct {
        const char* settings;
        bool withSource;
        Strings inits;
        std::string entry;
    } cases[] = {
        {"[LogonDevice]\r\nCardreaderName=\r\n", true, {"init 1 1"}, ""},
        {"[LogonDevice]\r\nCurrentPort=7\r\n", false, {"init 1 1"}, "[ERROR] szINIFile = \r\n"},
        {nullptr, true, {"init 1 1"}, "[ERROR] szINIFile = " + file},
        {"[LogonDevice]\r\nCurrentPort=65537\r\n", true, {}, "[ERROR] raw Error = 65537"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        c.settings ? env_.WriteSettingsIni(c.settings) : (void)std::remove(file.c_str());
        SetTCOSSettingsINIFileSource(c.withSource ? SettingsPath : nullptr);
        const std::string mark = ErrorLog();
        UseDriver("full");
        CreateCard();
        Strings inits = Driver().Events();
        std::erase_if(inits, [](const std::string& e) { return !e.starts_with("init"); });
        EXPECT_EQ(inits, c.inits);
        const std::string log = ErrorLog().substr(mark.size());
        EXPECT_EQ(Count(log, c.entry.empty() ? "[ERROR]" : c.entry), c.entry.empty() ? 0 : 1)
            << log;
        DestroyCard();
    }
    EXPECT_EQ(Errors(5), 1);
}

}  // namespace
}  // namespace mltest
