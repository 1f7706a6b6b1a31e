// Trace: the one entry point of every diagnostic report.
//
// A report is a method text, two switches (debug log, error log) and a list
// of parameter groups (name, type code, level tag, value). Each group yields
// one or more lines; each line becomes one entry in each chosen log (see
// log_file.h for the entry layout). Type codes and their lines, applied with
// tag, name and value:
//   0, 2  kInt, kLong        32-bit value       "%s %s = %d"
//   1     kHex               32-bit value       "%s %s = 0x%x"
//   3     kText              string             "%s %s = %s"
//   4     kVariant           CMLVariant         by its variant type
//   5     kHexAndInt         32-bit value       "%s %s = 0x%x (%d)"
//   6     kTexts             list of strings    "%s %s[%d] = %s" per element; nothing when empty
//   7     kTextsOrNone       list of strings    as 6; "%s %s = <none>" when empty
//   8     kDouble            double             "%s %s = %f"
//   9     kInts              list of integers   "%s %s[%d] = %d" per element; as 7
//                                                when empty
// (the names in ml_trace below).
// Handles and other pointers go with codes 0, 1, 2 and 5; codes 1 and 5
// print all bits of them in hexadecimal.
// A value whose kind does not fit its code, or an unknown code, gives the
// line "%s %s = <invalid value for type %d>", so the report is not lost.
//
// Trace never fails its caller and leaves the thread's last error as it was.
// Any thread may call it; the log objects serialise their writes.
#ifndef ML_INFRASTRUCTURE_TRACE_H_
#define ML_INFRASTRUCTURE_TRACE_H_

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/windef.h"

// A small stand-in for an OLE VARIANT: the variant types that reports print.
struct CMLVariant {
    using VARTYPE = uint16_t;
    static constexpr VARTYPE VT_EMPTY = 0;
    static constexpr VARTYPE VT_I2 = 2;
    static constexpr VARTYPE VT_I4 = 3;
    static constexpr VARTYPE VT_BSTR = 8;
    static constexpr VARTYPE VT_DISPATCH = 9;
    static constexpr VARTYPE VT_VARIANT = 12;
    static constexpr VARTYPE VT_UNKNOWN = 13;
    static constexpr VARTYPE VT_ARRAY = 0x2000;
    static constexpr VARTYPE VT_BYREF = 0x4000;

    // One dimension of an array: lower bound and number of elements.
    struct Bound {
        int32_t lLbound = 0;
        uint32_t cElements = 0;
    };

    VARTYPE vt = VT_EMPTY;
    int16_t iVal = 0;                           // VT_I2
    int32_t lVal = 0;                           // VT_I4
    std::u16string bstrVal;                     // VT_BSTR
    uintptr_t punkVal = 0;                      // VT_UNKNOWN, VT_DISPATCH: the pointer's value
    std::shared_ptr<const CMLVariant> pvarVal;  // VT_BYREF | VT_VARIANT
    // VT_ARRAY | element type: one or two dimensions; the elements in index
    // order with the last dimension running fastest, each a variant of the
    // element type (VT_I2, VT_I4, VT_BSTR, or any for VT_VARIANT).
    std::vector<Bound> bounds;
    std::vector<CMLVariant> elements;

    static CMLVariant I2(int16_t value);
    static CMLVariant I4(int32_t value);
    static CMLVariant Bstr(std::u16string value);
    static CMLVariant Unknown(uintptr_t pointer);
    static CMLVariant Dispatch(uintptr_t pointer);
    static CMLVariant ByRef(CMLVariant referenced);
    // A one-dimensional array with lower bound `lowerBound`.
    static CMLVariant Array(VARTYPE elementType, std::vector<CMLVariant> values,
                            int32_t lowerBound = 0);
    // A two-dimensional array of rows x columns (row-major values).
    static CMLVariant Array2(VARTYPE elementType, Bound rows, Bound columns,
                             std::vector<CMLVariant> values);
};

