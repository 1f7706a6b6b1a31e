// The lines of every type code and variant type.
#include <gtest/gtest.h>

#include <limits>

#include "infrastructure/trace_internal.h"

namespace {

using Lines = std::vector<std::u16string>;
using V = CMLVariant;

// The lines of a parameter "p" tagged "[IN]", without "[IN] ".
Lines Format(WORD code, TraceValue value) {
    Lines lines = ml_infra::FormatTraceLines({u"p", code, u"[IN]", std::move(value)});
    for (std::u16string& line : lines) {
        EXPECT_EQ(line.substr(0, 5), u"[IN] ");
        line.erase(0, 5);
    }
    return lines;
}

TEST(TraceFormat, EveryTypeCodeAndVariantType) {
    const void* handle = reinterpret_cast<const void*>(uintptr_t{0x7f12345678});
    const std::vector<std::u16string> names{u"a", u"b"};
    V boolean;
    boolean.vt = 11;  // VT_BOOL: not printed
    V nullRef;
    nullRef.vt = V::VT_BYREF | V::VT_VARIANT;
    // Fewer elements than the bounds promise: the missing ones are not read.
    V shortArray = V::Array(V::VT_BSTR, {V::Bstr(u"only")});
    shortArray.bounds[0].cElements = 1000000;
    const V mixed = V::Array(V::VT_VARIANT, {V::Bstr(u"s"), V::I4(4), V::I2(2), V::Unknown(1)});
    const Lines mixedLines{u"p[0] = s", u"p[1] = 4", u"p[2] = 2"};
    const std::tuple<WORD, TraceValue, Lines> cases[] = {
        {0, DWORD{0xFFFFFFFF}, {u"p = -1"}},
        {0, int64_t{0x100000005}, {u"p = 5"}},  // as the 32-bit argument it would have been
        {1, static_cast<HRESULT>(0x80004005), {u"p = 0x80004005"}},
        {1, handle, {u"p = 0x7f12345678"}},  // handles print all their bits
        {3, u"M\u00FCller", {u"p = M\u00FCller"}},
        {5, 0x6A82, {u"p = 0x6a82 (27266)"}},
        {5, -1, {u"p = 0xffffffff (-1)"}},
        {5, handle, {u"p = 0x7f12345678 (545766266488)"}},
        {8, 1.5, {u"p = 1.500000"}},
        // A mismatched value or an unknown code still gives a line.
        {3, nullptr, {u"p = <invalid value for type 3>"}},
        {10, 1, {u"p = <invalid value for type 10>"}},
        {4, TraceValue(), {u"p = <invalid value for type 4>"}},
        // Lists: 6 prints nothing when empty, 7 and 9 say so.
        {6, names, {u"p[0] = a", u"p[1] = b"}},
        {6, std::vector<std::u16string>{}, {}},
        {7, std::vector<std::u16string>{}, {u"p = <none>"}},
        {9, std::vector<int32_t>{3, -4}, {u"p[0] = 3", u"p[1] = -4"}},
        {9, std::vector<int32_t>{}, {u"p = <none>"}},
        // Variants.
        {4, V{}, {u"p.vt = VT_EMPTY"}},
        {4, V::I2(-2), {u"p.iVal = -2"}},
        {4, V::I4(70000), {u"p.lVal = 70000"}},
        {4, V::Bstr(u"s"), {u"p.bstrVal = s"}},
        {4, V::Unknown(0xab), {u"p.punkVal = 0xab"}},
        {4, V::Dispatch(0xcd), {u"p.pdispVal = 0xcd"}},
        {4, V::ByRef(V::Bstr(u"r")), {u"p.pvarVal.bstrVal = r"}},
        {4, V::ByRef(V::Dispatch(0x10)), {u"p.pvarVal.pdispVal = 0x10"}},
        {4, boolean, {}},
        {4, nullRef, {}},
        {4, V::Array(V::VT_BSTR, {V::Bstr(u"x"), V::Bstr(u"y")}, 1), {u"p[1] = x", u"p[2] = y"}},
        {4, V::Array(V::VT_BSTR, {}), {u"p = <none>"}},
        {4,
         V::Array2(V::VT_BSTR, {0, 2}, {5, 2},
                   {V::Bstr(u"a"), V::Bstr(u"b"), V::Bstr(u"c"), V::Bstr(u"d")}),
         {u"p[0,5] = a", u"p[0,6] = b", u"p[1,5] = c", u"p[1,6] = d"}},
        {4, V::Array(V::VT_I4, {V::I4(7), V::I4(-8)}), {u"p[0] = 7", u"p[1] = -8"}},
        {4, mixed, mixedLines},
        {4, V::ByRef(mixed), mixedLines},
        {4, shortArray, {u"p[0] = only"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(Format(std::get<0>(cases[i]), std::get<1>(cases[i])), std::get<2>(cases[i]))
            << "case " << i;
}

TEST(TraceFormat, AnyTextAndExtremeNumbersSurvive) {
    const std::u16string odd(u"a\0b\xD800\xDFFF\uFFFF", 6);
    EXPECT_EQ(ml_infra::FormatTraceLines({odd, 3, odd, odd}),
              Lines{odd + u" " + odd + u" = " + odd});
    const std::u16string huge = Format(8, std::numeric_limits<double>::max())[0];
    EXPECT_EQ(huge.substr(0, 8), u"p = 1797");
    EXPECT_EQ(huge.size(), 4u + 309u + 7u) << "309 digits and \".000000\"";
    EXPECT_EQ(ml_infra::FormatS(u"a '%s' b %s %s", {u"%s", u"2"}), u"a '%s' b 2 %s");
}

}  // namespace
