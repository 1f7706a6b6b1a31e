// The terminal object through the real stack: ct32.so -> pcscd -> vpcd ->
// mlcardsim. Port 1 is the first reader pcscd lists, vpcd slot 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

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
    }
    void TearDown() override {
        DestroyCard();
        card_in_reader_.reset();
        TerminalTest::TearDown();
    }

    void Insert(const std::string& family, std::vector<std::string> args = {},
                const std::string& image = "") {
        card_in_reader_.emplace(
            CardSimOptions{.family = family,
                           .image = image.empty() ? env_.Root() + "/" + family + ".img" : image,
                           .slot = 0,
                           .extra_args = std::move(args)});
    }
    // A class-80 card image with the login files of `files` (none when empty).
    std::string Image(const std::string& name, const std::vector<Bytes>& files) {
        const std::string path = env_.Root() + "/" + name + ".img";
        std::ofstream out(path);
        out << "mlcardsim-image 1\nfamily class80\nef 2F02 5A0A00112233445566778899\n";
        const char* ids[] = {"5511", "5522", "5533"};
        for (size_t i = 0; i < files.size(); ++i) {
            out << "ef " << ids[i] << " ";
            for (uint8_t b : files[i]) {
                char hex[3];
                snprintf(hex, sizeof hex, "%02X", b);
                out << hex;
            }
            out << "\n";
        }
        out << "end\n";
        return path;
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
        return TakeCodes();
    }

    std::optional<CardSimProcess> card_in_reader_;
};

TEST_F(RealStack, WritesReadsAndAnnouncesEachChangeOnce) {
    CreateCard();
    EXPECT_EQ(PassAndTake(2), (std::vector<WPARAM>{CARD_REMOVED}));

    Insert("class80");
    // A new card without login files.
    EXPECT_EQ(PassAndTake(2), (std::vector<WPARAM>{CARD_ERROR}));
    EXPECT_EQ(Card().GetCardState(), CT_NOFILE);

    ASSERT_EQ(Card().WriteLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3"), CT_OK);
    Pass();
    auto notices = TakeNotices();
    ASSERT_EQ(Codes(notices), (std::vector<WPARAM>{CARD_INSERTED}));
    auto* block = reinterpret_cast<const LoginDataBlock*>(notices[0].lParam);
    EXPECT_EQ(std::u16string(block->szUserName) + u"/" + block->szDomain + u"/" + block->szPassword,
              u"operator7/PLANT/Tr0ub4dor&3");
    ResetEvent(logon_);
    EXPECT_TRUE(PassAndTake(3).empty());

    Remove();
    EXPECT_EQ(PassAndTake(3), (std::vector<WPARAM>{CARD_REMOVED}));
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);
    EXPECT_EQ(Count(ErrorLog(), "CTCOSCard::InitCom()"), 0) << ErrorLog();
}

TEST_F(RealStack, ACardPulledAtAnyCommandOfAWriteReadsOldNewOrAsAnError) {
    // Scans the moment of the pull over the card reset and every command of
    // the write, for files written in place and for a card without them.
    const std::vector<Bytes> old = {Utf16(u"old", 42), Utf16(u"D", 32), Utf16(u"alt", 100)};
    const struct {
        const char* name;
        std::vector<Bytes> files;
        int commands;  // reset and write; one more lets the write end
    } cases[] = {{"inplace", old, 15}, {"afresh", {}, 16}};
    CreateCard();
    WCHAR user[43], domain[33], password[101];
    for (const auto& c : cases) {
        for (int n = 1; n <= c.commands; ++n) {
            SCOPED_TRACE(testing::Message() << c.name << ", pulled after " << n);
            const std::string image = Image(c.name + std::to_string(n), c.files);
            Insert("class80", {"--remove-after", std::to_string(n)}, image);
            ASSERT_EQ(Card().ResetCard(), CT_OK);
            const int written = Card().WriteLoginData(u"new", u"PLANT", u"neu");
            Remove();
            Insert("class80", {}, image);
            ASSERT_EQ(Card().ResetCard(), CT_OK);
            const int read = Card().ReadFiles(user, domain, password);
            Remove();
            EXPECT_EQ(written == CT_OK, n == c.commands);
            if (read != CT_OK) {
                continue;  // a card the module reports as unreadable
            }
            const std::u16string got = std::u16string(user) + u"/" + domain + u"/" + password;
            EXPECT_TRUE(got == u"new/PLANT/neu" || (got == u"old/D/alt" && n < c.commands))
                << "a torn set read as login data";
        }
    }
}

}  // namespace
}  // namespace mltest
