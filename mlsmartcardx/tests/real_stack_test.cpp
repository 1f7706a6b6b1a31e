// The card library and the reader object through the real stack: pcsc-lite,
// pcscd, the vpcd reader and the card emulator mlcardsim, on the real clock.
// The reader object's notices are taken by the C host on this thread; waits
// are bounded, and nothing here depends on how fast the stack is.
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "cardsim/image.h"
#include "cardsim_process.h"
#include "infrastructure/testing/log_scan.h"
#include "infrastructure/testing/test_environment.h"
#include "mlsmartcardx/smart_card.h"
#include "mlsmartcardx/tests/c_host.h"
#include "mlsmartcardx/tests/test_support.h"

namespace mltest {
namespace {

using Files = std::map<WORD, std::vector<BYTE>>;

class RealStackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ML_REQUIRE_REAL_STACK();
        env_.WriteDebugIni(true, 1);
        env_.StartLogs();
    }

    // Puts a card of `family` holding `files` into the reader; its image is
    // kept under `name`.
    std::unique_ptr<CardSimProcess> Insert(const std::string& family, const std::string& name,
                                           const Files& files = {},
                                           std::vector<std::string> faults = {}) {
        const std::string image = env_.Root() + "/" + name + ".img";
        if (!files.empty()) {
            cardsim::CardImage card;
            card.family = *cardsim::ParseFamily(family);
            card.files = {files.begin(), files.end()};
            cardsim::SaveImage(image, card);
        }
        return std::make_unique<CardSimProcess>(
            CardSimOptions{family, image, 0, std::move(faults)});
    }
    void ExpectNothingOpen() {
        EXPECT_EQ(counting_.openContexts.load(), 0);
        EXPECT_EQ(counting_.openCards.load(), 0);
    }

    InfraEnvironment env_;
    ForwardingService counting_{ml::GetSCardService()};
    ScopedSCardService service_{&counting_};
    const std::u16string reader_ = Widen(VpcdReaderName(0));
};

TEST_F(RealStackTest, EachFamilyIsRecognisedCreatedWrittenReadAndDeleted) {
    const struct {
        const char* name;
        DWORD variant;
        DWORD idLength;
    } families[] = {{"generic", kCardVariantGeneric, 0},
                    {"tcos12", kCardVariantTcos12, 10},
                    {"class80", kCardVariantClass80, 10}};
    for (const auto& family : families) {
        SCOPED_TRACE(family.name);
        auto sim = Insert(family.name, family.name);
        CardInfo info{};
        SCARDCONTEXT context = 0;
        SCARDHANDLE card = 0;
        ASSERT_EQ(SmartCardConnect(reader_.c_str(), &context, &card, &info), SCARD_S_SUCCESS);
        EXPECT_EQ(info.variant, family.variant);
        EXPECT_EQ(info.idLength, family.idLength);
        EXPECT_TRUE(info.protocol == SCARD_PROTOCOL_T0 || info.protocol == SCARD_PROTOCOL_T1);
        // The reader's name comes back from pcsc-lite as UTF-16.
        WCHAR names[128] = {};
        DWORD namesLength = 128;
        EXPECT_EQ(counting_.Status(card, names, &namesLength, nullptr, nullptr, nullptr, nullptr),
                  SCARD_S_SUCCESS);
        EXPECT_EQ(std::u16string(names), reader_);
        EXPECT_EQ(SmartCardDisconnect(context, card), SCARD_S_SUCCESS);

        ASSERT_EQ(SmartCardCreateFiles(reader_.c_str()), SCARD_S_SUCCESS);
        EXPECT_NE(SmartCardCreateFiles(reader_.c_str()), SCARD_S_SUCCESS);  // one UNIQUE only
        ASSERT_EQ(
            SmartCardWriteFiles(reader_.c_str(), u"schichtführer", u"WERK-NORD", u"Kennwort#1", 10),
            SCARD_S_SUCCESS);
        ReadResult r = ReadCard(reader_.c_str());
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.user, u"schichtführer");
        EXPECT_EQ(r.domain, u"WERK-NORD");
        EXPECT_EQ(r.password, u"Kennwort#1");
        ASSERT_EQ(SmartCardDeleteFiles(reader_.c_str()), SCARD_S_SUCCESS);
        EXPECT_EQ(ReadCard(reader_.c_str()).rv, SCARD_E_FILE_NOT_FOUND);
        ExpectNothingOpen();
    }
    // An empty reader: pcsc-lite says SCARD_E_NO_SMARTCARD, the library what
    // Windows says.
    EXPECT_EQ(ReadCard(reader_.c_str()).rv, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(ReadCard(u"Virtual PCD 00 99").rv, SCARD_E_UNKNOWN_READER);
    ExpectNothingOpen();
}

