#include "cardsim_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>

#include "cardsim/family.h"

namespace mltest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(5);

std::runtime_error Failed(const std::string& what, LONG rv) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(rv));
    return std::runtime_error(what + " failed " + code + " (" + pcsc_stringify_error(rv) + ")");
}

// Waits until `done` holds for the reader's state (true), or `patience` has passed or
// `give_up` returns true (false).
bool WaitForReader(
    const std::string& reader, Clock::duration patience,
    const std::function<bool(const SCARD_READERSTATE&)>& done,
    const std::function<bool()>& give_up = [] { return false; }) {
    SCARDCONTEXT ctx = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
    if (rv != SCARD_S_SUCCESS) {
        throw Failed("pcscd not reachable: SCardEstablishContext", rv);
    }
    struct Release {
        SCARDCONTEXT ctx;
        ~Release() { SCardReleaseContext(ctx); }
    } release{ctx};
    const auto deadline = Clock::now() + patience;
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const DWORD timeout = state.dwCurrentState == SCARD_STATE_UNAWARE
                                  ? 0
                                  : static_cast<DWORD>(std::clamp<long>(left.count(), 0, 100));
        rv = SCardGetStatusChange(ctx, timeout, &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
            throw Failed("SCardGetStatusChange on \"" + reader + "\"", rv);
        }
        if (rv == SCARD_S_SUCCESS) {
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        }
        if (state.dwEventState & SCARD_STATE_UNKNOWN) {
            throw std::runtime_error("pcscd knows no reader \"" + reader +
                                     "\" (is the vpcd driver configured?)");
        }
        if (done(state)) {
            return true;
        }
        if (give_up() || Clock::now() >= deadline) {
            return false;
        }
    }
}

bool Empty(const SCARD_READERSTATE& s) {
    return (s.dwEventState & SCARD_STATE_EMPTY) != 0;
}

}  // namespace

std::string VpcdReaderName(int slot) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "Virtual PCD 00 %02X", slot & 0xFF);
    return buf;
}

bool PcscdReachable() {
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
        return false;
    }
    DWORD len = 0;
    const LONG rv = SCardListReaders(ctx, nullptr, nullptr, &len);
    SCardReleaseContext(ctx);
    return rv == SCARD_S_SUCCESS;
}

CardSimProcess::CardSimProcess(CardSimOptions opts)
    : opts_(std::move(opts)), reader_(VpcdReaderName(opts_.slot)) {
    const std::optional<cardsim::Family> family = cardsim::ParseFamily(opts_.family);
    if (!family) {
        throw std::runtime_error("CardSimProcess: unknown card family \"" + opts_.family + "\"");
    }
    // A card pulled a moment ago may still be seen for one presence poll.
    if (!WaitForReader(reader_, std::chrono::seconds(2), Empty)) {
        throw std::runtime_error("reader \"" + reader_ +
                                 "\" holds a card already (another emulator on this slot?)");
    }
    std::vector<std::string> args = {
        ML_CARDSIM_PROGRAM,        "--family", opts_.family, "--image", opts_.image, "--slot",
        std::to_string(opts_.slot)};
    args.insert(args.end(), opts_.extra_args.begin(), opts_.extra_args.end());
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error(std::string("cannot fork for mlcardsim: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        // A test program that dies must not leave its card in the reader.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    const cardsim::Bytes& atr = cardsim::AtrOf(*family);
    auto present = [&atr](const SCARD_READERSTATE& s) {
        return (s.dwEventState & SCARD_STATE_PRESENT) != 0 && s.cbAtr == atr.size() &&
               std::equal(atr.begin(), atr.end(), s.rgbAtr);
    };
    bool ok = false;
    try {
        ok = WaitForReader(reader_, kPatience, present, [this] { return !Running(); });
    } catch (...) {
        End();
        throw;
    }
    if (!ok) {
        const bool ended = !Running();
        End();
        throw std::runtime_error(
            ended ? "mlcardsim ended with status " + std::to_string(exit_status_) +
                        " before its card was seen in \"" + reader_ + "\" (its message is above)"
                  : "the card of mlcardsim did not appear in \"" + reader_ +
                        "\" within 5 s (is ML_VPCD_PORT the port of this pcscd's vpcd?)");
    }
}

CardSimProcess::~CardSimProcess() {
    try {
        Remove();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "CardSimProcess: %s\n", e.what());
    }
}

bool CardSimProcess::Running() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) != 0) {  // ended, or no child of ours
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = 0;
    }
    return pid_ > 0;
}

// SIGTERM, and SIGKILL if mlcardsim has not ended kPatience later.
void CardSimProcess::End() {
    if (!Running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    for (const auto deadline = Clock::now() + kPatience; Running() && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Running()) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = 0;
    }
}

void CardSimProcess::Remove() {
    if (pid_ < 0) {
        return;  // never started
    }
    End();
    if (!WaitForReader(reader_, kPatience, Empty)) {
        throw std::runtime_error("reader \"" + reader_ +
                                 "\" still reports a card after mlcardsim ended");
    }
}

}  // namespace mltest
