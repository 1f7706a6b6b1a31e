// Reader supervision through the real stack (pcscd, vpcd, mlcardsim):
//
//  - InsertionLatency: from the moment the emulator has connected to vpcd
//    (mlcardsim --verbose reports it on stderr; the line is time-stamped as it
//    arrives) to the moment the host thread handles CARD_INSERTED, and, for
//    the same insertions, to the moment pcsc-lite's own event interface
//    (SCardGetStatusChange on a thread of its own) reports the card present.
//    Each insertion starts at a random phase of the polling cycles.
//  - SupervisionCpu: the process's CPU time (getrusage) while the reader
//    object supervises a reader with a card, resp. an empty reader, as a
//    share of one core.
//
// Needs a pcscd with vpcd (PCSCLITE_CSOCK_NAME, ML_VPCD_PORT); without one
// the benchmarks report an error. ML_BENCH_INSERTIONS (default 30) and
// ML_BENCH_CPU_SECONDS (default 60) change the amount of work.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "include/mlcardmanx.h"
#include "infrastructure/log_file.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "mlsmartcardx/smart_card.h"
#include "mlsmartcardx/testing/forwarding_service.h"
#include "supervision_bench_pcsc.h"

// The module's log objects; never set up here, so nothing is logged, as with
// the debug switch off.
CDebugFile theDebugFile;
CErrorFile theErrorFile;

namespace mlbench {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 10s;

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : fallback;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// The host: the reader object on a thread with a real message loop; keeps the
// time each notice was handled and completes logons and logoffs at once.
class Host {
  public:
    explicit Host(std::u16string reader) {
        thread_ = std::thread([this, reader = std::move(reader)] { Run(reader); });
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return threadId_ != 0; });
    }
    ~Host() {
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }

    // The first notice `code` handled at or after `since`.
    bool Wait(int code, Clock::time_point since, Clock::time_point* at) {
        std::unique_lock lock(mutex_);
        auto found = [&] {
            for (const auto& [c, t] : notices_) {
                if (c == code && t >= since) {
                    *at = t;
                    return true;
                }
            }
            return false;
        };
        return changed_.wait_for(lock, kPatience, found);
    }

  private:
    void Run(const std::u16string& reader) {
        auto card = std::make_unique<CSmartCard>(reader);
        {
            std::lock_guard lock(mutex_);
            threadId_ = GetCurrentThreadId();
        }
        changed_.notify_all();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message != WM_COMMAND) {
                DispatchMessageW(&msg);
                continue;
            }
            const Clock::time_point now = Clock::now();
            LPCWSTR event = msg.wParam == CARD_INSERTED  ? ML_EVENT_LOGON_IN_PROCESS
                            : msg.wParam == CARD_REMOVED ? ML_EVENT_LOGOFF_IN_PROCESS
                                                         : nullptr;
            if (event != nullptr) {
                if (HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, event)) {
                    ResetEvent(h);
                    CloseHandle(h);
                }
            }
            {
                std::lock_guard lock(mutex_);
                notices_.emplace_back(static_cast<int>(msg.wParam), now);
            }
            changed_.notify_all();
        }
        card.reset();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<int, Clock::time_point>> notices_;
    DWORD threadId_ = 0;
    std::thread thread_;
};

// One mlcardsim. With `timed`, it runs with --verbose and the time its
// "card inserted" line arrives is kept; without, it writes nothing, so that
// reading its messages costs this process nothing.
class Emulator {
  public:
    Emulator(const std::string& image, bool timed) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            dup2(pipeFds[1], STDERR_FILENO);
            close(pipeFds[0]);
            close(pipeFds[1]);
            execl(ML_CARDSIM_PROGRAM, ML_CARDSIM_PROGRAM, "--family", "generic", "--image",
                  image.c_str(), "--slot", "0", timed ? "--verbose" : static_cast<char*>(nullptr),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        fd_ = pipeFds[0];
        reader_ = std::thread([this] { Read(); });
    }
    ~Emulator() {
        Remove();
        reader_.join();
        close(fd_);
    }

    bool WaitConnected(Clock::time_point* at) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kPatience, [this] { return connected_ || ended_; }) ||
            !connected_) {
            return false;
        }
        *at = connectedAt_;
        return true;
    }

    // Pulls the card: the emulator closes its connection and ends.
    void Remove() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

  private:
    void Read() {
        std::string pending;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            const Clock::time_point now = Clock::now();
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                if (pending.find("card inserted on") < end) {
                    std::lock_guard lock(mutex_);
                    connected_ = true;
                    connectedAt_ = now;
                    changed_.notify_all();
                }
                pending.erase(0, end + 1);
            }
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    bool ended_ = false;
    Clock::time_point connectedAt_;
};

std::string WriteImage() {
    std::vector<BYTE> record(kLoginRecordSize, 0);
    const std::string user = "bench-operator", domain = "PLANT", password = "bench-pw-1";
    for (size_t i = 0; i < user.size(); ++i) {
        record[kUserNameOffset + 2 * i] = static_cast<BYTE>(user[i]);
    }
    for (size_t i = 0; i < domain.size(); ++i) {
        record[kDomainOffset + 2 * i] = static_cast<BYTE>(domain[i]);
    }
    for (size_t i = 0; i < password.size(); ++i) {
        record[kPasswordOffset + 2 * i] = static_cast<BYTE>(password[i]);
    }
    const std::string path = "/tmp/mlbench-supervision-" + std::to_string(getpid()) + ".img";
    std::ofstream out(path, std::ios::trunc);
    out << "mlcardsim-image 1\nfamily generic\nef 5544 ";
    char hex[3];
    for (BYTE b : record) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        out << hex;
    }
    out << "\nend\n";
    return path;
}

