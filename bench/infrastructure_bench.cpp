// Speed of the infrastructure:
//  - reading a settings file of 30,000 lines, just under the 1 MiB the
//    reader takes (one section; 10,000 sections), with CIniFile, against
//    libinih on the same file (INIReader, which keeps every value like
//    CIniFile does, and the bare ini_parse with a handler that only counts);
//  - one trace entry (open, size, seek, write, close) against a plain
//    open/append/write/close of the same bytes.
// The files live in a temporary folder of their own; the registry, documents
// folder and object names are private to the run.
#include <INIReader.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "infrastructure/ini_file.h"
#include "infrastructure/log_file.h"
#include "infrastructure/trace.h"
#include "platform/codepage.h"

// This program has no module frame: it owns the two log objects.
CDebugFile theDebugFile;
CErrorFile theErrorFile;

namespace {

namespace fs = std::filesystem;

std::string g_root;

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A file of `lines` lines in `sections` equal sections.
const std::string& IniFile(int sections) {
    static std::map<int, std::string> files;
    auto found = files.find(sections);
    if (found != files.end()) {
        return found->second;
    }
    // The reader takes the first MiB of a file only: the whole file must fit.
    const int lines = 30'000;
    const int perSection = lines / sections - 1;
    std::string text;
    text.reserve(32u * lines);
    for (int s = 0; s < sections; ++s) {
        text += "[Section" + std::to_string(s) + "]\n";
        for (int k = 0; k < perSection; ++k) {
            text +=
                "Key" + std::to_string(k) + "=Value " + std::to_string(s * perSection + k) + "\n";
        }
    }
    std::string path = g_root + "/settings" + std::to_string(sections) + ".ini";
    WriteText(path, text);
    return files.emplace(sections, path).first->second;
}

void CIniFileRead(benchmark::State& state) {
    const std::string& path = IniFile(static_cast<int>(state.range(0)));
    const std::u16string widePath = ml::FromUtf8(path);
    for (auto _ : state) {
        CIniFile ini;
        ini.SetPath(widePath, false);
        bool ok = ini.ReadFile();
        benchmark::DoNotOptimize(ok);
        if (!ok || ini.GetValue(u"section0", u"key1") != u"Value 1") {
            state.SkipWithError("read failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(fs::file_size(path)));
}
BENCHMARK(CIniFileRead)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond);

void InihINIReader(benchmark::State& state) {
    const std::string& path = IniFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        INIReader reader(path);
        if (reader.ParseError() != 0 || reader.Get("section0", "key1", "") != "Value 1") {
            state.SkipWithError("read failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(fs::file_size(path)));
}
BENCHMARK(InihINIReader)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond);

int CountHandler(void* user, const char*, const char*, const char*) {
    ++*static_cast<long*>(user);
    return 1;
}

void InihParseCountOnly(benchmark::State& state) {
    const std::string& path = IniFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        long count = 0;
        if (ini_parse(path.c_str(), CountHandler, &count) != 0) {
            state.SkipWithError("parse failed");
        }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(InihParseCountOnly)->Arg(1)->Arg(10000)->Unit(benchmark::kMillisecond);

// One report of one group to the error log.
void TraceEntry(benchmark::State& state) {
    for (auto _ : state) {
        Trace(u"CBench::Run()", FALSE, TRUE, {TraceParam(u"dwValue", 0, u"[INFO]", 42)});
    }
}
BENCHMARK(TraceEntry);

// The same bytes with a plain open/append/write/close, in the log's folder
// (the depth of the path is part of what an open costs).
void PlainAppend(benchmark::State& state) {
    const std::string entry =
        "\r\n03/07/26 09:05:03 - CBench::Run() \t\t\t[ThreadID: 123456]"
        "\r\n\t\t\t[INFO] dwValue = 42";
    const std::string path = g_root + "/documents/Diagnostics/plain.log";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) {
            state.SkipWithError("write failed");
        }
        close(fd);
    }
}
BENCHMARK(PlainAppend);

// The system calls of one trace entry on this platform without any of its
// other work: open for appending, lseek to the end (the size, for the
// rotation check), write, close.
void PlainSyscallsOfATraceEntry(benchmark::State& state) {
    const std::string entry =
        "\r\n03/07/26 09:05:03 - CBench::Run() \t\t\t[ThreadID: 123456]"
        "\r\n\t\t\t[INFO] dwValue = 42";
    const std::string path = g_root + "/documents/Diagnostics/plain_syscalls.log";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0 || lseek(fd, 0, SEEK_END) < 0 ||
            write(fd, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) {
            state.SkipWithError("write failed");
        }
        close(fd);
    }
}
BENCHMARK(PlainSyscallsOfATraceEntry);

void SetUp() {
    char pattern[] = "/tmp/mlbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::abort();
    }
    g_root = pattern;
    setenv("ML_REGISTRY_ROOT", (g_root + "/registry").c_str(), 1);
    setenv("ML_COMMON_DOCUMENTS", (g_root + "/documents").c_str(), 1);
    // Below the namespace scripts/bench gives, which it removes at the end.
    const char* run = getenv("ML_OBJECT_NAMESPACE");
    setenv("ML_OBJECT_NAMESPACE",
           ((run ? run : "mlbench") + std::to_string(getpid()) + "_").c_str(), 1);
    const std::string key =
        g_root + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/APPSW/MorlindLogon";
    WriteText(key + "/Path", g_root + "/install\n");
    WriteText(g_root + "/install/mlsettings.ini", "[ProductSubpath]\nDiagnostics=Diagnostics/\n");
    fs::create_directories(g_root + "/documents/Diagnostics");
    theErrorFile.Init(u"bench_error.log");
}

}  // namespace

int main(int argc, char** argv) {
    SetUp();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theErrorFile.Cleanup();
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
    return 0;
}
