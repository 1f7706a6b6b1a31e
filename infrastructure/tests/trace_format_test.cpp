// The lines of every type code and variant type.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "infrastructure/trace_internal.h"

namespace {

using Lines = std::vector<std::u16string>;

Lines Format(TraceParam param) {
    return ml_infra::FormatTraceLines(param);
}

TEST(TraceFormat, ScalarCodesHandlesAndMismatches) {
    EXPECT_EQ(Format({u"dwCount", 0, u"[IN]", 42}), Lines{u"[IN] dwCount = 42"});
    EXPECT_EQ(Format({u"dwError", 0, u"[ERROR]", DWORD{0xFFFFFFFF}}),
              Lines{u"[ERROR] dwError = -1"});
    EXPECT_EQ(Format({u"hr", 1, u"[RET]", static_cast<HRESULT>(0x80004005)}),
              Lines{u"[RET] hr = 0x80004005"});
    EXPECT_EQ(Format({u"bOk", 2, u"[RET]", true}), Lines{u"[RET] bOk = 1"});
    EXPECT_EQ(Format({u"p_strName", 3, u"[INFO]", u"M\u00FCller"}),
              Lines{u"[INFO] p_strName = M\u00FCller"});
    EXPECT_EQ(Format({u"", 3, u"[ERROR]", u"text"}), Lines{u"[ERROR]  = text"});
    EXPECT_EQ(Format({u"sw", 5, u"[INFO]", 0x6A82}), Lines{u"[INFO] sw = 0x6a82 (27266)"});
    EXPECT_EQ(Format({u"v", 5, u"[INFO]", -1}), Lines{u"[INFO] v = 0xffffffff (-1)"});
    EXPECT_EQ(Format({u"d", 8, u"[INFO]", 1.5}), Lines{u"[INFO] d = 1.500000"});
    // 64-bit values print as the 32-bit argument they would have been.
    EXPECT_EQ(Format({u"n", 0, u"[INFO]", int64_t{0x100000005}}), Lines{u"[INFO] n = 5"});
    // Handles print all their bits.
    const void* handle = reinterpret_cast<const void*>(uintptr_t{0x7f12345678});
    EXPECT_EQ(Format({u"hEvent", 1, u"[INFO]", handle}), Lines{u"[INFO] hEvent = 0x7f12345678"});
    EXPECT_EQ(Format({u"hEvent", 5, u"[INFO]", handle}),
              Lines{u"[INFO] hEvent = 0x7f12345678 (545766266488)"});
    EXPECT_EQ(Format({u"hEvent", 1, u"[INFO]", nullptr}), Lines{u"[INFO] hEvent = 0x0"});
    EXPECT_EQ(Format({u"hEvent", 3, u"[INFO]", nullptr}),
              Lines{u"[INFO] hEvent = <invalid value for type 3>"});
    // A mismatched value or an unknown code still gives a line.
    EXPECT_EQ(Format({u"p", 3, u"[IN]", 5}), Lines{u"[IN] p = <invalid value for type 3>"});
    EXPECT_EQ(Format({u"p", 0, u"[IN]", u"text"}), Lines{u"[IN] p = <invalid value for type 0>"});
    EXPECT_EQ(Format({u"p", 10, u"[IN]", 1}), Lines{u"[IN] p = <invalid value for type 10>"});
    EXPECT_EQ(Format({u"p", 4, u"[IN]", TraceValue()}),
              Lines{u"[IN] p = <invalid value for type 4>"});
}

TEST(TraceFormat, ListCodes) {
    std::vector<std::u16string> names{u"a", u"b"};
    EXPECT_EQ(Format({u"arr", 6, u"[IN]", names}), (Lines{u"[IN] arr[0] = a", u"[IN] arr[1] = b"}));
    EXPECT_EQ(Format({u"arr", 6, u"[IN]", std::vector<std::u16string>{}}), Lines{});
    EXPECT_EQ(Format({u"vec", 7, u"[IN]", names}), (Lines{u"[IN] vec[0] = a", u"[IN] vec[1] = b"}));
    EXPECT_EQ(Format({u"vec", 7, u"[IN]", std::vector<std::u16string>{}}),
              Lines{u"[IN] vec = <none>"});
    EXPECT_EQ(Format({u"ints", 9, u"[IN]", std::vector<int32_t>{3, -4}}),
              (Lines{u"[IN] ints[0] = 3", u"[IN] ints[1] = -4"}));
    EXPECT_EQ(Format({u"ints", 9, u"[IN]", std::vector<int32_t>{}}), Lines{u"[IN] ints = <none>"});
}

TEST(TraceFormat, VariantTypesAndArrays) {
    using V = CMLVariant;
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V{}}), Lines{u"[IN] v.vt = VT_EMPTY"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::I2(-2)}), Lines{u"[IN] v.iVal = -2"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::I4(70000)}), Lines{u"[IN] v.lVal = 70000"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::Bstr(u"s")}), Lines{u"[IN] v.bstrVal = s"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::Unknown(0xab)}), Lines{u"[IN] v.punkVal = 0xab"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::Dispatch(0xcd)}), Lines{u"[IN] v.pdispVal = 0xcd"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::ByRef(V::Bstr(u"r"))}),
              Lines{u"[IN] v.pvarVal.bstrVal = r"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::ByRef(V::I2(1))}), Lines{u"[IN] v.pvarVal.iVal = 1"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::ByRef(V::I4(2))}), Lines{u"[IN] v.pvarVal.lVal = 2"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::ByRef(V::Dispatch(0x10))}),
              Lines{u"[IN] v.pvarVal.pdispVal = 0x10"});
    EXPECT_EQ(Format({u"v", 4, u"[IN]", V::ByRef(V::Unknown(0x11))}),
              Lines{u"[IN] v.pvarVal.punkVal = 0x11"});
    // Types that are not printed give no line.
    V other;
    other.vt = 11;  // VT_BOOL
    EXPECT_EQ(Format({u"v", 4, u"[IN]", other}), Lines{});
    V nullRef;
    nullRef.vt = V::VT_BYREF | V::VT_VARIANT;
    EXPECT_EQ(Format({u"v", 4, u"[IN]", nullRef}), Lines{});
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_BSTR, {V::Bstr(u"x"), V::Bstr(u"y")}, 1)}),
              (Lines{u"[IN] a[1] = x", u"[IN] a[2] = y"}));
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_BSTR, {})}), Lines{u"[IN] a = <none>"});
    EXPECT_EQ(
        Format({u"a", 4, u"[IN]",
                V::Array2(V::VT_BSTR, {0, 2}, {5, 2},
                          {V::Bstr(u"a"), V::Bstr(u"b"), V::Bstr(u"c"), V::Bstr(u"d")})}),
        (Lines{u"[IN] a[0,5] = a", u"[IN] a[0,6] = b", u"[IN] a[1,5] = c", u"[IN] a[1,6] = d"}));
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_I4, {V::I4(7), V::I4(-8)})}),
              (Lines{u"[IN] a[0] = 7", u"[IN] a[1] = -8"}));
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_I2, {V::I2(3)})}), Lines{u"[IN] a[0] = 3"});
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_I4, {})}), Lines{u"[IN] a = <none>"});
    V mixed = V::Array(V::VT_VARIANT, {V::Bstr(u"s"), V::I4(4), V::I2(2), V::Unknown(1)});
    const Lines mixedLines{u"[IN] a[0] = s", u"[IN] a[1] = 4", u"[IN] a[2] = 2"};
    EXPECT_EQ(Format({u"a", 4, u"[IN]", mixed}), mixedLines);
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::ByRef(mixed)}), mixedLines);
    EXPECT_EQ(Format({u"a", 4, u"[IN]", V::Array(V::VT_VARIANT, {})}), Lines{u"[IN] a = <none>"});
    // Fewer elements than the bounds promise: the missing ones are not read.
    V shortArray = V::Array(V::VT_BSTR, {V::Bstr(u"only")});
    shortArray.bounds[0].cElements = 1000000;
    EXPECT_EQ(Format({u"a", 4, u"[IN]", shortArray}), Lines{u"[IN] a[0] = only"});
}

TEST(TraceFormat, AnyTextAndExtremeNumbersSurvive) {
    const std::u16string odd(u"a\0b\xD800\xDFFF\uFFFF", 6);
    EXPECT_EQ(Format({odd, 3, odd, odd}), Lines{odd + u" " + odd + u" = " + odd});
    const std::u16string huge = Format({u"d", 8, u"", std::numeric_limits<double>::max()})[0];
    EXPECT_EQ(huge.substr(0, 9), u" d = 1797");
    EXPECT_EQ(huge.size(), 5u + 309u + 7u) << "309 digits and \".000000\"";
    EXPECT_EQ(Format({u"d", 8, u"", std::nan("")}), Lines{u" d = nan"});
    EXPECT_EQ(Format({u"i", 0, u"", INT32_MIN}), Lines{u" i = -2147483648"});
    EXPECT_EQ(ml_infra::FormatS(u"a '%s' b %s %s", {u"1", u"2"}), u"a '1' b 2 %s");
    EXPECT_EQ(ml_infra::FormatS(u"%s", {u"%s"}), u"%s");
}

}  // namespace
