// Thread message queues and thread timers.
#include "platform/message.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <map>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "platform/lasterror.h"
#include "platform/testing/test_clock.h"

namespace {

using Kinds = std::vector<UINT>;

// What the timer procedures saw, per timer id.
std::map<UINT_PTR, int> g_calls;
void CALLBACK CountingProc(HWND, UINT message, UINT_PTR id, DWORD) {
    EXPECT_EQ(message, static_cast<UINT>(WM_TIMER));
    ++g_calls[id];
}

// Takes every waiting message, dispatches it and returns the kinds in order.
Kinds Drain(std::vector<MSG>* taken = nullptr) {
    Kinds kinds;
    for (MSG m; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); DispatchMessageW(&m)) {
        kinds.push_back(m.message);
        if (taken)
            taken->push_back(m);
    }
    return kinds;
}

bool Readable(int fd, int timeoutMs = 0) {
    pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

template <typename T>
void AwaitSet(const std::atomic<T>& value) {
    while (value == T{})
        std::this_thread::yield();
}

class Messages : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        Drain();
    }
    // Moves the clock on and takes what is then waiting.
    Kinds Step(uint64_t ms) {
        clock_.Advance(ms);
        return Drain();
    }
    ml::testing::TestClock clock_;
    const DWORD self_ = GetCurrentThreadId();
};

TEST_F(Messages, PostedMessagesComeBeforeADueTimerAndQuitComesLast) {
    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(PostThreadMessageW(self_, WM_USER, 1, 0));
    clock_.Advance(250);
    ASSERT_TRUE(PostThreadMessageW(self_, WM_USER, 2, 0));
    std::vector<MSG> taken;
    ASSERT_EQ(Drain(&taken), (Kinds{WM_USER, WM_USER, WM_TIMER}));
    EXPECT_EQ(taken[2].wParam, id);
    EXPECT_EQ(taken[2].lParam, reinterpret_cast<LPARAM>(&CountingProc));
    EXPECT_EQ(g_calls[id], 1);

    clock_.Advance(250);
    PostQuitMessage(3);
    ASSERT_TRUE(PostThreadMessageW(self_, WM_USER, 3, 0));
    MSG m;
    for (UINT kind : {UINT{WM_USER}, UINT{WM_TIMER}}) {
        EXPECT_GT(GetMessageW(&m, nullptr, 0, 0), 0);
        EXPECT_EQ(m.message, kind);
    }
    EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_TRUE(KillTimer(nullptr, id));

    // A filter takes matching messages first.
    PostThreadMessageW(self_, WM_USER + 1, 0, 0);
    PostThreadMessageW(self_, WM_USER, 0, 0);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(Drain(), Kinds{WM_USER + 1});
}

TEST_F(Messages, MissedPeriodsAreCoalesced) {
    UINT_PTR id = SetTimer(nullptr, 0, 300, CountingProc);
    EXPECT_EQ(Step(299), Kinds{});
    EXPECT_EQ(Step(10 * 300), Kinds{WM_TIMER});  // ten periods late
    EXPECT_EQ(Step(299), Kinds{});               // due one period after it was taken
    EXPECT_EQ(Step(1), Kinds{WM_TIMER});
    EXPECT_EQ(g_calls[id], 2);
    // Looking without removing does not use up the period.
    clock_.Advance(300);
    MSG m;
    EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(Drain(), Kinds{WM_TIMER});
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(Messages, TimerIdentifiersAreFreshAndResettable) {
    UINT_PTR a = SetTimer(nullptr, 0, 250, CountingProc);
    UINT_PTR b = SetTimer(nullptr, 0, 250, CountingProc);
    EXPECT_TRUE(KillTimer(nullptr, a));
    UINT_PTR c = SetTimer(nullptr, 0, 250, CountingProc);
    EXPECT_EQ(std::set<UINT_PTR>({0, a, b, c}).size(), 4u) << "fresh and not 0";
    SetLastError(0);
    EXPECT_FALSE(KillTimer(nullptr, a));
    EXPECT_EQ(GetLastError(), ML_ERROR_NO_SUCH_TIMER);
    // Setting a live timer again restarts it with the new period.
    Step(200);
    EXPECT_EQ(SetTimer(nullptr, b, 500, CountingProc), b);
    Step(250);
    EXPECT_EQ(g_calls, (std::map<UINT_PTR, int>{{c, 1}}));
    Step(250);
    EXPECT_EQ(g_calls, (std::map<UINT_PTR, int>{{b, 1}, {c, 2}}));
    EXPECT_TRUE(KillTimer(nullptr, b));
    EXPECT_TRUE(KillTimer(nullptr, c));
}

void CALLBACK SelfKillingProc(HWND, UINT, UINT_PTR id, DWORD) {
    ++g_calls[id];
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(Messages, KilledTimersCallNothingMore) {
    // Killed inside its own procedure.
    UINT_PTR id = SetTimer(nullptr, 0, 250, SelfKillingProc);
    Step(250);
    EXPECT_EQ(Step(2500), Kinds{});
    EXPECT_EQ(g_calls[id], 1);
    EXPECT_FALSE(KillTimer(nullptr, id));

    // Killed after its message was taken.
    id = SetTimer(nullptr, 0, 250, CountingProc);
    clock_.Advance(250);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, id));
    DispatchMessageW(&m);
    EXPECT_EQ(g_calls[id], 0);
}

