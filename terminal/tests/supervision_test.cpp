// The terminal's set-up (finding, loading and binding the driver, opening and
// resetting the terminal) and supervision: its codes and entries, which passes
// read the card, its timers, and the end of the object on another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "infrastructure/testing/log_scan.h"
#include "terminal_fixture.h"

namespace mltest {
namespace {

class Supervision : public TerminalTest {
  protected:
    void SetUp() override {
        TerminalTest::SetUp();
        UseDriver("full");
    }
    // The notices of `count` passes and the pass's entries they write.
    void Expect(int count, const std::vector<WPARAM>& codes, const std::vector<std::string>& debug,
                bool alsoError = false) {
        Pass(count);
        EXPECT_EQ(TakeCodes(), codes);
        EXPECT_EQ(debug_.Next(), debug);
        EXPECT_EQ(error_.Next(), alsoError ? debug : std::vector<std::string>{});
    }

    LogTail debug_{env_.DebugLogPath(), "CTCOSCard::TCOSSuperviseCard"};
    LogTail error_{env_.ErrorLogPath(), "CTCOSCard::TCOSSuperviseCard"};
};

const std::string kPass = "CTCOSCard::TCOSSuperviseCard()|";
const std::vector<WPARAM> kNone, kInserted{CARD_INSERTED}, kRemoved{CARD_REMOVED},
    kError{CARD_ERROR};

// The terminal's results with their notices and entries; a card is read
// when it is new, not while it stays.
TEST_F(Supervision, TerminalCodesEntriesAndReads) {
    CreateCard();  // a card without login files
    EXPECT_TRUE(TakeCodes().empty()) << "the start-up only sets up";
    Expect(1, kError,
           {"|", kPass + "[ERROR]  = Card error (see details below)",
            kPass + "[ERROR] Error Number (-1==CT_ERROR) = 4"},
           true);
    Driver().SetCardPresent(false);
    Expect(1, kRemoved, {"|", kPass + "[INFO]  = Card removed"});

    PutLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3");
    Driver().SetCardPresent(true);
    ResetEvent(logoff_);
    const std::vector<std::string> inserted = {
        "|", kPass + "[INFO]  = Card inserted", kPass + "[INFO] szUserName = operator7",
        kPass + "[INFO] szDomain = PLANT", kPass + "[INFO] szPassword = ***"};
    Expect(1, kInserted, inserted);
    EXPECT_EQ(std::u16string(Block().szPassword), u"Tr0ub4dor&3");
    Expect(3, kNone, {});
    EXPECT_EQ(Driver().DataCalls().back().command[1], 0x10) << "reset, not read";

    // A memory card is a foul card; a processor card afterwards is read.
    ResetEvent(logon_);
    Driver().Script(1, 0x10, {0, {0x90, 0x00}, std::nullopt});
    Expect(1, kError, {"|", kPass + "[ERROR]  = Card error (CT_FOULCARD)"}, true);
    Expect(1, kInserted, inserted);
    EXPECT_GT(ExpectNoSecretInLogs(env_.DiagnosticsDir(), u"Tr0ub4dor&3"), 0u);

    // A card of another version is unknown.
    DestroyCard();
    UseDriver("full", "tcos12");
    CreateCard();
    Expect(1, {CARD_UNKNOWN}, {"|", kPass + "[ERROR]  = Card error (CT_WRONGVERSION)"}, true);
}

TEST_F(Supervision, AStoppedSupervisionResumesAndAPassOfAnotherObjectArmsNothing) {
    // A stopped supervision resumes with a direct pass, which arms it again.
    CreateCard();
    Card().StopSuperviseTimer();
    const size_t calls = Driver().DataCalls().size();
    Pass(4);
    EXPECT_EQ(Driver().DataCalls().size(), calls);
    Card().TCOSSuperviseCard();
    EXPECT_EQ(TakeCodes(), kError);  // a card without login files
    EXPECT_NE(g_nTCOSSuperviseTimer, 0u);

    // A pass of an object that is no longer the module's arms nothing.
    Card().StopSuperviseTimer();
    CTCOSCard other;
    Card().TCOSSuperviseCard();
    EXPECT_EQ(g_nTCOSSuperviseTimer, 0u);
}

// Destroys the object on this thread while its owner thread, which created
// it and runs its timers, is inside a timer procedure held in the driver:
// the terminal is closed only after that procedure's last driver call.
TEST_F(Supervision, DestroyedOnAnotherThreadDuringTheSetUpOrAPass) {
    for (bool duringSetUp : {true, false}) {
        SCOPED_TRACE(duringSetUp ? "set-up" : "pass");
        UseDriver("full");
        std::vector<WPARAM> notices;  // read once the thread has ended
        std::promise<std::pair<CTCOSCard*, DWORD>> created;
        std::thread owner([&] {
            MSG m;
            PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
            created.set_value({new CTCOSCard, GetCurrentThreadId()});
            while (GetMessageW(&m, nullptr, 0, 0) > 0) {
                if (m.message == WM_COMMAND) {
                    notices.push_back(m.wParam);
                }
                DispatchMessageW(&m);
            }
        });
        auto [card, ownerId] = created.get_future().get();
        // The set-up's terminal reset is held, or the card reset of the first pass.
        std::promise<void> held, release;
        const std::function<void()> hold = [&] {
            held.set_value();
            release.get_future().wait();
        };
        Driver().OnNext(
            1, 0x10, duringSetUp ? hold : [&] { Driver().OnNext(1, 0x10, hold); });
        // The clock runs on until then, however late the timer is armed.
        for (auto future = held.get_future();
             future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready;) {
            clock_.Advance(250);
        }
        std::thread releaser([&] {
            // Gives the destructor time to reach the lock; the outcome does
            // not depend on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            release.set_value();
        });
        delete card;
        releaser.join();
        const auto events = Driver().Events();
        EXPECT_EQ(std::count(events.begin(), events.end(), "close 1"), 1);
        EXPECT_EQ(events.empty() ? "" : events.back(), "close 1");
        const size_t calls = Driver().DataCalls().size();
        clock_.Advance(250);
        PostThreadMessageW(ownerId, WM_QUIT, 0, 0);
        owner.join();
        EXPECT_EQ(Driver().DataCalls().size(), calls);
        // A pass that ran to its end posted its notice (a card without files).
        EXPECT_EQ(notices, duringSetUp ? kNone : kError);
    }
}

using Binding = TerminalTest;

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
    EXPECT_EQ(Driver().Events(), (std::vector<std::string>{"trace 0 0", "init 1 3", "data 1"}));
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
    EXPECT_TRUE(TakeCodes().empty());
    // Every operation fails, each report is written once.
    EXPECT_EQ(Card().ResetCard(), CT_ERROR);
    EXPECT_EQ(Card().WriteLoginData(u"a", u"b", u"c"), CT_ERROR);
    EXPECT_FALSE(Card().ResetTerminal());
    EXPECT_EQ(Errors(1), 1) << ErrorLog();
    EXPECT_EQ(Errors(4), 1);  // the terminal reset's own code
}

// A driver that lacks an entry point, a port beyond 16 bits, a CT_init (port 0)
// or terminal reset that fails: each is reported once; the supervision runs.
TEST_F(Binding, ADriverWithoutAnEntryPointOrWithAFailingSetUp) {
    const struct {
        const char* variant;
        const char* port;
        int8_t resetResult;
        int message;
        WPARAM notice;
        int closes;
    } cases[] = {
        {"no_init", "3", 0, 2, CARD_ERROR, 0},    {"full", "65537", 0, 5, CARD_ERROR, 0},
        {"full", "0", 0, 5, CARD_ERROR, 0},       {"no_data", "3", 0, 3, CARD_ERROR, 1},
        {"full", "3", -10, 6, CARD_INSERTED, 1},  {"no_close", "3", 0, 4, CARD_INSERTED, 0},
        {"no_trace", "3", 0, 4, CARD_INSERTED, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variant << " " << c.port << " " << c.message);
        UseDriver(c.variant);
        env_.WriteSettingsIni(std::string("[LogonDevice]\r\nCurrentPort=") + c.port + "\r\n");
        if (c.resetResult != 0) {
            Driver().Script(1, 0x10, {c.resetResult, {}, std::nullopt});
        }
        PutLoginData(u"user", u"dom", u"pw");
        CreateCard();
        EXPECT_EQ(Errors(c.message), 1) << ErrorLog();
        EXPECT_EQ(Errors(1), c.variant == std::string("no_init")) << "InitCom's own report";
        Pass(4);
        EXPECT_EQ(TakeCodes(), std::vector<WPARAM>{c.notice});
        EXPECT_LE(Driver().InitCalls().size(), 1u) << "not retried";
        if (c.notice == CARD_ERROR) {
            WCHAR user[43] = u"stale", domain[33] = u"stale", password[101] = u"stale";
            EXPECT_EQ(Card().ReadFiles(user, domain, password), CT_ERROR);
            EXPECT_EQ(user[0] + domain[0] + password[0], 0);
            EXPECT_EQ(Card().WriteLoginData(u"u", u"d", u"p"), CT_ERROR);
        }
        const auto events = (DestroyCard(), Driver().Events());
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const std::string& e) { return e.starts_with("close"); }),
                  c.closes);
        ResetEvent(logon_);  // the host's logon is done
        env_.StopLogs();     // a fresh log pair for the next round
        env_.StartLogs();
    }
}

TEST_F(Binding, WithoutCurrentPortOrASettingsFileOrSourceThePortIsOne) {
    const std::string file = env_.SettingsDir() + "mlsettings.ini";
    for (int round = 0; round < 3; ++round) {
        round == 0 ? env_.WriteSettingsIni("[LogonDevice]\r\n") : (void)std::remove(file.c_str());
        SetTCOSSettingsINIFileSource(round < 2 ? SettingsPath : nullptr);
        UseDriver("full");
        CreateCard();
        EXPECT_EQ(Driver().InitCalls(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 1}}));
        DestroyCard();
    }
    // The missing file, and the missing source (an empty path), are named.
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] szINIFile = " + file + "\r\n"), 1) << ErrorLog();
    EXPECT_EQ(Count(ErrorLog(), "[ERROR] szINIFile = \r\n"), 1);
}

}  // namespace
}  // namespace mltest
