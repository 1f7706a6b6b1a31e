// SmartCardReadFiles on the real stack (pcscd, vpcd, mlcardsim) against the
// same session issued directly with pcsc-lite, in the same run and on the
// same emulated cards: what the card library costs on top of PC/SC.
//
// Needs a running pcscd with vpcd (PCSCLITE_CSOCK_NAME, ML_VPCD_PORT); both
// vpcd slots get a card: slot 0 a generic card, slot 1 a TCOS 1.2 card.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "cardsim_process.h"
#include "mlsmartcardx/mlsmartcard.h"

namespace mlbench {

int64_t DirectReadLoginRecord(const std::string& reader, bool tcos);  // smartcard_read_direct.cpp

namespace {

std::u16string Widen(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

void LibraryRead(benchmark::State& state, int slot) {
    const std::u16string reader = Widen(mltest::VpcdReaderName(slot));
    for (auto _ : state) {
        LPWSTR user = nullptr, domain = nullptr, password = nullptr;
        DWORD capacity = 0;
        LONG rv = SmartCardReadFiles(reader.c_str(), &user, &domain, &password, &capacity);
        if (rv != SCARD_S_SUCCESS) {
            state.SkipWithError("SmartCardReadFiles failed");
            break;
        }
        benchmark::DoNotOptimize(user);
        free(user);
        free(domain);
        free(password);
    }
}

void DirectRead(benchmark::State& state, int slot, bool tcos) {
    const std::string reader = mltest::VpcdReaderName(slot);
    for (auto _ : state) {
        if (DirectReadLoginRecord(reader, tcos) != 0) {
            state.SkipWithError("direct pcsc-lite read failed");
            break;
        }
    }
}

void BM_SmartCardReadFiles_Generic(benchmark::State& state) {
    LibraryRead(state, 0);
}
void BM_PcscLiteDirect_Generic(benchmark::State& state) {
    DirectRead(state, 0, false);
}
void BM_SmartCardReadFiles_Tcos12(benchmark::State& state) {
    LibraryRead(state, 1);
}
void BM_PcscLiteDirect_Tcos12(benchmark::State& state) {
    DirectRead(state, 1, true);
}

// Wall-clock time: the work happens in pcscd and the emulator.
BENCHMARK(BM_SmartCardReadFiles_Generic)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PcscLiteDirect_Generic)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SmartCardReadFiles_Tcos12)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PcscLiteDirect_Tcos12)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Puts a card with a written login record into `slot`.
std::unique_ptr<mltest::CardSimProcess> InsertLogonCard(const std::string& family,
                                                        const std::string& image, int slot) {
    auto sim =
        std::make_unique<mltest::CardSimProcess>(mltest::CardSimOptions{family, image, slot, {}});
    const std::u16string reader = Widen(mltest::VpcdReaderName(slot));
    SmartCardDeleteFiles(reader.c_str());
    if (SmartCardCreateFiles(reader.c_str()) != SCARD_S_SUCCESS ||
        SmartCardWriteFiles(reader.c_str(), u"bench.user", u"BENCH", u"bench-pw", 8) !=
            SCARD_S_SUCCESS) {
        return nullptr;
    }
    return sim;
}

}  // namespace
}  // namespace mlbench

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!mltest::PcscdReachable()) {
        std::fprintf(stderr, "pcscd is not reachable: start one with scripts/pcscd\n");
        return 1;
    }
    char tmpl[] = "/tmp/mlsmartcard-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        return 1;
    }
    const std::string dir = tmpl;
    int status = 0;
    try {
        auto generic = mlbench::InsertLogonCard("generic", dir + "/generic.img", 0);
        auto tcos = mlbench::InsertLogonCard("tcos12", dir + "/tcos12.img", 1);
        if (!generic || !tcos) {
            std::fprintf(stderr, "could not write the login record to the emulated cards\n");
            status = 1;
        } else {
            benchmark::RunSpecifiedBenchmarks();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        status = 1;
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(dir);
    return status;
}