std::atomic<bool> g_procEntered{false}, g_killerStarted{false}, g_procReturned{false};
void CALLBACK SlowProc(HWND, UINT, UINT_PTR, DWORD) {
    g_procEntered = true;
    AwaitSet(g_killerStarted);
    // Give the killer time to reach KillTimer; it must wait for us.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_procReturned = true;
}

// From another thread, KillTimer waits for a running procedure, and the
// owner, waiting in GetMessageW, sees the timer no more.
TEST_F(Messages, KillFromAnotherThread) {
    g_procEntered = g_killerStarted = g_procReturned = false;
    std::atomic<UINT_PTR> id{0};
    std::atomic<DWORD> tid{0};
    Kinds seen;
    std::thread owner([&] {
        id = SetTimer(nullptr, 0, 250, SlowProc);
        tid = GetCurrentThreadId();
        for (MSG m; GetMessageW(&m, nullptr, 0, 0) > 0; DispatchMessageW(&m))
            seen.push_back(m.message);
    });
    AwaitSet(tid);
    clock_.Advance(300);
    AwaitSet(g_procEntered);
    std::thread([&] {
        g_killerStarted = true;
        EXPECT_TRUE(KillTimer(nullptr, id));
        EXPECT_TRUE(g_procReturned);
    }).join();
    clock_.Advance(1000);
    PostThreadMessageW(tid, WM_USER, 0, 0);
    PostThreadMessageW(tid, WM_QUIT, 0, 0);
    owner.join();
    EXPECT_EQ(seen, (Kinds{WM_TIMER, WM_USER}));
}

TEST_F(Messages, PostingAcrossThreadsAndToThreadsWithoutAQueue) {
    std::atomic<DWORD> tid{0};
    std::vector<WPARAM> received, sent(1000);
    std::iota(sent.begin(), sent.end(), 0);
    std::thread receiver([&] {
        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
        tid = GetCurrentThreadId();
        while (GetMessageW(&m, nullptr, 0, 0) > 0)
            received.push_back(m.wParam);
    });
    AwaitSet(tid);
    for (WPARAM i : sent)
        ASSERT_TRUE(PostThreadMessageW(tid, WM_USER, i, 0));
    ASSERT_TRUE(PostThreadMessageW(tid, WM_QUIT, 0, 0));
    receiver.join();
    EXPECT_EQ(received, sent);
    // The queue of an ended thread is gone.
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_THREAD_ID);

    // The timers of an ended thread are gone with its queue.
    UINT_PTR orphan = 0;
    std::thread([&] { orphan = SetTimer(nullptr, 0, 250, CountingProc); }).join();
    EXPECT_FALSE(KillTimer(nullptr, orphan));
}

TEST_F(Messages, DescriptorForForeignLoops) {
    int fd = MlGetThreadMessageFd();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));
    std::thread([&] { PostThreadMessageW(self_, WM_USER, 0, 0); }).join();
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Drain(), Kinds{WM_USER});
    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    clock_.Advance(250);
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Drain(), Kinds{WM_TIMER});
    KillTimer(nullptr, id);

    // Work waiting before the descriptor was made makes it readable.
    for (UINT kind : {UINT{WM_USER}, UINT{WM_TIMER}}) {
        std::thread([&] {
            id = kind == WM_TIMER ? SetTimer(nullptr, 0, 250, CountingProc) : 0;
            clock_.Advance(250);
            PostThreadMessageW(kind == WM_USER ? GetCurrentThreadId() : 0, WM_USER, 0, 0);
            int own = MlGetThreadMessageFd();
            EXPECT_TRUE(Readable(own)) << kind;
            EXPECT_EQ(MlGetThreadMessageFd(), own);  // one per queue
            EXPECT_EQ(Drain(), Kinds{kind});
            KillTimer(nullptr, id);
        }).join();
    }
}

// With the system's clock the timer wakes the queue's descriptor (which
// GetMessageW waits on too); a spurious wake-up is allowed, then the timer
// comes with the next one.
TEST(MessagesRealClock, TimerWakesTheDescriptor) {
    UINT_PTR id = SetTimer(nullptr, 0, 10, CountingProc);
    int fd = MlGetThreadMessageFd();
    bool timer = false;
    for (int wake = 0; wake < 2 && !timer; ++wake) {
        ASSERT_TRUE(Readable(fd, -1));
        timer = Drain() == Kinds{WM_TIMER};
    }
    EXPECT_TRUE(timer);
    KillTimer(nullptr, id);
}

}  // namespace
