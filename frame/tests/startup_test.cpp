// Start-up and shutdown: the card device start-up chooses from the settings,
// the settings paths and the state after shutdown. How a settings file is
// read is the settings reader's own test; here only what start-up makes of it.
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
    EXPECT_NE(ErrorLog().find(kReadFailed), std::string::npos) << ErrorLog();
    EXPECT_NE(ErrorLog().find("szINIFile = " + env_.SettingsDir() + "mlsettings.ini"),
              std::string::npos);
}

// An empty or missing name chooses the terminal, on the port of the settings
// of start-up; any other value, even a blank, names the reader the
// supervision then watches.
TEST_F(StartupTest, TheDeviceFollowsTheReaderName) {
    WriteCard(u"alice", u"PLANT", u"s3cret-pw");
    fake_.SetReaderName(u" ");
    for (const char* settings :
         {"[LogonDevice]\nCardreaderName=\nCurrentPort=7\n", "[Config]\nCurrentLanguage=1\n",
          "[LogonDevice]\nCardreaderName= \n"}) {
        SCOPED_TRACE(settings);
        env_.WriteSettingsIni(settings);
        const bool reader = std::string(settings).find("= ") != std::string::npos;
        Start();
        EXPECT_EQ(ChoseReader(), reader);
        EXPECT_EQ(ChoseTerminal(), !reader);
        std::vector<HostNotice> notices = Pump(1);
        if (reader) {
            EXPECT_EQ(g_pSmartCard.load(), theApp.GetSmartCard());
            ASSERT_EQ(notices.size(), 1u);
            EXPECT_EQ(notices[0].code, static_cast<WPARAM>(CARD_INSERTED));
            EXPECT_EQ(notices[0].user, u"alice");
        } else if (std::string(settings).find("Port=7") != std::string::npos) {
            ASSERT_EQ(Driver().InitCalls().size(), 1u);
            EXPECT_EQ(Driver().InitCalls()[0].second, 7);
        }
        Stop();
    }
    EXPECT_EQ(ErrorLog().find(kReadFailed), std::string::npos);
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
    size_t calls = Driver().DataCalls().size();
    EXPECT_TRUE(Pump(4).empty());
    EXPECT_EQ(Driver().DataCalls().size(), calls);
}

TEST_F(StartupTest, TheSettingsPathsAreResolvedAtStartUpOrStayEmptyWithoutAnInstallation) {
    Start();
    EXPECT_EQ(Utf8(theApp.GetSettingsINIFile()), env_.SettingsDir() + "mlsettings.ini");
    EXPECT_EQ(Utf8(theApp.GetDebugINIFile()), env_.SettingsDir() + "mldebug.ini");
    Stop();
    env_.RemoveInstallPath();
    Start();
    EXPECT_TRUE(theApp.GetSettingsINIFile().empty());
    EXPECT_TRUE(ChoseTerminal());
}

}  // namespace
}  // namespace mltest
