// The terminal object through the real stack: ct32.so -> pcscd -> vpcd ->
// mlcardsim. Port 1 is the first reader pcscd lists, vpcd slot 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "platform/handle.h"
#include "platform/named_objects.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

std::vector<WPARAM> Codes(const std::vector<Notice>& notices) {
    std::vector<WPARAM> codes;
    for (const Notice& n : notices) {
        codes.push_back(n.code);
    }
    return codes;
}

class RealStack : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        ML_REQUIRE_REAL_STACK();
        // The driver's installation: <dir>/bin/ct32.so, the driver we ship.
        const std::string dir = env_.Root() + "/vireo";
        std::filesystem::create_directories(dir + "/bin");
        std::filesystem::create_symlink(ML_CT32_FILE, dir + "/bin/ct32.so");
        env_.SetRegistryValue(kVireoKey, "Path", dir);
        env_.WriteSettingsIni("[LogonDevice]\r\nCardreaderName=\r\nCurrentPort=1\r\n");
        logon_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
        logoff_ = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
    }
    void TearDown() override {
        DestroyCard();
        card_in_reader_.reset();
        TerminalTest::TearDown();
        if (logon_ != nullptr) {
            CloseHandle(logon_);
        }
        if (logoff_ != nullptr) {
            CloseHandle(logoff_);
        }
    }

    void Insert(const std::string& family) {
        card_in_reader_.emplace(CardSimOptions{.family = family,
                                               .image = env_.Root() + "/" + family + ".img",
                                               .slot = 0,
                                               .extra_args = {}});
    }
    void Remove() {
        card_in_reader_->Remove();
        card_in_reader_.reset();
    }
    // One pass, then the host's part: the logon or logoff is done.
    std::vector<WPARAM> PassAndTake(int passes = 1) {
        Pass(passes);
        ResetEvent(logon_);
        ResetEvent(logoff_);
        return Codes(TakeNotices());
    }

    std::optional<CardSimProcess> card_in_reader_;
    HANDLE logon_ = nullptr;
    HANDLE logoff_ = nullptr;
};

TEST_F(RealStack, WritesReadsAndAnnouncesEachChangeOnce) {
    CreateCard();
    EXPECT_EQ(PassAndTake(2), (std::vector<WPARAM>{CARD_REMOVED}));

    Insert("class80");
    // A new card without login files.
    EXPECT_EQ(PassAndTake(2), (std::vector<WPARAM>{CARD_ERROR}));
    EXPECT_EQ(Card().GetCardState(), CT_NOFILE);

    ASSERT_EQ(Card().WriteLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3"), CT_OK);
    WCHAR user[43], domain[33], password[101];
    ASSERT_EQ(Card().ResetCard(), CT_OK);
    ASSERT_EQ(Card().ReadFiles(user, domain, password), CT_OK);
    EXPECT_EQ(std::u16string(user), u"operator7");
    EXPECT_EQ(std::u16string(domain), u"PLANT");
    EXPECT_EQ(std::u16string(password), u"Tr0ub4dor&3");

    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(Codes(notices), (std::vector<WPARAM>{CARD_INSERTED}));
    auto* block = reinterpret_cast<const LoginDataBlock*>(notices[0].lParam);
    EXPECT_EQ(std::u16string(block->szUserName), u"operator7");
    EXPECT_EQ(std::u16string(block->szPassword), u"Tr0ub4dor&3");
    ResetEvent(logon_);
    EXPECT_TRUE(PassAndTake(3).empty());

    Remove();
    EXPECT_EQ(PassAndTake(3), (std::vector<WPARAM>{CARD_REMOVED}));
    Insert("class80");
    EXPECT_EQ(PassAndTake(3), (std::vector<WPARAM>{CARD_INSERTED}));
    Remove();
    EXPECT_EQ(PassAndTake(3), (std::vector<WPARAM>{CARD_REMOVED}));
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::InitCom()"), 0) << ErrorLog();
}

TEST_F(RealStack, ATcosCardIsUnknownOnce) {
    CreateCard();
    Insert("tcos12");
    EXPECT_EQ(PassAndTake(4), (std::vector<WPARAM>{CARD_UNKNOWN}));
    EXPECT_EQ(Card().GetCardState(), CT_OK);  // not read again while it stays
    Remove();
    EXPECT_EQ(PassAndTake(2), (std::vector<WPARAM>{CARD_REMOVED}));
}

}  // namespace
}  // namespace mltest
