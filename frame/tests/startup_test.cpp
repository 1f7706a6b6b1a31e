// Start-up and shutdown: the choice of the card device from "CardreaderName"
// and the state after shutdown.
#include <gtest/gtest.h>

#include <filesystem>

#include "frame/mlcardmanx_app.h"
#include "frame/tests/frame_fixture.h"
#include "mlsmartcardx/smart_card.h"
#include "terminal/tcos_card.h"

namespace mltest {
namespace {

constexpr char kReadFailed[] = "CMlcardmanxApp::InitInstance() - CIniFile::ReadFile() - ERROR";

class StartupTest : public FrameTest {
  protected:
    bool ChoseReader() const { return theApp.GetSmartCard() != nullptr; }
    bool ChoseTerminal() const { return g_pTCOSCard != nullptr; }
};

TEST_F(StartupTest, WithoutSettingsFileTheTerminalIsChosenAndTheFailureLogged) {
    std::filesystem::remove(env_.SettingsDir() + "mlsettings.ini");
    Start();
    EXPECT_TRUE(ChoseTerminal());
    EXPECT_FALSE(ChoseReader());
    std::string log = ErrorLog();
    EXPECT_NE(log.find(kReadFailed), std::string::npos) << log;
    EXPECT_NE(log.find("szINIFile = " + env_.SettingsDir() + "mlsettings.ini"), std::string::npos)
        << log;
    EXPECT_NE(log.find("dwErrorNumber = 2"), std::string::npos) << log;
}

TEST_F(StartupTest, AnEmptyNameChoosesTheTerminalWithoutAnEntry) {
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName=\n");
    Start();
    EXPECT_TRUE(ChoseTerminal());
    EXPECT_FALSE(ChoseReader());
    EXPECT_EQ(ErrorLog().find(kReadFailed), std::string::npos);
}

TEST_F(StartupTest, AMissingKeyOrSectionChoosesTheTerminalWithoutAnEntry) {
    env_.WriteSettingsIni("[Config]\nCurrentLanguage=1033\n");
    Start();
    EXPECT_TRUE(ChoseTerminal());
    EXPECT_EQ(ErrorLog().find(kReadFailed), std::string::npos);
}

TEST_F(StartupTest, LowerCaseSectionAndKeyNameTheReader) {
    env_.WriteSettingsIni("[logondevice]\ncardreadername=Fake Reader 00\n");
    WriteCard(u"alice", u"PLANT", u"s3cret-pw");
    Start();
    ASSERT_TRUE(ChoseReader());
    EXPECT_FALSE(ChoseTerminal());
    EXPECT_EQ(g_pSmartCard.load(), theApp.GetSmartCard());
    std::vector<HostNotice> notices = Pump(1);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));
    EXPECT_EQ(notices[0].user, u"alice");
}

TEST_F(StartupTest, BlanksAroundTheEqualsSignLeaveTheKeyUnmatched) {
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName = Fake Reader 00\n");
    Start();
    EXPECT_TRUE(ChoseTerminal());
    EXPECT_FALSE(ChoseReader());
}

TEST_F(StartupTest, AValueOfOneBlankNamesTheReaderCalledBlank) {
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName= \n");
    fake_.SetReaderName(u" ");
    Start();
    ASSERT_TRUE(ChoseReader());
    EXPECT_FALSE(ChoseTerminal());
    Pump(1);
    // The pass reached the card in the reader named " ".
    EXPECT_FALSE(fake_.Sent().empty());
}

TEST_F(StartupTest, ShutdownReleasesTheCardObjects) {
    UseReader(kReader);
    Start();
    ASSERT_TRUE(ChoseReader());
    Stop();
    EXPECT_EQ(theApp.GetSmartCard(), nullptr);
    EXPECT_EQ(g_pSmartCard.load(), nullptr);
    // No pass runs any more.
    fake_.ClearSent();
    EXPECT_TRUE(Pump(4).empty());
    EXPECT_TRUE(fake_.Sent().empty());

    UseReader("");
    Start();
    ASSERT_TRUE(ChoseTerminal());
    Pump(2);  // driver loaded, supervision running
    Stop();
    EXPECT_EQ(g_pTCOSCard, nullptr);
    EXPECT_EQ(theApp.GetSmartCard(), nullptr);
    size_t calls = Driver().DataCalls().size();
    EXPECT_TRUE(Pump(4).empty());
    EXPECT_EQ(Driver().DataCalls().size(), calls);
}

TEST_F(StartupTest, TheTerminalReadsItsPortFromTheSettingsOfStartUp) {
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName=\nCurrentPort=7\n");
    Start();
    Pump(1);
    std::vector<std::pair<uint16_t, uint16_t>> inits = Driver().InitCalls();
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_EQ(inits[0].second, 7);
}

TEST_F(StartupTest, TheSettingsPathsAreResolvedAtStartUp) {
    Start();
    EXPECT_EQ(Utf8(theApp.GetSettingsINIFile()), env_.SettingsDir() + "mlsettings.ini");
    EXPECT_EQ(Utf8(theApp.GetDebugINIFile()), env_.SettingsDir() + "mldebug.ini");
}

TEST_F(StartupTest, WithoutAnInstallationThePathsStayEmptyAndTheTerminalIsChosen) {
    env_.RemoveInstallPath();
    Start();
    EXPECT_TRUE(theApp.GetSettingsINIFile().empty());
    EXPECT_TRUE(ChoseTerminal());
}

}  // namespace
}  // namespace mltest
