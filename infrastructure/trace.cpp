#include "infrastructure/trace_internal.h"

#include <charconv>
#include <cstdio>

#include "infrastructure/log_file.h"
#include "platform/lasterror.h"
#include "platform/message.h"

namespace ml_infra {

namespace {
std::u16string Widen(const char* begin, const char* end) {
    return std::u16string(begin, end);
}
}  // namespace

std::u16string FormatDec(int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return Widen(buffer, result.ptr);
}

std::u16string FormatHex(uint64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    return Widen(buffer, result.ptr);
}

std::u16string FormatDouble(double value) {
    // "%f" of the largest double has 309 digits before the point.
    char buffer[400];
    int length = std::snprintf(buffer, sizeof buffer, "%f", value);
    if (length < 0) {
        return std::u16string();
    }
    size_t size = std::min(static_cast<size_t>(length), sizeof buffer - 1);
    return std::u16string(buffer, buffer + size);
}

std::u16string Concat(std::initializer_list<std::u16string_view> pieces) {
    size_t size = 0;
    for (std::u16string_view piece : pieces) {
        size += piece.size();
    }
    std::u16string result;
    result.reserve(size);
    for (std::u16string_view piece : pieces) {
        result.append(piece);
    }
    return result;
}

std::u16string FormatS(std::u16string_view pattern,
                       std::initializer_list<std::u16string_view> args) {
    std::u16string result;
    auto next = args.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == u'%' && i + 1 < pattern.size() && pattern[i + 1] == u's' &&
            next != args.end()) {
            result.append(*next++);
            ++i;
        } else {
            result.push_back(pattern[i]);
        }
    }
    return result;
}

std::u16string FormatTraceHeader(const std::u16string& p_strMethod) {
    return Concat({p_strMethod, u" \t\t\t[ThreadID: ",
                   FormatDec(static_cast<int32_t>(GetCurrentThreadId())), u"]"});
}

namespace {

// "%d" and "%x" of a 32-bit argument.
std::u16string Dec32(int64_t value) {
    return FormatDec(static_cast<int32_t>(value));
}
std::u16string Hex32(int64_t value) {
    return FormatHex(static_cast<uint32_t>(value));
}

class LineBuilder {
  public:
    LineBuilder(const TraceParam& param, std::vector<std::u16string>& lines)
        : prefix_(Concat({param.tag, u" ", param.name})), lines_(lines) {}

    // "<tag> <name><suffix> = <value>"
    void Add(std::u16string_view suffix, std::u16string_view value) {
        std::u16string line = prefix_;
        line.append(suffix);
        line.append(u" = ");
        line.append(value);
        lines_.push_back(std::move(line));
    }

    void AddIndexed(int64_t index, std::u16string_view value) {
        std::u16string suffix(1, u'[');
        suffix.append(Dec32(index));
        suffix.push_back(u']');
        Add(suffix, value);
    }

