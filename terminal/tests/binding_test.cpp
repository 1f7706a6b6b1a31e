// Finding, loading and binding the driver; opening and resetting the
// terminal; the once-per-code error report.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/codepage.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

using Binding = TerminalTest;

const std::vector<uint8_t> kTerminalReset = {0x20, 0x10, 0x00, 0x00, 0x00};

TEST_F(Binding, DriverPathFollowsTheRegistryValueWithOrWithoutSeparator) {
    env_.SetRegistryValue(kVireoKey, "Path", "/opt/vireo");
    EXPECT_EQ(ml::ToUtf8(CTCOSCard::GetDriverPath()), "/opt/vireo/bin/ct32.so");
    env_.SetRegistryValue(kVireoKey, "Path", "/opt/vireo/");
    EXPECT_EQ(ml::ToUtf8(CTCOSCard::GetDriverPath()), "/opt/vireo/bin/ct32.so");
}

TEST_F(Binding, DriverPathWithoutOrWithEmptyValueIsTheModulesDirectory) {
    env_.RemoveRegistryValue(kVireoKey, "Path");
    EXPECT_EQ(ml::ToUtf8(CTCOSCard::GetDriverPath()), ModuleDir() + "/ct32.so");
    env_.SetRegistryValue(kVireoKey, "Path", "");
    EXPECT_EQ(ml::ToUtf8(CTCOSCard::GetDriverPath()), ModuleDir() + "/ct32.so");
}

TEST_F(Binding, SetUpBindsOpensTheConfiguredPortAndResetsTheTerminal) {
    UseDriver("full");
    CreateCard(false);
    // Nothing happens before the start-up timer.
    EXPECT_TRUE(Driver().InitCalls().empty());
    Pass();
    EXPECT_EQ(Driver().TraceOptionCalls(), (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 3}}));
    auto calls = Driver().DataCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].ctn, 1);
    EXPECT_EQ(calls[0].dad, 1);
    EXPECT_EQ(calls[0].sad, 2);
    EXPECT_EQ(calls[0].lenr, 500);
    EXPECT_EQ(calls[0].command, kTerminalReset);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]"), 0) << ErrorLog();

    // The start-up runs once; the terminal is closed once, at destruction.
    Pass(3);
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    DestroyCard();
    EXPECT_EQ(Driver().CloseCalls(), (std::vector<uint16_t>{1}));
}

TEST_F(Binding, WithoutRegistryValueTheDriverBesideTheModuleIsLoaded) {
    env_.RemoveRegistryValue(kVireoKey, "Path");
    void* handle = dlopen((ModuleDir() + "/ct32.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    auto* control = reinterpret_cast<MlTestCtDriverFn>(dlsym(handle, kTestCtDriverSymbol))();
    control->Reset("class80", ImagePath());
    CreateCard();
    EXPECT_EQ(control->InitCalls().size(), 1u);
    DestroyCard();
    EXPECT_EQ(control->CloseCalls().size(), 1u);
    dlclose(handle);
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
    WCHAR user[43] = u"stale", domain[33] = u"stale", password[101] = u"stale";
    EXPECT_EQ(Card().ReadFiles(user, domain, password), CT_ERROR);
    EXPECT_EQ(user[0], 0);
    EXPECT_EQ(domain[0], 0);
    EXPECT_EQ(password[0], 0);
    EXPECT_EQ(Card().ResetCard(), CT_ERROR);
    EXPECT_EQ(Card().SelectFile(0x5511), CT_ERROR);
    EXPECT_EQ(Card().CreateFiles(), CT_ERROR);
    EXPECT_EQ(Card().DeleteFiles(), CT_ERROR);
    EXPECT_EQ(Card().WriteFiles(u"a", u"b", u"c"), CT_ERROR);
    EXPECT_EQ(Card().WriteLoginData(u"a", u"b", u"c"), CT_ERROR);
    EXPECT_FALSE(Card().InitCom(1, 1));
    EXPECT_FALSE(Card().ResetTerminal());
    // The same code every time: still one entry (the terminal reset has its
    // own code 4).
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(1)), 1);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(4)), 1);
}

TEST_F(Binding, ADriverWithoutCtInitIsReportedAndItsCommandsGoToAnUnopenedTerminal) {
    UseDriver("no_init");
    CreateCard();
    std::string log = ErrorLog();
    EXPECT_EQ(Count(log, ErrorLine(2)), 1) << log;
    EXPECT_EQ(Count(log, "CTCOSCard::InitCom()"), 2) << log;
    EXPECT_EQ(Count(log, ErrorLine(1)), 1) << log;
    // The supervision runs: terminal 0 was never opened, so the card reset
    // fails; one CARD_ERROR, one report of message 7.
    Pass(4);
    auto notices = TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_ERROR));
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(7)), 1);
    EXPECT_EQ(Card().GetCardState(), CT_ERROR);
    for (const auto& call : Driver().DataCalls()) {
        EXPECT_EQ(call.ctn, 0);
    }
    DestroyCard();
    EXPECT_TRUE(Driver().CloseCalls().empty());
}

