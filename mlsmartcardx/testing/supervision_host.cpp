#include "mlsmartcardx/testing/supervision_host.h"

#include <memory>

#include "include/mlcardmanx.h"
#include "mlsmartcardx/smart_card.h"

namespace mltest {
namespace {

void ResetEventByName(LPCWSTR name) {
    if (HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name)) {
        ResetEvent(event);
        CloseHandle(event);
    }
}

}  // namespace

SupervisionHost::SupervisionHost(std::u16string reader, bool resetLogon)
    : reset_logon_(resetLogon) {
    thread_ = std::thread([this, reader = std::move(reader)] { Run(reader); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
}

SupervisionHost::~SupervisionHost() {
    PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
    thread_.join();
}

void SupervisionHost::Run(std::u16string reader) {
    auto card = std::make_unique<CSmartCard>(reader);
    {
        std::lock_guard lock(mutex_);
        thread_id_ = GetCurrentThreadId();
        started_ = true;
    }
    changed_.notify_all();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message != WM_COMMAND) {
            DispatchMessageW(&msg);
            continue;
        }
        Notice notice;
        notice.code = static_cast<int>(msg.wParam);
        if (msg.wParam == CARD_INSERTED) {
            // Copied at once: later passes rewrite the block.
            const auto* block = reinterpret_cast<const LoginDataBlock*>(msg.lParam);
            notice.user = block->szUserName;
            notice.domain = block->szDomain;
            notice.password = block->szPassword;
            if (reset_logon_) {
                ResetEventByName(ML_EVENT_LOGON_IN_PROCESS);
            }
        } else if (msg.wParam == CARD_REMOVED) {
            ResetEventByName(ML_EVENT_LOGOFF_IN_PROCESS);
        }
        notice.handled = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            notices_.push_back(std::move(notice));
        }
        changed_.notify_all();
    }
    card.reset();
}

bool SupervisionHost::WaitForNotices(size_t count, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return notices_.size() >= count; });
}

std::vector<SupervisionHost::Notice> SupervisionHost::Notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
}

size_t SupervisionHost::Count() const {
    std::lock_guard lock(mutex_);
    return notices_.size();
}

}  // namespace mltest