  private:
    std::u16string prefix_;
    std::vector<std::u16string>& lines_;
};

void FormatVariantArray(const CMLVariant& v, LineBuilder& out) {
    const CMLVariant::VARTYPE element = v.vt & ~(CMLVariant::VT_ARRAY | CMLVariant::VT_BYREF);
    if (v.elements.empty() || v.bounds.empty()) {
        out.Add(u"", u"<none>");
        return;
    }
    const CMLVariant::Bound first = v.bounds[0];
    const CMLVariant::Bound second = v.bounds.size() > 1 ? v.bounds[1] : CMLVariant::Bound{0, 1};
    const bool twoDims = v.bounds.size() > 1;
    size_t n = 0;
    for (uint32_t i = 0; i < first.cElements; ++i) {
        for (uint32_t j = 0; j < second.cElements; ++j, ++n) {
            if (n >= v.elements.size()) {
                return;
            }
            const CMLVariant& e = v.elements[n];
            std::u16string index(1, u'[');
            index.append(Dec32(int64_t{first.lLbound} + i));
            if (twoDims) {
                index.push_back(u',');
                index.append(Dec32(int64_t{second.lLbound} + j));
            }
            index.push_back(u']');
            // Arrays of a fixed type print every element as that type; arrays
            // of variants print each element by its own type.
            CMLVariant::VARTYPE type = element == CMLVariant::VT_VARIANT ? e.vt : element;
            if (element != CMLVariant::VT_VARIANT && e.vt != element) {
                continue;
            }
            switch (type) {
                case CMLVariant::VT_BSTR:
                    out.Add(index, e.bstrVal);
                    break;
                case CMLVariant::VT_I4:
                    out.Add(index, Dec32(e.lVal));
                    break;
                case CMLVariant::VT_I2:
                    out.Add(index, Dec32(e.iVal));
                    break;
                default:
                    break;
            }
        }
    }
}

bool IsArrayOf(const CMLVariant& v, CMLVariant::VARTYPE element) {
    return (v.vt & CMLVariant::VT_ARRAY) != 0 &&
           (v.vt & ~(CMLVariant::VT_ARRAY | CMLVariant::VT_BYREF)) == element;
}

void FormatVariant(const CMLVariant& v, LineBuilder& out) {
    switch (v.vt) {
        case CMLVariant::VT_EMPTY:
            out.Add(u".vt", u"VT_EMPTY");
            return;
        case CMLVariant::VT_I2:
            out.Add(u".iVal", Dec32(v.iVal));
            return;
        case CMLVariant::VT_I4:
            out.Add(u".lVal", Dec32(v.lVal));
            return;
        case CMLVariant::VT_BSTR:
            out.Add(u".bstrVal", v.bstrVal);
            return;
        case CMLVariant::VT_UNKNOWN:
            out.Add(u".punkVal", Concat({u"0x", FormatHex(v.punkVal)}));
            return;
        case CMLVariant::VT_DISPATCH:
            out.Add(u".pdispVal", Concat({u"0x", FormatHex(v.punkVal)}));
            return;
        case CMLVariant::VT_BYREF | CMLVariant::VT_VARIANT: {
            if (!v.pvarVal) {
                return;
            }
            const CMLVariant& r = *v.pvarVal;
            switch (r.vt) {
                case CMLVariant::VT_BSTR:
                    out.Add(u".pvarVal.bstrVal", r.bstrVal);
                    return;
                case CMLVariant::VT_I2:
                    out.Add(u".pvarVal.iVal", Dec32(r.iVal));
                    return;
                case CMLVariant::VT_I4:
                    out.Add(u".pvarVal.lVal", Dec32(r.lVal));
                    return;
                case CMLVariant::VT_DISPATCH:
                    out.Add(u".pvarVal.pdispVal", Concat({u"0x", FormatHex(r.punkVal)}));
                    return;
                case CMLVariant::VT_UNKNOWN:
                    out.Add(u".pvarVal.punkVal", Concat({u"0x", FormatHex(r.punkVal)}));
                    return;
                default:
                    if (IsArrayOf(r, CMLVariant::VT_VARIANT)) {
                        FormatVariantArray(r, out);
                    }
                    return;
            }
        }
        default:
            break;
    }
    if (IsArrayOf(v, CMLVariant::VT_BSTR) || IsArrayOf(v, CMLVariant::VT_I4) ||
        IsArrayOf(v, CMLVariant::VT_I2) || IsArrayOf(v, CMLVariant::VT_VARIANT)) {
        FormatVariantArray(v, out);
    }
}

}  // namespace

std::vector<std::u16string> FormatTraceLines(const TraceParam& p_param) {
    std::vector<std::u16string> lines;
    LineBuilder out(p_param, lines);
    const TraceValue::Storage& value = p_param.value.Get();
    const int64_t* number = std::get_if<int64_t>(&value);
    const std::u16string* text = std::get_if<std::u16string>(&value);
    const CMLVariant* variant = std::get_if<CMLVariant>(&value);
    const auto* strings = std::get_if<std::vector<std::u16string>>(&value);
    const auto* integers = std::get_if<std::vector<int32_t>>(&value);
    const double* real = std::get_if<double>(&value);
    const TraceValue::Pointer* pointer = std::get_if<TraceValue::Pointer>(&value);

    if (pointer) {
        const std::u16string hex = Concat({u"0x", FormatHex(pointer->value)});
        switch (p_param.type) {
            case 0:
            case 2:
                out.Add(u"", Dec32(static_cast<int64_t>(pointer->value)));
                return lines;
            case 1:
                out.Add(u"", hex);
                return lines;
            case 5:
                out.Add(u"", Concat({hex, u" (", FormatDec(static_cast<int64_t>(pointer->value)),
                                     u")"}));
                return lines;
            default:
                break;
        }
    }
    switch (p_param.type) {
        case 0:
        case 2:
            if (number) {
                out.Add(u"", Dec32(*number));
                return lines;
            }
            break;
        case 1:
            if (number) {
                out.Add(u"", Concat({u"0x", Hex32(*number)}));
                return lines;
            }
            break;
        case 3:
            if (text) {
                out.Add(u"", *text);
                return lines;
            }
            break;
        case 4:
            if (variant) {
                FormatVariant(*variant, out);
                return lines;
            }
            break;
        case 5:
            if (number) {
                out.Add(u"", Concat({u"0x", Hex32(*number), u" (", Dec32(*number), u")"}));
                return lines;
            }
            break;
        case 6:
        case 7:
            if (strings) {
                for (size_t i = 0; i < strings->size(); ++i) {
                    out.AddIndexed(static_cast<int64_t>(i), (*strings)[i]);
                }
                if (strings->empty() && p_param.type == 7) {
                    out.Add(u"", u"<none>");
                }
                return lines;
            }
            break;
        case 8:
            if (real) {
                out.Add(u"", FormatDouble(*real));
                return lines;
            }
            break;
        case 9:
            if (integers) {
                for (size_t i = 0; i < integers->size(); ++i) {
                    out.AddIndexed(static_cast<int64_t>(i), Dec32((*integers)[i]));
                }
                if (integers->empty()) {
                    out.Add(u"", u"<none>");
                }
                return lines;
            }
            break;
        default:
            break;
    }
    out.Add(u"", Concat({u"<invalid value for type ", FormatDec(p_param.type), u">"}));
    return lines;
}

}  // namespace ml_infra

