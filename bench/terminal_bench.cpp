// ReadFiles of the terminal object through our CT-API driver on the real
// stack (CTCOSCard -> ct32.so -> pcscd -> vpcd -> mlcardsim class80 card),
// against the same six APDUs sent directly with pcsc-lite.
//
// Needs a running pcscd with vpcd (PCSCLITE_CSOCK_NAME, ML_VPCD_PORT as for
// the real-stack tests); both benchmarks skip when there is none.
//
//   build/bin/terminal_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cardsim_process.h"
#include "platform/codepage.h"
#include "platform/message.h"
#include "terminal/tcos_card.h"
#include "terminal_bench_pcsc.h"

namespace {

namespace fs = std::filesystem;

std::string g_root;
std::u16string g_settingsPath;
std::optional<mltest::CardSimProcess> g_card;
std::unique_ptr<CTCOSCard> g_terminal;
std::string g_setUpError;

std::u16string SettingsPath() {
    return g_settingsPath;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A private registry with the driver's installation, a settings file with
// port 1, the card in vpcd slot 0, and the terminal object set up with its
// login data written. Returns an error text, empty on success.
std::string SetUp() {
    if (!mltest::PcscdReachable()) {
        return "pcscd is not reachable (start one with scripts/pcscd)";
    }
    char pattern[] = "/tmp/mlterminal-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return "cannot create a temporary directory";
    }
    g_root = pattern;
    const std::string vireo = g_root + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/Vireo";
    fs::create_directories(vireo);
    fs::create_directories(g_root + "/vireo/bin");
    fs::create_symlink(ML_CT32_FILE, g_root + "/vireo/bin/ct32.so");
    WriteText(vireo + "/Path", g_root + "/vireo\n");
    WriteText(g_root + "/mlsettings.ini", "[LogonDevice]\r\nCurrentPort=1\r\n");
    setenv("ML_REGISTRY_ROOT", (g_root + "/registry").c_str(), 1);
    // Below the namespace scripts/bench gives, which it removes at the end.
    const char* run = getenv("ML_OBJECT_NAMESPACE");
    setenv("ML_OBJECT_NAMESPACE",
           ((run ? run : "mlbench") + std::to_string(getpid()) + "_").c_str(), 1);
    g_settingsPath = ml::FromUtf8(g_root + "/mlsettings.ini");
    SetTCOSSettingsINIFileSource(SettingsPath);

    try {
        g_card.emplace(mltest::CardSimOptions{
            .family = "class80", .image = g_root + "/card.img", .slot = 0, .extra_args = {}});
    } catch (const std::exception& e) {
        return e.what();
    }

    g_terminal = std::make_unique<CTCOSCard>();
    // The start-up timer loads the driver and opens the terminal.
    MSG m;
    while (g_nTCOSInitTimer != 0 && GetMessageW(&m, nullptr, 0, 0) > 0) {
        DispatchMessageW(&m);
    }
    // No passes in between the measured calls.
    g_terminal->StopSuperviseTimer();
    if (g_terminal->ResetCard() != CT_OK) {
        return "the card cannot be reset through ct32";
    }
    if (g_terminal->WriteLoginData(u"operator7", u"PLANT", u"Tr0ub4dor&3") != CT_OK) {
        return "the login data cannot be written";
    }
    return std::string();
}

void TearDown() {
    g_terminal.reset();
    g_card.reset();
    if (!g_root.empty()) {
        std::error_code ignored;
        fs::remove_all(g_root, ignored);
    }
}

void BM_ReadFilesThroughCtApi(benchmark::State& state) {
    if (!g_setUpError.empty()) {
        state.SkipWithError(g_setUpError.c_str());
        return;
    }
    WCHAR user[43], domain[33], password[101];
    for (auto _ : state) {
        if (g_terminal->ReadFiles(user, domain, password) != CT_OK) {
            state.SkipWithError("ReadFiles failed");
            return;
        }
        benchmark::DoNotOptimize(user);
    }
    if (std::u16string(user) != u"operator7") {
        state.SkipWithError("ReadFiles read something else");
    }
}
BENCHMARK(BM_ReadFilesThroughCtApi)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same APDUs as ReadFiles, straight to pcsc-lite on one connection.
void BM_ReadFilesDirectPcsc(benchmark::State& state) {
    if (!g_setUpError.empty()) {
        state.SkipWithError(g_setUpError.c_str());
        return;
    }
    mlbench::DirectPcscReader reader(mltest::VpcdReaderName(0));
    if (!reader.Connected()) {
        state.SkipWithError("cannot connect to the card with pcsc-lite");
        return;
    }
    for (auto _ : state) {
        if (!reader.ReadFiles()) {
            state.SkipWithError("a command failed");
            return;
        }
    }
}
BENCHMARK(BM_ReadFilesDirectPcsc)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Both paths in turn, each call timed on its own: the load of a busy machine
// then weighs on both alike, where two benchmarks one after the other see
// different loads. Reports the median of each path and their ratio.
void BM_ReadFilesCtApiOverDirect(benchmark::State& state) {
    if (!g_setUpError.empty()) {
        state.SkipWithError(g_setUpError.c_str());
        return;
    }
    mlbench::DirectPcscReader reader(mltest::VpcdReaderName(0));
    if (!reader.Connected()) {
        state.SkipWithError("cannot connect to the card with pcsc-lite");
        return;
    }
    using Clock = std::chrono::steady_clock;
    WCHAR user[43], domain[33], password[101];
    std::vector<double> ctApi, direct;
    bool ctApiFirst = true;
    for (auto _ : state) {
        double times[2];
        for (int step = 0; step < 2; ++step) {
            const bool throughCtApi = (step == 0) == ctApiFirst;
            const auto start = Clock::now();
            const bool ok = throughCtApi ? g_terminal->ReadFiles(user, domain, password) == CT_OK
                                         : reader.ReadFiles();
            if (!ok) {
                state.SkipWithError(throughCtApi ? "ReadFiles failed" : "a command failed");
                return;
            }
            times[throughCtApi ? 0 : 1] =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
        ctApi.push_back(times[0]);
        direct.push_back(times[1]);
        ctApiFirst = !ctApiFirst;
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    const double ctApiUs = median(ctApi), directUs = median(direct);
    state.counters["ctapi_us"] = ctApiUs;
    state.counters["direct_us"] = directUs;
    state.counters["ratio"] = ctApiUs / directUs;
}
BENCHMARK(BM_ReadFilesCtApiOverDirect)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_setUpError = SetUp();
    if (!g_setUpError.empty()) {
        std::fprintf(stderr, "terminal_bench: %s\n", g_setUpError.c_str());
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TearDown();
    return 0;
}
