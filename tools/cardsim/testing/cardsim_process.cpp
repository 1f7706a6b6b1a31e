#include "cardsim_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

#include "cardsim/family.h"

namespace mltest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(5);

std::string Code(LONG rv) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "0x%08lX (%s)", static_cast<unsigned long>(rv),
                  pcsc_stringify_error(rv));
    return buf;
}

// A pcsc-lite context for the lifetime of one call.
class Context {
  public:
    Context() {
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_);
        if (rv != SCARD_S_SUCCESS) {
            throw std::runtime_error("pcscd not reachable: SCardEstablishContext failed " +
                                     Code(rv));
        }
    }
    ~Context() { SCardReleaseContext(ctx_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    SCARDCONTEXT get() const { return ctx_; }

  private:
    SCARDCONTEXT ctx_ = 0;
};

// Waits until `done` holds for the reader's state, or `patience` has passed, or `give_up`
// returns true. Returns whether `done` held; `last` gets the last state seen.
template <typename Done, typename GiveUp>
bool WaitForReader(const Context& ctx, const std::string& reader, Clock::duration patience,
                   Done done, GiveUp give_up, SCARD_READERSTATE& last) {
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
        const LONG rv = SCardGetStatusChange(ctx.get(), timeout, &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
            throw std::runtime_error("SCardGetStatusChange on \"" + reader + "\" failed " +
                                     Code(rv));
        }
        if (rv == SCARD_S_SUCCESS) {
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        }
        last = state;
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

bool RealStackRequired() {
    const char* v = std::getenv("ML_REQUIRE_PCSCD");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

CardSimProcess::CardSimProcess(CardSimOptions opts)
    : opts_(std::move(opts)), reader_(VpcdReaderName(opts_.slot)) {
    const std::optional<cardsim::Family> family = cardsim::ParseFamily(opts_.family);
    if (!family) {
        throw std::runtime_error("CardSimProcess: unknown card family \"" + opts_.family + "\"");
    }
    const cardsim::Bytes& atr = cardsim::AtrOf(*family);
    Context ctx;
    SCARD_READERSTATE last{};
    // A card pulled a moment ago may still be seen for one presence poll.
    if (!WaitForReader(
            ctx, reader_, std::chrono::seconds(2), Empty, [] { return false; }, last)) {
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
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("cannot start mlcardsim: fork failed: ") +
                                 std::strerror(errno));
    }
    if (pid == 0) {
        // A test program that dies must not leave its card in the reader.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    pid_ = pid;

    auto present = [&atr](const SCARD_READERSTATE& s) {
        return (s.dwEventState & SCARD_STATE_PRESENT) != 0 && s.cbAtr == atr.size() &&
               std::equal(atr.begin(), atr.end(), s.rgbAtr);
    };
    bool ok = false;
    try {
        ok = WaitForReader(
            ctx, reader_, kPatience, present, [this] { return !Running(); }, last);
    } catch (...) {
        try {
            Remove();
        } catch (...) {
        }
        throw;
    }
    if (!ok) {
        const bool ended = !Running();
        if (!ended) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
        pid_ = -1;
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

void CardSimProcess::Reap(bool wait) const {
    if (pid_ <= 0) {
        return;
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = 0;  // ended and reaped
    } else if (r < 0) {
        pid_ = 0;  // not our child any more
    }
}

bool CardSimProcess::Running() const {
    Reap(false);
    return pid_ > 0;
}

int CardSimProcess::ExitStatus() const {
    Reap(false);
    return pid_ > 0 ? -1 : exit_status_;
}

void CardSimProcess::Remove() {
    if (pid_ < 0) {
        return;  // never started
    }
    if (Running()) {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + kPatience;
        while (Running() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (Running()) {
            ::kill(pid_, SIGKILL);
            Reap(true);
        }
    }
    Context ctx;
    SCARD_READERSTATE last{};
    if (!WaitForReader(
            ctx, reader_, kPatience, Empty, [] { return false; }, last)) {
        throw std::runtime_error("reader \"" + reader_ +
                                 "\" still reports a card after mlcardsim ended");
    }
}

}  // namespace mltest