CMLVariant CMLVariant::I2(int16_t value) {
    CMLVariant v;
    v.vt = VT_I2;
    v.iVal = value;
    return v;
}

CMLVariant CMLVariant::I4(int32_t value) {
    CMLVariant v;
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

CMLVariant CMLVariant::Bstr(std::u16string value) {
    CMLVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = std::move(value);
    return v;
}

CMLVariant CMLVariant::Unknown(uintptr_t pointer) {
    CMLVariant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = pointer;
    return v;
}

CMLVariant CMLVariant::Dispatch(uintptr_t pointer) {
    CMLVariant v;
    v.vt = VT_DISPATCH;
    v.punkVal = pointer;
    return v;
}

CMLVariant CMLVariant::ByRef(CMLVariant referenced) {
    CMLVariant v;
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = std::make_shared<const CMLVariant>(std::move(referenced));
    return v;
}

CMLVariant CMLVariant::Array(VARTYPE elementType, std::vector<CMLVariant> values,
                             int32_t lowerBound) {
    CMLVariant v;
    v.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    v.bounds.push_back(Bound{lowerBound, static_cast<uint32_t>(values.size())});
    v.elements = std::move(values);
    return v;
}

CMLVariant CMLVariant::Array2(VARTYPE elementType, Bound rows, Bound columns,
                              std::vector<CMLVariant> values) {
    CMLVariant v;
    v.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    v.bounds = {rows, columns};
    v.elements = std::move(values);
    return v;
}

void Trace(const std::u16string& p_strMethod, BOOL p_bDebugLog, BOOL p_bErrorLog,
           std::span<const TraceParam> p_params) {
    if (!p_bDebugLog && !p_bErrorLog) {
        return;
    }
    DWORD lastError = GetLastError();
    try {
        const std::u16string header = ml_infra::FormatTraceHeader(p_strMethod);
        auto write = [&](const std::u16string& line) {
            if (p_bDebugLog) {
                theDebugFile.Write(header, line, FALSE);
            }
            if (p_bErrorLog) {
                theErrorFile.Write(header, line, FALSE);
            }
        };
        if (p_params.empty()) {
            write(std::u16string());
        }
        for (const TraceParam& param : p_params) {
            for (const std::u16string& line : ml_infra::FormatTraceLines(param)) {
                write(line);
            }
        }
    } catch (...) {
        // A report never fails its caller.
    }
    SetLastError(lastError);
}

void Trace(const std::u16string& p_strMethod, BOOL p_bDebugLog, BOOL p_bErrorLog,
           std::initializer_list<TraceParam> p_params) {
    Trace(p_strMethod, p_bDebugLog, p_bErrorLog,
          std::span<const TraceParam>(p_params.begin(), p_params.size()));
}

namespace {
void Separator(int p_nDebugLog, int p_nErrorLog, BOOL p_bLeadingEmptyLine) {
    DWORD lastError = GetLastError();
    try {
        if (p_nDebugLog == 1) {
            theDebugFile.Write(std::u16string(), std::u16string(), p_bLeadingEmptyLine);
        }
        if (p_nErrorLog == 1) {
            theErrorFile.Write(std::u16string(), std::u16string(), p_bLeadingEmptyLine);
        }
    } catch (...) {
    }
    SetLastError(lastError);
}
}  // namespace

void TraceSeparator(int p_nDebugLog, int p_nErrorLog) {
    Separator(p_nDebugLog, p_nErrorLog, FALSE);
}

void TraceErrorSeparator(int p_nDebugLog, int p_nErrorLog) {
    Separator(p_nDebugLog, p_nErrorLog, TRUE);
}

namespace ml_trace {

TraceParam Info(std::u16string_view p_strText) {
    return TraceParam(u"", kText, kInfo, p_strText);
}

TraceParam Error(std::u16string_view p_strText) {
    return TraceParam(u"", kText, kError, p_strText);
}

void Separator(bool p_bDebugLog, bool p_bErrorLog) {
    TraceSeparator(p_bDebugLog ? 1 : 0, p_bErrorLog ? 1 : 0);
}

}  // namespace ml_trace
