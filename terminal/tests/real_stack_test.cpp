// The terminal object through the real stack: ct32.so -> pcscd -> vpcd ->
// mlcardsim. Port 1 is the first reader pcscd lists, vpcd slot 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "cardsim_process.h"
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
    void Insert(const std::string& image, std::vector<std::string> args = {}) {
        reader_.emplace(CardSimOptions{
            .family = "class80", .image = image, .slot = 0, .extra_args = std::move(args)});
    }

    std::optional<CardSimProcess> reader_;  // reset: the card is pulled
};

TEST_F(RealStack, ACardPulledAtAnyCommandOfAWriteReadsOldNewOrAsAnError) {
    CreateCard();
    Pass(2);
    EXPECT_EQ(TakeCodes(), std::vector<WPARAM>{CARD_REMOVED}) << "an empty reader";
    // A card with login files, copied for each round of the files written in place.
    const std::string old = env_.Root() + "/old.img";
    Insert(old);
    ASSERT_EQ(Card().ResetCard(), CT_OK);
    ASSERT_EQ(Card().WriteLoginData(u"old", u"D", u"alt"), CT_OK);
    reader_.reset();
    // Scans the moment of the pull over the card reset and every command of
    // the write, for files written in place and for a card without them.
    const struct {
        const char* name;
        bool withFiles;
        int commands;  // reset and write; one more lets the write end
    } cases[] = {{"inplace", true, 15}, {"afresh", false, 16}};
    WCHAR user[43], domain[33], password[101];
    for (const auto& c : cases) {
        for (int n = 1; n <= c.commands; ++n) {
            SCOPED_TRACE(testing::Message() << c.name << ", pulled after " << n);
            const std::string image = env_.Root() + "/" + c.name + std::to_string(n) + ".img";
            if (c.withFiles) {
                std::filesystem::copy_file(old, image);
            }
            Insert(image, {"--remove-after", std::to_string(n)});
            ASSERT_EQ(Card().ResetCard(), CT_OK);
            const int written = Card().WriteLoginData(u"new", u"PLANT", u"neu");
            reader_.reset();
            Insert(image);
            ASSERT_EQ(Card().ResetCard(), CT_OK);
            const int read = Card().ReadFiles(user, domain, password);
            reader_.reset();
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
