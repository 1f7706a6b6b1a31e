// Thread message queues and thread timers.
#include "platform/message.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/lasterror.h"
#include "platform/testing/test_clock.h"

namespace {

using ml::testing::TestClock;

// What the timer procedures saw, per timer id.
std::map<UINT_PTR, int> g_calls;
void CALLBACK CountingProc(HWND, UINT message, UINT_PTR id, DWORD) {
    EXPECT_EQ(message, static_cast<UINT>(WM_TIMER));
    ++g_calls[id];
}

// Takes every waiting message; dispatches timers, returns the rest in order.
std::vector<MSG> Drain() {
    std::vector<MSG> taken;
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        taken.push_back(m);
        DispatchMessageW(&m);
    }
    return taken;
}

std::vector<UINT> Kinds(const std::vector<MSG>& messages) {
    std::vector<UINT> kinds;
    for (const auto& m : messages)
        kinds.push_back(m.message);
    return kinds;
}

bool Readable(int fd) {
    struct pollfd p {
        fd, POLLIN, 0
    };
    return ::poll(&p, 1, 0) == 1;
}

class Messages : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        Drain();
    }
    TestClock clock_;
};

TEST_F(Messages, PostedMessagesComeBeforeADueTimer) {
    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    ASSERT_NE(id, 0u);
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER, 1, 0));
    clock_.Advance(250);
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER, 2, 0));
    auto taken = Drain();
    ASSERT_EQ(Kinds(taken), (std::vector<UINT>{WM_USER, WM_USER, WM_TIMER}));
    EXPECT_EQ(taken[0].wParam, 1u);
    EXPECT_EQ(taken[1].wParam, 2u);
    EXPECT_EQ(taken[2].wParam, id);
    EXPECT_EQ(taken[2].lParam, reinterpret_cast<LPARAM>(&CountingProc));
    EXPECT_EQ(g_calls[id], 1);

    // WM_QUIT comes when nothing else waits.
    clock_.Advance(250);
    PostQuitMessage(3);
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER, 3, 0));
    MSG m;
    EXPECT_GT(GetMessageW(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    EXPECT_GT(GetMessageW(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(GetMessageW(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(Messages, MissedPeriodsAreCoalesced) {
    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    clock_.Advance(249);
    EXPECT_TRUE(Drain().empty());
    clock_.Advance(10 * 250);  // ten periods late
    EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_TIMER});
    // Next due one period after it was taken.
    clock_.Advance(249);
    EXPECT_TRUE(Drain().empty());
    clock_.Advance(1);
    EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_TIMER});
    EXPECT_EQ(g_calls[id], 2);
    // Looking without removing does not use up the period.
    clock_.Advance(250);
    MSG m;
    EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(Messages, TimerIdentifiersAreFreshAndResettable) {
    UINT_PTR a = SetTimer(nullptr, 0, 250, CountingProc);
    UINT_PTR b = SetTimer(nullptr, 0, 250, CountingProc);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_TRUE(KillTimer(nullptr, a));
    UINT_PTR c = SetTimer(nullptr, 0, 250, CountingProc);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    SetLastError(0);
    EXPECT_FALSE(KillTimer(nullptr, a));
    EXPECT_EQ(GetLastError(), ML_ERROR_NO_SUCH_TIMER);

    // Setting a live timer again restarts it with the new period.
    clock_.Advance(200);
    EXPECT_EQ(SetTimer(nullptr, b, 500, CountingProc), b);
    clock_.Advance(250);
    Drain();
    EXPECT_EQ(g_calls[b], 0);
    EXPECT_EQ(g_calls[c], 1);
    clock_.Advance(250);
    Drain();
    EXPECT_EQ(g_calls[b], 1);
    // A window handle does not exist here.
    EXPECT_EQ(SetTimer(reinterpret_cast<HWND>(1), 0, 250, CountingProc), 0u);
    EXPECT_FALSE(KillTimer(reinterpret_cast<HWND>(1), b));
    MSG m;
    EXPECT_EQ(GetMessageW(&m, reinterpret_cast<HWND>(1), 0, 0), -1);
    EXPECT_TRUE(KillTimer(nullptr, b));
    EXPECT_TRUE(KillTimer(nullptr, c));
}

UINT_PTR g_selfKilling = 0;
void CALLBACK SelfKillingProc(HWND, UINT, UINT_PTR id, DWORD) {
    ++g_calls[id];
    EXPECT_TRUE(KillTimer(nullptr, id));
}

TEST_F(Messages, TimerKilledInsideItsOwnProcedure) {
    g_selfKilling = SetTimer(nullptr, 0, 250, SelfKillingProc);
    clock_.Advance(250);
    Drain();
    clock_.Advance(2500);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(g_calls[g_selfKilling], 1);
    EXPECT_FALSE(KillTimer(nullptr, g_selfKilling));
}

TEST_F(Messages, TimerKilledAfterItsMessageWasTakenCallsNothing) {
    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    clock_.Advance(250);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(KillTimer(nullptr, id));
    DispatchMessageW(&m);
    EXPECT_EQ(g_calls[id], 0);
}

TEST_F(Messages, ManyTimers) {
    std::vector<std::pair<UINT_PTR, UINT>> timers;
    for (UINT period = 10; period <= 1000; period += 10)
        timers.emplace_back(SetTimer(nullptr, 0, period, CountingProc), period);
    for (int step = 0; step < 1000; ++step) {
        clock_.Advance(10);
        Drain();
    }
    for (const auto& [id, period] : timers) {
        EXPECT_EQ(g_calls[id], static_cast<int>(10000 / period)) << period;
        EXPECT_TRUE(KillTimer(nullptr, id));
    }
}

TEST_F(Messages, FilterTakesMatchingMessagesFirst) {
    const DWORD self = GetCurrentThreadId();
    PostThreadMessageW(self, WM_USER + 1, 0, 0);
    PostThreadMessageW(self, WM_USER, 0, 0);
    MSG m;
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_USER + 1});
}

TEST_F(Messages, KillFromAnotherThreadWhileTheOwnerWaits) {
    std::atomic<UINT_PTR> id{0};
    std::atomic<DWORD> tid{0};
    MSG first{};
    std::thread owner([&] {
        id = SetTimer(nullptr, 0, 250, CountingProc);
        tid = GetCurrentThreadId();
        GetMessageW(&first, nullptr, 0, 0);
    });
    while (tid == 0)
        std::this_thread::yield();
    EXPECT_TRUE(KillTimer(nullptr, id));
    clock_.Advance(1000);  // the owner wakes and finds no timer
    ASSERT_TRUE(PostThreadMessageW(tid, WM_USER, 7, 0));
    owner.join();
    EXPECT_EQ(first.message, static_cast<UINT>(WM_USER));
    EXPECT_EQ(first.wParam, 7u);
}

std::atomic<bool> g_procEntered{false};
std::atomic<bool> g_killerStarted{false};
std::atomic<bool> g_procReturned{false};
void CALLBACK SlowProc(HWND, UINT, UINT_PTR, DWORD) {
    g_procEntered = true;
    while (!g_killerStarted)
        std::this_thread::yield();
    // Give the killer time to reach KillTimer; it must wait for us.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_procReturned = true;
}

TEST_F(Messages, KillFromAnotherThreadWaitsForARunningProcedure) {
    std::atomic<UINT_PTR> id{0};
    std::atomic<DWORD> tid{0};
    std::thread owner([&] {
        id = SetTimer(nullptr, 0, 250, SlowProc);
        tid = GetCurrentThreadId();
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0)
            DispatchMessageW(&m);
    });
    while (tid == 0)
        std::this_thread::yield();
    clock_.Advance(250);
    while (!g_procEntered)
        std::this_thread::yield();
    bool returnedFirst = false;
    std::thread killer([&] {
        g_killerStarted = true;
        EXPECT_TRUE(KillTimer(nullptr, id));
        returnedFirst = g_procReturned;
    });
    killer.join();
    EXPECT_TRUE(returnedFirst);
    PostThreadMessageW(tid, WM_QUIT, 0, 0);
    owner.join();
}