TEST_F(RealStackTest, ACardPulledAtAnyCommandOfAStoreReadsOldNewOrAsNoLoginData) {
    // Scans the moment of the pull over every command of the store, for a
    // record updated in place and for files made afresh from legacy ones.
    // Each pull leaves the library working: the next card is read, and
    // nothing stays open.
    const std::vector<BYTE> old = Record(u"old", u"D", u"alt");
    const struct {
        const char* name;
        Files files;   // holding the old data
        int commands;  // of the store; one more lets it end
    } cases[] = {{"inplace", {{kFileUnique, old}}, 4},
                 {"afresh",
                  {{kFileUserName, Zone(old, kFileUserName)},
                   {kFileDomain, Zone(old, kFileDomain)},
                   {kFilePassword, Zone(old, kFilePassword)}},
                  12}};
    for (const auto& c : cases) {
        for (int n = 0; n <= c.commands; ++n) {
            SCOPED_TRACE(testing::Message() << c.name << ", pulled after " << n);
            const std::string name = c.name + std::to_string(n);
            LONG stored = SCARD_S_SUCCESS;
            {
                auto sim = Insert("generic", name, c.files, {"--remove-after", std::to_string(n)});
                stored = SmartCardStoreFiles(reader_.c_str(), u"new", u"PLANT", u"neu", 3);
            }
            auto sim = Insert("generic", name);
            ReadResult r = ReadCard(reader_.c_str());
            EXPECT_EQ(stored == SCARD_S_SUCCESS, n == c.commands);
            if (r.rv != SCARD_S_SUCCESS) {
                continue;  // a card the module reports as unreadable
            }
            const bool wasOld = r.user == u"old" && r.domain == u"D" && r.password == u"alt";
            const bool isNew = r.user == u"new" && r.domain == u"PLANT" && r.password == u"neu";
            EXPECT_TRUE(wasOld || isNew) << "a torn record read as login data";
            EXPECT_TRUE(isNew || n < c.commands);
        }
    }
    ExpectNothingOpen();
}

// Sets or resets the logon event from another process of the machine.
int LogonEventInOtherProcess(const std::string& action) {
    const int status = std::system(
        (std::string(ML_EVENT_HELPER) + " " + action + " 'Global\\mlevent_logoninprocess'")
            .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SmartCardRealStackTest : public RealStackTest {
  protected:
    void SetUp() override {
        RealStackTest::SetUp();
        card_ = std::make_unique<CSmartCard>(reader_);
    }
    void TearDown() override { card_.reset(); }

    std::unique_ptr<CardSimProcess> Insert(const std::string& family, const std::string& user,
                                           const std::string& password) {
        return RealStackTest::Insert(
            family, family + user, {{kFileUnique, Record(Widen(user), u"PLANT", Widen(password))}});
    }
    // Runs the host's loop until `done` holds (false after 10 s). Like a host
    // that completes each logon and logoff at once, it resets the event of
    // each insert and remove notice.
    template <typename Done>
    bool Loop(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        MSG msg;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            LoginDataBlock data{};
            if (const int code = MlTestCHostHandle(&msg, &data)) {
                if (code == CARD_INSERTED || code == CARD_REMOVED) {
                    MlTestCHostResetEvent(code == CARD_INSERTED);
                }
                notices_.push_back({code, data});
            }
        }
        return true;
    }
    // The notice after the last one taken (code 0 when none came).
    std::pair<int, LoginDataBlock> Next() {
        return Loop([&] { return notices_.size() > taken_; }) ? notices_[taken_++]
                                                              : std::pair<int, LoginDataBlock>{};
    }
    // Lets `more` passes try the reader (or find a card).
    bool Passes(const std::atomic<int>& counter, int more) {
        const int target = counter + more;
        return Loop([&] { return counter >= target; });
    }

    std::unique_ptr<CSmartCard> card_;
    std::vector<std::pair<int, LoginDataBlock>> notices_;
    size_t taken_ = 0;
};

TEST_F(SmartCardRealStackTest, OneNoticePerChangeAndInsertsWaitForAnotherProcess) {
    ASSERT_EQ(Next().first, CARD_REMOVED) << "the first pass reports the empty reader";

    // Another process holds the logon event: passes read the card, the
    // notice waits.
    ASSERT_EQ(LogonEventInOtherProcess("set"), 0);
    auto held = Insert("class80", "held", "pw-held");
    ASSERT_TRUE(Passes(counting_.cardsFound, 4));
    EXPECT_EQ(notices_.size(), 1u);
    EXPECT_NE(InfraEnvironment::ReadFile(env_.DebugLogPath())
                  .find("Card inserted but logon/logoff in process -> we wait till next loop."),
              std::string::npos);
    ASSERT_EQ(LogonEventInOtherProcess("reset"), 0);
    auto [code, data] = Next();
    ASSERT_EQ(code, CARD_INSERTED);
    EXPECT_EQ(data.szUserName, std::u16string(u"held"));
    EXPECT_EQ(data.szPassword, std::u16string(u"pw-held"));
    held.reset();
    ASSERT_EQ(Next().first, CARD_REMOVED);

    const std::string password = "Kv8!rWq2-zz";
    for (const std::string family : {"generic", "tcos12", "class80"}) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(family + " round " + std::to_string(round));
            const std::string user = "op-" + family + "-" + std::to_string(round);
            auto sim = Insert(family, user, password);
            auto [inserted, login] = Next();
            ASSERT_EQ(inserted, CARD_INSERTED);
            EXPECT_EQ(login.szUserName, Widen(user));
            EXPECT_EQ(login.szDomain, std::u16string(u"PLANT"));
            EXPECT_EQ(login.szPassword, Widen(password));
            if (round == 1) {  // a card left in the reader a while: still one notice
                ASSERT_TRUE(Passes(counting_.cardsFound, 8));
            }
            sim.reset();
            ASSERT_EQ(Next().first, CARD_REMOVED);
        }
    }
    // Passes over the empty reader post nothing more.
    ASSERT_TRUE(Passes(counting_.connects, 6));
    EXPECT_EQ(notices_.size(), taken_);
    EXPECT_GE(ExpectNoSecretInLogs(env_.DiagnosticsDir(), Widen(password)), 1u);
}

}  // namespace
}  // namespace mltest
