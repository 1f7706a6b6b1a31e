#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace ct32 {
namespace {

constexpr int kMaxLevel = static_cast<int>(TraceLevel::kCalls);

struct TraceState {
    ~TraceState() {
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    std::once_flag environment_read;
    bool level_from_environment = false;
    std::atomic<int> level{0};
    std::mutex output_lock;  // guards destination and file
    int destination = 0;
    FILE* file = nullptr;  // open while destination is 1 and the file could be opened
};

TraceState& State() {
    static TraceState state;
    return state;
}

int Clamp(int level) {
    return level < 0 ? 0 : (level > kMaxLevel ? kMaxLevel : level);
}

void ReadEnvironment(TraceState& state) {
    std::call_once(state.environment_read, [&state] {
        const char* level = std::getenv("CT32_TRACE_LEVEL");
        if (level != nullptr && *level != '\0') {
            char* end = nullptr;
            const long value = std::strtol(level, &end, 10);
            if (*end == '\0') {
                state.level.store(Clamp(static_cast<int>(value)));
                state.level_from_environment = true;
            }
        }
    });
}

// Called with output_lock held.
FILE* Output(TraceState& state) {
    if (state.destination == 1 && state.file == nullptr) {
        const char* path = std::getenv("CT32_TRACE_FILE");
        if (path != nullptr && *path != '\0') {
            state.file = std::fopen(path, "ae");
        }
    }
    return state.file != nullptr ? state.file : stderr;
}

}  // namespace

void SetTraceOptions(int level, int destination) {
    TraceState& state = State();
    ReadEnvironment(state);
    if (!state.level_from_environment) {
        state.level.store(Clamp(level));
    }
    std::lock_guard lock(state.output_lock);
    const int wanted = destination == 1 ? 1 : 0;
    if (wanted != state.destination && state.file != nullptr) {
        std::fclose(state.file);
        state.file = nullptr;
    }
    state.destination = wanted;
}

bool Tracing(TraceLevel level) {
    TraceState& state = State();
    ReadEnvironment(state);
    const int current = state.level.load();
    return current > 0 && static_cast<int>(level) <= current;
}

void Trace(TraceLevel level, const char* format, ...) {
    if (!Tracing(level)) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);

    TraceState& state = State();
    std::lock_guard lock(state.output_lock);
    FILE* out = Output(state);
    std::fprintf(out, "ct32 %s.%03ldZ %s\n", stamp, now.tv_nsec / 1000000, text);
    std::fflush(out);
}

std::string Hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const uint8_t b : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

}  // namespace ct32