TEST_F(Messages, PostingAcrossThreads) {
    std::atomic<DWORD> tid{0};
    std::vector<WPARAM> received;
    std::thread receiver([&] {
        tid = GetCurrentThreadId();
        MSG m;
        while (GetMessageW(&m, nullptr, 0, 0) > 0)
            received.push_back(m.wParam);
    });
    while (tid == 0)
        std::this_thread::yield();
    for (WPARAM i = 0; i < 1000; ++i)
        ASSERT_TRUE(PostThreadMessageW(tid, WM_USER, i, 0));
    ASSERT_TRUE(PostThreadMessageW(tid, WM_QUIT, 0, 0));
    receiver.join();
    ASSERT_EQ(received.size(), 1000u);
    for (WPARAM i = 0; i < 1000; ++i)
        EXPECT_EQ(received[i], i);

    // The queue of an ended thread is gone, with its timers.
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_THREAD_ID);
}

TEST_F(Messages, PostingToAThreadWithoutAQueueFails) {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread silent([&] {
        tid = ::gettid();  // not GetCurrentThreadId: that would make the queue
        while (!done)
            std::this_thread::yield();
    });
    while (tid == 0)
        std::this_thread::yield();
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageW(static_cast<DWORD>(tid), WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_THREAD_ID);
    done = true;
    silent.join();

    UINT_PTR orphan = 0;
    std::thread([&] { orphan = SetTimer(nullptr, 0, 250, CountingProc); }).join();
    EXPECT_FALSE(KillTimer(nullptr, orphan));
}

