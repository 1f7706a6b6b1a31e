// The pieces of a report, for the trace and its tests.
#ifndef ML_INFRASTRUCTURE_TRACE_INTERNAL_H_
#define ML_INFRASTRUCTURE_TRACE_INTERNAL_H_

#include <string>
#include <vector>

#include "infrastructure/trace.h"

namespace ml_infra {
// The lines one group yields (none for an empty list of code 6, or for a
// variant type that is not printed).
std::vector<std::u16string> FormatTraceLines(const TraceParam& p_param);
// The header of every entry of a report: "%s \t\t\t[ThreadID: %d]".
std::u16string FormatTraceHeader(const std::u16string& p_strMethod);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_TRACE_INTERNAL_H_