std::string ReaderName() {
    return "Virtual PCD 00 00";
}

std::u16string Wide(const std::string& s) {
    return {s.begin(), s.end()};
}

void InsertionLatency(benchmark::State& state) {
    const int insertions = EnvInt("ML_BENCH_INSERTIONS", 30);
    for (auto _ : state) {
        try {
            const std::string image = WriteImage();
            PcscWatcher watcher(ReaderName());
            Host host(Wide(ReaderName()));
            Clock::time_point at;
            if (!host.Wait(CARD_REMOVED, Clock::time_point{}, &at)) {
                state.SkipWithError("the reader object did not report the empty reader");
                return;
            }
            std::mt19937 random(12345);
            std::uniform_int_distribution<int> phase(0, 650);
            std::vector<double> module, pcsc, difference;
            for (int i = 0; i < insertions; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
                Clock::time_point connected, seen, handled, pulled, removed;
                {
                    Emulator emulator(image, true);
                    if (!emulator.WaitConnected(&connected) ||
                        !watcher.WaitPresent(connected, kPatience, &seen) ||
                        !host.Wait(CARD_INSERTED, connected, &handled)) {
                        state.SkipWithError("an insertion was not seen in time");
                        return;
                    }
                    pulled = Clock::now();
                    emulator.Remove();
                }
                if (!watcher.WaitEmpty(pulled, kPatience, &removed) ||
                    !host.Wait(CARD_REMOVED, pulled, &removed)) {
                    state.SkipWithError("a removal was not seen in time");
                    return;
                }
                module.push_back(Ms(handled - connected));
                pcsc.push_back(Ms(seen - connected));
                difference.push_back(Ms(handled - seen));
            }
            std::remove(image.c_str());
            state.counters["insertions"] = static_cast<double>(module.size());
            state.counters["module_p50_ms"] = Percentile(module, 0.50);
            state.counters["module_p95_ms"] = Percentile(module, 0.95);
            state.counters["module_max_ms"] = Percentile(module, 1.0);
            state.counters["pcsc_p50_ms"] = Percentile(pcsc, 0.50);
            state.counters["pcsc_p95_ms"] = Percentile(pcsc, 0.95);
            state.counters["pcsc_max_ms"] = Percentile(pcsc, 1.0);
            state.counters["lag_p50_ms"] = Percentile(difference, 0.50);
            state.counters["lag_p95_ms"] = Percentile(difference, 0.95);
            state.counters["p95_gap_ms"] = Percentile(module, 0.95) - Percentile(pcsc, 0.95);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
}

double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void SupervisionCpu(benchmark::State& state, bool withCard) {
    const int seconds = EnvInt("ML_BENCH_CPU_SECONDS", 60);
    for (auto _ : state) {
        try {
            const std::string image = WriteImage();
            std::unique_ptr<Emulator> emulator;
            Clock::time_point at;
            if (withCard) {
                emulator = std::make_unique<Emulator>(image, false);
            }
            // Every pass connects at least once.
            mltest::ForwardingService counter(ml::GetSCardService());
            ml::SCardService* previous = ml::SetSCardService(&counter);
            {
                Host host(Wide(ReaderName()));
                if (!host.Wait(withCard ? CARD_INSERTED : CARD_REMOVED, Clock::time_point{}, &at)) {
                    ml::SetSCardService(previous);
                    state.SkipWithError("the reader object did not report the reader's state");
                    return;
                }
                const long passesBefore = counter.connects.load();
                const double cpuBefore = CpuSeconds();
                const Clock::time_point start = Clock::now();
                std::this_thread::sleep_for(std::chrono::seconds(seconds));
                const double cpu = CpuSeconds() - cpuBefore;
                const double wall = std::chrono::duration<double>(Clock::now() - start).count();
                const long passes = counter.connects.load() - passesBefore;
                state.counters["cpu_share_pct"] = 100.0 * cpu / wall;
                state.counters["passes"] = static_cast<double>(passes);
                state.counters["cpu_per_pass_us"] = passes > 0 ? 1e6 * cpu / passes : 0.0;
                state.counters["seconds"] = wall;
            }
            ml::SetSCardService(previous);
            std::remove(image.c_str());
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
}

}  // namespace
}  // namespace mlbench

int main(int argc, char** argv) {
    // Machine-wide objects of this run only.
    // Below the namespace scripts/bench gives, which it removes at the end.
    const char* run = getenv("ML_OBJECT_NAMESPACE");
    const std::string space = (run ? run : "mlbench") + std::to_string(getpid()) + "_";
    setenv("ML_OBJECT_NAMESPACE", space.c_str(), 1);

    benchmark::RegisterBenchmark("InsertionLatency", mlbench::InsertionLatency)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("SupervisionCpu/card_present",
                                 [](benchmark::State& s) { mlbench::SupervisionCpu(s, true); })
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("SupervisionCpu/reader_empty",
                                 [](benchmark::State& s) { mlbench::SupervisionCpu(s, false); })
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