TEST_F(Messages, DescriptorForForeignLoops) {
    int fd = MlGetThreadMessageFd();
    ASSERT_GE(fd, 0);
    Drain();
    EXPECT_FALSE(Readable(fd));
    const DWORD self = GetCurrentThreadId();
    std::thread([&] { PostThreadMessageW(self, WM_USER, 0, 0); }).join();
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_USER});

    UINT_PTR id = SetTimer(nullptr, 0, 250, CountingProc);
    Drain();
    clock_.Advance(250);
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_TIMER});
    KillTimer(nullptr, id);
}

TEST(MessagesDescriptor, WorkWaitingBeforeTheDescriptorWasMadeMakesItReadable) {
    std::thread([] {
        ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0));
        int fd = MlGetThreadMessageFd();
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(Readable(fd));
        EXPECT_EQ(MlGetThreadMessageFd(), fd);  // one per queue
        EXPECT_EQ(Kinds(Drain()), std::vector<UINT>{WM_USER});
    }).join();
}

TEST(MessagesRealClock, TimerFiresAndDescriptorWakes) {
    UINT_PTR id = SetTimer(nullptr, 0, 10, CountingProc);
    MSG m;
    ASSERT_GT(GetMessageW(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    int fd = MlGetThreadMessageFd();
    struct pollfd p {
        fd, POLLIN, 0
    };
    ASSERT_EQ(::poll(&p, 1, -1), 1);  // the timerfd wakes a foreign loop
    bool timer = false;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        timer |= m.message == WM_TIMER;
    // A spurious wake-up is allowed; then the timer comes with the next one.
    if (!timer) {
        ASSERT_EQ(::poll(&p, 1, -1), 1);
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
            timer |= m.message == WM_TIMER;
    }
    EXPECT_TRUE(timer);
    KillTimer(nullptr, id);
}

TEST(TestClockTest, SleepAndLocalTimeFollowTheTestClock) {
    TestClock clock(5000);
    EXPECT_EQ(GetTickCount64(), 5000u);
    Sleep(60'000);  // returns at once
    EXPECT_EQ(GetTickCount64(), 65'000u);
    clock.SetLocalTime(SYSTEMTIME{2026, 2, 0, 28, 23, 59, 59, 500});
    clock.Advance(600);
    SYSTEMTIME st;
    GetLocalTime(&st);
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 3);
    EXPECT_EQ(st.wDay, 1);
    EXPECT_EQ(st.wDayOfWeek, 0);  // a Sunday
    EXPECT_EQ(st.wHour, 0);
    EXPECT_EQ(st.wSecond, 0);
    EXPECT_EQ(st.wMilliseconds, 100);
}

}  // namespace