// The value of one parameter group. Integers of any width are kept as their
// 32-bit value where a 32-bit code prints them; a char16_t is an integer too,
// so a letter for code 3 is passed as a one-character string.
class TraceValue {
  public:
    // A handle or other pointer: codes 1 and 5 print all its bits.
    struct Pointer {
        uintptr_t value;
    };
    using Storage = std::variant<std::monostate, int64_t, double, std::u16string, CMLVariant,
                                 std::vector<std::u16string>, std::vector<int32_t>, Pointer>;

    TraceValue() = default;
    template <std::integral T>
    TraceValue(T value) : m_value(static_cast<int64_t>(value)) {}
    TraceValue(double value) : m_value(value) {}
    TraceValue(const char16_t* value) : m_value(std::u16string(value ? value : u"")) {}
    TraceValue(std::u16string value) : m_value(std::move(value)) {}
    TraceValue(std::u16string_view value) : m_value(std::u16string(value)) {}
    TraceValue(CMLVariant value) : m_value(std::move(value)) {}
    TraceValue(std::vector<std::u16string> value) : m_value(std::move(value)) {}
    TraceValue(std::vector<int32_t> value) : m_value(std::move(value)) {}
    TraceValue(const void* value) : m_value(Pointer{reinterpret_cast<uintptr_t>(value)}) {}
    TraceValue(std::nullptr_t) : m_value(Pointer{0}) {}

    const Storage& Get() const { return m_value; }

  private:
    Storage m_value;
};

struct TraceParam {
    TraceParam(std::u16string_view p_strName, WORD p_wType, std::u16string_view p_strTag,
               TraceValue p_value)
        : name(p_strName), type(p_wType), tag(p_strTag), value(std::move(p_value)) {}

    std::u16string name;
    WORD type;
    std::u16string tag;
    TraceValue value;
};

// Writes one entry per line of every group to the debug log (when
// p_bDebugLog) and the error log (when p_bErrorLog); with no groups, one
// entry with an empty line. Nothing at all when both switches are false.
void Trace(const std::u16string& p_strMethod, BOOL p_bDebugLog, BOOL p_bErrorLog,
           std::span<const TraceParam> p_params);
void Trace(const std::u16string& p_strMethod, BOOL p_bDebugLog, BOOL p_bErrorLog,
           std::initializer_list<TraceParam> p_params = {});

// An entry with empty header and line: in the debug log when p_nDebugLog is
// 1, in the error log when p_nErrorLog is 1. TraceErrorSeparator adds a
// leading empty line.
void TraceSeparator(int p_nDebugLog, int p_nErrorLog);
void TraceErrorSeparator(int p_nDebugLog, int p_nErrorLog);

namespace ml_trace {

// The type codes of a parameter group (see the list above).
enum Type : WORD {
    kInt = 0,
    kHex = 1,
    kLong = 2,
    kText = 3,
    kVariant = 4,
    kHexAndInt = 5,
    kTexts = 6,
    kTextsOrNone = 7,
    kDouble = 8,
    kInts = 9,
};

// The level tags.
inline constexpr std::u16string_view kInfo = u"[INFO]";
inline constexpr std::u16string_view kError = u"[ERROR]";

// A line of text without a name ("[INFO]  = text", "[ERROR]  = text").
TraceParam Info(std::u16string_view p_strText);
TraceParam Error(std::u16string_view p_strText);

// The empty entry that opens a report, in the debug log and/or the error log
// (TraceSeparator with switches).
void Separator(bool p_bDebugLog, bool p_bErrorLog);

}  // namespace ml_trace

namespace ml_infra {
// printf-style "%d", "%u", "0x%x" and "%f" of the values.
std::u16string FormatDec(int64_t value);
std::u16string FormatHex(uint64_t value);
std::u16string FormatDouble(double value);
// The pieces joined into one string.
std::u16string Concat(std::initializer_list<std::u16string_view> pieces);
// Replaces each "%s" of `pattern` in turn with the next argument.
std::u16string FormatS(std::u16string_view pattern,
                       std::initializer_list<std::u16string_view> args);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_TRACE_H_
