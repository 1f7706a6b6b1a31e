// The driver's trace: a few lines per call on standard error or in a file.
// Thread-safe; each line is written whole. Callers never pass data fields of
// card commands or responses (they may hold a password).
#ifndef ML_COMPONENTS_CTAPI_TRACE_H_
#define ML_COMPONENTS_CTAPI_TRACE_H_

#include <cstdint>
#include <span>
#include <string>

namespace ct32 {

enum class TraceLevel : int {
    kOff = 0,
    kFailures = 1,
    kCalls = 2,
};

// Backs CT_SetTraceOptions; see ct32.h for the meaning of the arguments and
// of the environment variables CT32_TRACE_LEVEL and CT32_TRACE_FILE.
void SetTraceOptions(int level, int destination);

// True when a line of `level` would be written; lets callers skip formatting.
bool Tracing(TraceLevel level);

// Writes one line "ct32 <UTC time> <text>" when `level` is enabled.
// The formats are C99's (%zu), which mingw-w64's own printf gives on
// Windows, where GCC checks them as gnu_printf.
#if defined(__MINGW32__)
#define CT32_TRACE_FORMAT gnu_printf
#else
#define CT32_TRACE_FORMAT printf
#endif
void Trace(TraceLevel level, const char* format, ...)
    __attribute__((format(CT32_TRACE_FORMAT, 2, 3)));

// "3B 8F 80 01" for a few bytes; only for bytes that are no secret (ATR,
// command headers, status words).
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace ct32

#endif  // ML_COMPONENTS_CTAPI_TRACE_H_
