// The card library and the reader object through pcsc-lite, pcscd, the vpcd
// reader and the card emulator mlcardsim, on the real clock. Waits are bounded,
// and nothing here depends on how fast the stack is.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "cardsim/image.h"
#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/smart_card.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Files = FakeSCard::Files;

class RealStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
    }

    // Puts a card of `family` holding `files` (image `name`) into the reader.
    std::unique_ptr<CardSimProcess> Insert(const std::string& family, const std::string& name,
                                           const Files& files = {},
                                           std::vector<std::string> faults = {}) {
        const std::string image = env_.Root() + "/" + name + ".img";
        if (!files.empty()) {
            cardsim::CardImage card;
            card.family = *cardsim::ParseFamily(family);
            card.files = files;
            cardsim::SaveImage(image, card);
        }
        return std::make_unique<CardSimProcess>(
            CardSimOptions{family, image, 0, std::move(faults)});
    }

    InfraEnvironment env_;
    ForwardingService counting_{ml::GetSCardService()};
    ScopedSCardService service_{&counting_};
    const std::u16string reader_ = Widen(VpcdReaderName(0));
};

TEST_F(RealStackTest, ACardPulledAtAnyCommandOfAStoreReadsOldNewOrAsNoLoginData) {
    // Every moment of the pull, for a record updated in place and for files
    // made afresh from legacy ones; each pull leaves nothing open.
    const std::vector<BYTE> old = Record(u"old", u"D", u"alt");
    // The old files, and the commands of the store (one more lets it end).
    const std::tuple<std::string, Files, int> cases[] = {{"inplace", {{kFileUnique, old}}, 4},
                                                         {"afresh", Legacy(old), 12}};
    for (const auto& [what, files, commands] : cases) {
        for (int n = 0; n <= commands; ++n) {
            SCOPED_TRACE(what + ", pulled after " + std::to_string(n));
            const std::string name = what + std::to_string(n);
            const LONG stored = [&] {
                auto sim = Insert("generic", name, files, {"--remove-after", std::to_string(n)});
                return SmartCardStoreFiles(reader_.c_str(), u"new", u"PLANT", u"neu", 3);
            }();
            auto sim = Insert("generic", name);
            const std::u16string read = ReadCard(reader_.c_str()).text;  // empty: unreadable
            EXPECT_EQ(stored == SCARD_S_SUCCESS, n == commands);
            EXPECT_TRUE(read.empty() || read == u"new|PLANT|neu" ||
                        (read == u"old|D|alt" && n < commands))
                << "a torn or old record read after the store";
        }
    }
    EXPECT_EQ(counting_.openContexts + counting_.openCards, 0);
}

TEST_F(RealStackTest, OneNoticePerChangeAndInsertsWaitForAnotherProcess) {
    CSmartCard object(reader_);
    std::vector<std::pair<int, LoginDataBlock>> notices;
    size_t taken = 0;
    // Runs the host's loop until `done` holds (false after 10 s), resetting the
    // event of each insert and remove, as a host that is done at once.
    auto loop = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (MSG msg; !done();) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            LoginDataBlock data{};
            if (const int code = HandleNotice(msg, &data)) {
                if (code == CARD_INSERTED || code == CARD_REMOVED) {
                    InProcess(code == CARD_INSERTED, true);
                }
                notices.push_back({code, data});
            }
        }
        return true;
    };
    // The notice after the last one taken (code 0 when none came).
    auto next = [&] {
        return loop([&] { return notices.size() > taken; }) ? notices[taken++]
                                                            : std::pair<int, LoginDataBlock>{};
    };
    // Lets `more` passes try the reader.
    auto passes = [&](int more) {
        const int target = counting_.connects + more;
        return loop([&] { return counting_.connects >= target; });
    };
    ASSERT_EQ(next().first, CARD_REMOVED) << "the first pass reports the empty reader";

    // Another process holds the logon event: passes read the card, the
    // notice waits.
    ASSERT_EQ(std::system(ML_EVENT_HELPER " set"), 0);  // another process of the machine
    const std::u16string password = u"Kv8!rWq2-zz";
    auto held = Insert("class80", "held", {{kFileUnique, Record(u"held", u"PLANT", password)}});
    ASSERT_TRUE(passes(4));
    EXPECT_EQ(notices.size(), 1u);
    ASSERT_EQ(std::system(ML_EVENT_HELPER " reset"), 0);
    auto [code, data] = next();
    ASSERT_EQ(code, CARD_INSERTED);
    EXPECT_EQ(data.szUserName + (u"|" + std::u16string(data.szDomain)) + u"|" + data.szPassword,
              u"held|PLANT|" + password);
    // A card left in the reader a while still gives one notice.
    ASSERT_TRUE(passes(8));
    held.reset();
    ASSERT_EQ(next().first, CARD_REMOVED);
    // Passes over the empty reader post nothing more.
    ASSERT_TRUE(passes(6));
    EXPECT_EQ(notices.size(), taken);
    EXPECT_GE(ExpectNoSecretInLogs(env_.DiagnosticsDir(), password), 1u);
}

}  // namespace
}  // namespace mltest
