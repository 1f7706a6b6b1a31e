// Test support: a host thread for the reader object, as a host process runs
// it.
//
// SupervisionHost constructs a CSmartCard for the given reader on a thread of
// its own, runs a real message loop there (GetMessageW, DispatchMessageW) and
// records every notice it handles, with the login data copied while handling
// it and the steady-clock time it was handled. Like a host that completes
// each logon and logoff at once, it resets the logoff event after
// CARD_REMOVED and, unless told otherwise, the logon event after
// CARD_INSERTED. The destructor ends the loop and destroys the object on the
// host thread.
//
// Thread safety: every member may be called from any thread.
#ifndef ML_MLSMARTCARDX_TESTING_SUPERVISION_HOST_H_
#define ML_MLSMARTCARDX_TESTING_SUPERVISION_HOST_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/windef.h"

namespace mltest {

class SupervisionHost {
  public:
    struct Notice {
        int code = 0;
        std::u16string user, domain, password;  // CARD_INSERTED only
        std::chrono::steady_clock::time_point handled;
    };

    explicit SupervisionHost(std::u16string reader, bool resetLogon = true);
    ~SupervisionHost();
    SupervisionHost(const SupervisionHost&) = delete;
    SupervisionHost& operator=(const SupervisionHost&) = delete;

    // Waits until at least `count` notices were handled, at most `patience`.
    bool WaitForNotices(size_t count, std::chrono::milliseconds patience);
    std::vector<Notice> Notices() const;
    size_t Count() const;
    DWORD ThreadId() const { return thread_id_; }

  private:
    void Run(std::u16string reader);

    const bool reset_logon_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notice> notices_;
    bool started_ = false;
    DWORD thread_id_ = 0;
    std::thread thread_;
};

}  // namespace mltest

#endif  // ML_MLSMARTCARDX_TESTING_SUPERVISION_HOST_H_