TEST_F(Binding, ADriverWithoutCtDataIsReportedAndEveryCommandFailsSilently) {
    UseDriver("no_data");
    CreateCard();
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(3)), 1) << ErrorLog();
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    EXPECT_FALSE(Card().ResetTerminal());
    WCHAR user[43] = u"stale", domain[33] = u"stale", password[101] = u"stale";
    EXPECT_EQ(Card().ReadFiles(user, domain, password), CT_ERROR);
    EXPECT_EQ(user[0] + domain[0] + password[0], 0);
    EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_ERROR);
    Pass(3);
    auto notices = TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_ERROR));
    // No report beyond the missing entry point.
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] Error ="), 1) << ErrorLog();
}

TEST_F(Binding, ADriverWithoutCtCloseWorksAndIsNotClosed) {
    UseDriver("no_close");
    CreateCard();
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(4)), 1) << ErrorLog();
    EXPECT_EQ(Driver().TraceOptionCalls().size(), 1u);
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_ERROR));  // a card without files
    EXPECT_EQ(Card().GetCardState(), CT_NOFILE);
    DestroyCard();
    for (const std::string& event : Driver().Events()) {
        EXPECT_EQ(event.rfind("close", 0), std::string::npos) << event;
    }
}

TEST_F(Binding, ADriverWithoutTraceOptionsWorksNormally) {
    UseDriver("no_trace");
    CreateCard();
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(4)), 1) << ErrorLog();
    EXPECT_EQ(Card().WriteLoginData(u"user", u"dom", u"pw"), CT_OK);
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));
    DestroyCard();
    EXPECT_EQ(Driver().CloseCalls().size(), 1u);
}

TEST_F(Binding, TwoMissingEntriesWithTheSameCodeGiveOneEntry) {
    UseDriver("no_close_no_trace");
    CreateCard();
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(4)), 1) << ErrorLog();
}

TEST_F(Binding, ASettingsFileWithoutCurrentPortGivesPortOne) {
    env_.WriteSettingsIni("[LogonDevice]\r\nCardreaderName=\r\n");
    UseDriver("full");
    CreateCard();
    EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 1}}));
    EXPECT_EQ(Count(ErrorLog(), "[ERROR]"), 0);
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

TEST_F(Binding, WithoutSettingsSourceThePortIsOne) {
    SetTCOSSettingsINIFileSource(nullptr);
    UseDriver("full");
    CreateCard();
    EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 1}}));
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] szINIFile = \r\n"), 1) << ErrorLog();
}

TEST_F(Binding, APortBeyondSixteenBitsIsNotPassedOn) {
    env_.WriteSettingsIni("[LogonDevice]\r\nCurrentPort=65537\r\n");
    UseDriver("full");
    CreateCard();
    EXPECT_TRUE(Driver().InitCalls().empty());
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(5)), 1);
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = 65537"), 1);
}

TEST_F(Binding, AFailedCtInitIsReportedWithItsResultAndNotRetried) {
    UseDriver("full");
    Driver().SetInitResult(-8);
    CreateCard();
    std::string log = ErrorLog();
    EXPECT_EQ(Count(log, ErrorLine(5)), 1) << log;
    EXPECT_EQ(Count(log, "[ERROR] raw Error = -8"), 1) << log;
    Pass(4);
    EXPECT_EQ(Driver().InitCalls().size(), 1u);
    auto notices = TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_ERROR));
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(7)), 1);
    DestroyCard();
    EXPECT_TRUE(Driver().CloseCalls().empty());
}

TEST_F(Binding, AFailedTerminalResetIsReported) {
    UseDriver("full");
    Driver().Script(1, 0x10, {.result = -10, .response = {}, .reportedLength = {}});
    CreateCard();
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(6)), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] raw Error = -10"), 1);
    EXPECT_TRUE(TakeNotices().empty());
    // The supervision starts all the same.
    Pass();
    EXPECT_EQ(TakeNotices().size(), 1u);
}

TEST_F(Binding, ReportErrorWritesEachCodeOnceUntilAnotherCodeCame) {
    UseDriver("full");
    CreateCard();
    const std::string before = ErrorLog();
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -10);
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -10);
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -11);
    EXPECT_EQ(Count(ErrorLog(), ErrorLine(12)), 1);
    Card().ReportError(u"CTCOSCard::Test()", 13, 11, 0);
    Card().ReportError(u"CTCOSCard::Test()", 12, 12, -11);
    const std::string log = ErrorLog();
    EXPECT_EQ(Count(log, ErrorLine(12)), 2);
    EXPECT_EQ(Count(log, ErrorLine(13)), 1);
    EXPECT_EQ(Count(log, "[ERROR] raw Error = -10"), 1);
    EXPECT_EQ(Count(log, "[ERROR] raw Error = -11"), 1);
    // Every entry also reaches the debug log while tracing is on.
    EXPECT_EQ(Count(DebugLog(), ErrorLine(12)), 2);
}

TEST_F(Binding, ReportErrorWritesCodeFourteenAsInformationToTheDebugLogOnly) {
    UseDriver("full");
    CreateCard();
    Card().ReportError(u"CTCOSCard::ResetCard()", 8, 14, 0);
    EXPECT_EQ(Count(ErrorLog(), Message(8)), 0);
    EXPECT_EQ(Count(DebugLog(), "[INFO]  = " + Message(8)), 1) << DebugLog();
    Card().ReportError(u"CTCOSCard::ResetCard()", 8, 14, 0);
    EXPECT_EQ(Count(DebugLog(), Message(8)), 1);
}

}  // namespace
}  // namespace mltest
