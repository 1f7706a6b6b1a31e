// What one CT_data call costs through pcscd and vpcd against mlcardsim: the
// card reset that the module sends on every supervision pass, a card command,
// and a terminal command answered without the card. Needs a running pcscd
// (PCSCLITE_CSOCK_NAME, ML_VPCD_PORT); each benchmark says why when it cannot run.
#include <PCSC/winscard.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cardsim_process.h"
#include "ct32_loader.h"

namespace {

using namespace ct32test;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kCtn = 1;

uint16_t PortOfSlot0() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return 0;
    }
    uint16_t port = 0;
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) == SCARD_S_SUCCESS) {
        std::string multi(size, '\0');
        if (SCardListReaders(context, nullptr, multi.data(), &size) == SCARD_S_SUCCESS) {
            uint16_t n = 0;
            for (const char* name = multi.c_str(); *name != '\0'; name += strlen(name) + 1) {
                ++n;
                if (mltest::VpcdReaderName(0) == name) {
                    port = n;
                }
            }
        }
    }
    SCardReleaseContext(context);
    return port;
}

// The driver with terminal kCtn open on slot 0, and a generic card in it.
class Bench {
  public:
    Bench() {
        if (!mltest::PcscdReachable()) {
            error_ = "pcscd not reachable";
            return;
        }
        const uint16_t port = PortOfSlot0();
        if (port == 0) {
            error_ = "reader " + mltest::VpcdReaderName(0) + " not listed";
            return;
        }
        char folder[] = "/tmp/ct32_bench_XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            error_ = "no temporary folder";
            return;
        }
        folder_ = folder;
        mltest::CardSimOptions options;
        options.family = "generic";
        options.image = folder_ + "/card.img";
        try {
            card_ = std::make_unique<mltest::CardSimProcess>(options);
        } catch (const std::exception& e) {
            error_ = e.what();
            return;
        }
        if (ct_.init(kCtn, port) != kOk) {
            error_ = "CT_init failed";
        }
    }
    ~Bench() {
        ct_.close(kCtn);
        card_.reset();
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }

    const std::string& error() const { return error_; }
    const Ct32Library& ct() const { return ct_; }

  private:
    Ct32Library ct_;
    std::unique_ptr<mltest::CardSimProcess> card_;
    std::string folder_;
    std::string error_;
};

void Run(benchmark::State& state, uint8_t dad, const Bytes& command, uint16_t sw) {
    Bench bench;
    if (!bench.error().empty()) {
        state.SkipWithError(bench.error().c_str());
        return;
    }
    if (Send(bench.ct(), kCtn, kTerminal, {0x20, 0x10, 0x01, 0x00, 0x00}).Sw() != 0x9001) {
        state.SkipWithError("card reset failed");
        return;
    }
    for (auto _ : state) {
        const Exchange exchange = Send(bench.ct(), kCtn, dad, command);
        if (exchange.result != kOk || exchange.Sw() != sw) {
            state.SkipWithError("unexpected answer");
            break;
        }
    }
}

void BM_CardReset(benchmark::State& state) {
    Run(state, kTerminal, {0x20, 0x10, 0x01, 0x01, 0x00}, 0x9001);
}
BENCHMARK(BM_CardReset)->Unit(benchmark::kMillisecond);

void BM_SelectMasterFile(benchmark::State& state) {
    Run(state, kCard, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, 0x9000);
}
BENCHMARK(BM_SelectMasterFile)->Unit(benchmark::kMillisecond);

void BM_GetCardStatus(benchmark::State& state) {
    Run(state, kTerminal, {0x20, 0x13, 0x00, 0x80, 0x00}, 0x9000);
}
BENCHMARK(BM_GetCardStatus)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
