// Thread timers and thread messages on the real clock:
//  - the period of a 250 ms thread timer on an idle machine (p50/p99 over
//    200 periods; the card objects poll with it);
//  - the CPU an idle message loop with one 250 ms timer costs (60 s);
//  - PostThreadMessageW + GetMessageW round trips between two threads.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/message.h"

namespace {

double NowMs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double CpuSeconds() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<double> g_ticks;
void CALLBACK RecordTick(HWND, UINT, UINT_PTR, DWORD) {
    g_ticks.push_back(NowMs());
}

// Runs a message loop with one timer of `periodMs` until `ticks` timer
// calls have happened.
void RunTimerLoop(UINT periodMs, size_t ticks) {
    g_ticks.clear();
    g_ticks.reserve(ticks + 1);
    g_ticks.push_back(NowMs());
    UINT_PTR id = SetTimer(nullptr, 0, periodMs, RecordTick);
    MSG msg;
    while (g_ticks.size() <= ticks && GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    KillTimer(nullptr, id);
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

void BM_TimerPeriod250ms(benchmark::State& state) {
    for (auto _ : state)
        RunTimerLoop(250, 200);
    std::vector<double> periods;
    for (size_t i = 1; i < g_ticks.size(); ++i)
        periods.push_back(g_ticks[i] - g_ticks[i - 1]);
    state.counters["p50_ms"] = Percentile(periods, 0.50);
    state.counters["p99_ms"] = Percentile(periods, 0.99);
    state.counters["min_ms"] = *std::min_element(periods.begin(), periods.end());
    state.counters["max_ms"] = *std::max_element(periods.begin(), periods.end());
}
BENCHMARK(BM_TimerPeriod250ms)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_IdleLoopCpu60s(benchmark::State& state) {
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        double cpuStart = CpuSeconds(), wallStart = NowMs();
        RunTimerLoop(250, 240);  // 60 s
        cpu = CpuSeconds() - cpuStart;
        wall = (NowMs() - wallStart) / 1e3;
    }
    state.counters["cpu_s"] = cpu;
    state.counters["wall_s"] = wall;
    state.counters["core_pct"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_IdleLoopCpu60s)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_PostGetRoundTrip(benchmark::State& state) {
    // Both threads have their queues before the first post: a post to a
    // thread without one fails, and the other side would wait forever.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    const DWORD self = GetCurrentThreadId();
    std::atomic<DWORD> echoTid{0};
    std::thread echo([&echoTid, self] {
        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
        echoTid = GetCurrentThreadId();
        echoTid.notify_one();
        while (GetMessageW(&m, nullptr, 0, 0) > 0) {
            if (!PostThreadMessageW(self, WM_USER, m.wParam, 0))
                break;
        }
    });
    echoTid.wait(0);
    WPARAM n = 0;
    for (auto _ : state) {
        if (!PostThreadMessageW(echoTid, WM_USER, ++n, 0)) {
            state.SkipWithError("PostThreadMessageW to the echo thread failed");
            break;
        }
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0 || msg.wParam != n) {
            state.SkipWithError("the echo did not come back");
            break;
        }
    }
    if (!PostThreadMessageW(echoTid, WM_QUIT, 0, 0)) {
        state.SkipWithError("the echo thread cannot be ended");
        echo.detach();
        return;
    }
    echo.join();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
    state.counters["messages_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 2, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PostGetRoundTrip)->UseRealTime();

}  // namespace
