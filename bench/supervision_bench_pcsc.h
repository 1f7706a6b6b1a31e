// pcsc-lite's own event interface for the supervision benchmark, kept in a
// translation unit of its own: pcsc-lite's headers and the module's platform
// headers define the same Windows names differently.
#ifndef ML_BENCH_SUPERVISION_BENCH_PCSC_H_
#define ML_BENCH_SUPERVISION_BENCH_PCSC_H_

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mlbench {

using Clock = std::chrono::steady_clock;

// Watches one reader with SCardGetStatusChange on a thread of its own and
// keeps the time of every change to "card present" and to "empty".
class PcscWatcher {
  public:
    // Throws std::runtime_error when pcscd cannot be reached or does not know
    // the reader.
    explicit PcscWatcher(std::string reader);
    ~PcscWatcher();
    PcscWatcher(const PcscWatcher&) = delete;
    PcscWatcher& operator=(const PcscWatcher&) = delete;

    // The first arrival (resp. removal) seen at or after `since`, waiting at
    // most `patience`; false when none came.
    bool WaitPresent(Clock::time_point since, Clock::duration patience, Clock::time_point* at);
    bool WaitEmpty(Clock::time_point since, Clock::duration patience, Clock::time_point* at);

  private:
    bool Wait(const std::vector<Clock::time_point>& times, Clock::time_point since,
              Clock::duration patience, Clock::time_point* at);
    void Run();

    std::string reader_;
    uintptr_t context_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> present_, empty_;
    std::string error_;
    std::thread thread_;
};

}  // namespace mlbench

#endif  // ML_BENCH_SUPERVISION_BENCH_PCSC_H_
