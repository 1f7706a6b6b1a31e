#include "supervision_bench_pcsc.h"

#include <winscard.h>

#include <stdexcept>

namespace mlbench {

PcscWatcher::PcscWatcher(std::string reader) : reader_(std::move(reader)) {
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        throw std::runtime_error(std::string("pcscd not reachable: ") + pcsc_stringify_error(rv));
    }
    context_ = context;
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    rv = SCardGetStatusChange(context, 0, &state, 1);
    if (rv != SCARD_S_SUCCESS || (state.dwEventState & SCARD_STATE_UNKNOWN) != 0) {
        SCardReleaseContext(context);
        throw std::runtime_error("pcscd does not know the reader \"" + reader_ + "\"");
    }
    thread_ = std::thread([this] { Run(); });
}

PcscWatcher::~PcscWatcher() {
    SCardCancel(static_cast<SCARDCONTEXT>(context_));
    thread_.join();
    SCardReleaseContext(static_cast<SCARDCONTEXT>(context_));
}

void PcscWatcher::Run() {
    SCARD_READERSTATE state{};
    state.szReader = reader_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    bool present = false;
    bool first = true;
    for (;;) {
        LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context_), INFINITE, &state, 1);
        const Clock::time_point now = Clock::now();
        if (rv != SCARD_S_SUCCESS) {
            if (rv != SCARD_E_CANCELLED) {
                std::lock_guard lock(mutex_);
                error_ = pcsc_stringify_error(rv);
            }
            changed_.notify_all();
            return;
        }
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        const bool nowPresent = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (!first && nowPresent != present) {
            std::lock_guard lock(mutex_);
            (nowPresent ? present_ : empty_).push_back(now);
        }
        first = false;
        present = nowPresent;
        changed_.notify_all();
    }
}

bool PcscWatcher::Wait(const std::vector<Clock::time_point>& times, Clock::time_point since,
                       Clock::duration patience, Clock::time_point* at) {
    std::unique_lock lock(mutex_);
    auto found = [&] {
        for (Clock::time_point t : times) {
            if (t >= since) {
                *at = t;
                return true;
            }
        }
        return false;
    };
    return changed_.wait_for(lock, patience, [&] { return found() || !error_.empty(); }) &&
           error_.empty();
}

bool PcscWatcher::WaitPresent(Clock::time_point since, Clock::duration patience,
                              Clock::time_point* at) {
    return Wait(present_, since, patience, at);
}

bool PcscWatcher::WaitEmpty(Clock::time_point since, Clock::duration patience,
                            Clock::time_point* at) {
    return Wait(empty_, since, patience, at);
}

}  // namespace mlbench
