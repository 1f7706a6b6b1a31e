#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;

std::string ToCp(UINT cp, std::u16string_view text, BOOL* usedDefault = nullptr) {
    const int length = static_cast<int>(text.size());
    int size = WideCharToMultiByte(cp, 0, text.data(), length, nullptr, 0, nullptr, usedDefault);
    EXPECT_GT(size, 0);
    std::string out(static_cast<size_t>(size), '\0');
    EXPECT_EQ(size, WideCharToMultiByte(cp, 0, text.data(), length, out.data(), size, nullptr,
                                        usedDefault));
    return out;
}

std::u16string FromCp(UINT cp, std::string_view text) {
    const int length = static_cast<int>(text.size());
    int size = MultiByteToWideChar(cp, 0, text.data(), length, nullptr, 0);
    EXPECT_GT(size, 0);
    std::u16string out(static_cast<size_t>(size), u'\0');
    EXPECT_EQ(size, MultiByteToWideChar(cp, 0, text.data(), length, out.data(), size));
    return out;
}

TEST(CodePage, RoundTripsAndLeadBytes) {
    EXPECT_EQ(ToCp(1252, u"Gr\u00fc\u00dfe \u20ac 5"), "Gr\xFC\xDF\x65 \x80 5");
    EXPECT_EQ(FromCp(1252, "Gr\xFC\xDF\x65 \x80 5"), u"Gr\u00fc\u00dfe \u20ac 5");
    // Lead bytes, byte by byte: Shift_JIS has two ranges, the other
    // double-byte sets one; a single-byte set has none.
    const std::pair<UINT, std::vector<std::pair<int, int>>> leads[] = {
        {932, {{0x81, 0x9F}, {0xE0, 0xFC}}}, {936, {{0x81, 0xFE}}}, {1252, {}}};
    for (const auto& [cp, ranges] : leads) {
        for (int byte = 0; byte < 256; ++byte) {
            bool lead = false;
            for (auto [first, last] : ranges)
                lead |= byte >= first && byte <= last;
            EXPECT_EQ(IsDBCSLeadByteEx(cp, static_cast<BYTE>(byte)), lead) << cp << " " << byte;
        }
    }
}

// The ANSI code page follows LC_ALL, LC_CTYPE, LANG (the first set, not
// empty); C and POSIX are UTF-8; an unknown set is reported and UTF-8 is used.
TEST(CodePage, AnsiCodePageFollowsTheLocale) {
    {
        ScopedEnv all("LC_ALL", ""), ctype("LC_CTYPE", "de_DE.ISO-8859-1"),
            lang("LANG", "ja_JP.UTF-8");
        EXPECT_EQ(GetACP(), 28591u);
        EXPECT_EQ(ml::ToAnsi(u"M\u00fcller"), "M\xFCller");
    }
    {
        ScopedEnv all("LC_ALL", nullptr), ctype("LC_CTYPE", nullptr),
            lang("LANG", "de_DE.cp1252@euro");
        EXPECT_EQ(GetACP(), 1252u);
    }
    const std::tuple<const char*, UINT, std::u16string, std::string> samples[] = {
        {"el_GR.ISO-8859-7", 28597, u"\u03b1", "\xE1"},  {"cs_CZ.CP1250", 1250, u"\u0161", "\x9A"},
        {"zh_CN.GB18030", 54936, u"\u4e2d", "\xD6\xD0"}, {"ja_JP.SJIS", 932, u"\u65e5", "\x93\xFA"},
        {"C", CP_UTF8, u"\u00fc", "\xC3\xBC"},           {"POSIX", CP_UTF8, u"\u00fc", "\xC3\xBC"},
        {"C.utf8", CP_UTF8, u"\u00fc", "\xC3\xBC"},
    };
    for (const auto& [locale, cp, text, bytes] : samples) {
        ScopedEnv all("LC_ALL", locale);
        EXPECT_EQ(GetACP(), cp) << locale;
        EXPECT_EQ(ml::ToAnsi(text), bytes) << locale;
        EXPECT_EQ(ml::FromAnsi(bytes), text) << locale;
        EXPECT_EQ(IsDBCSLeadByte(bytes[0]) != FALSE, cp == 932 || cp == 54936) << locale;
        EXPECT_EQ(ml::UnknownAnsiCharset(), "") << locale;
    }
    {
        ScopedEnv all("LC_ALL", "xx_XX.NO-SUCH-SET");
        EXPECT_EQ(GetACP(), CP_UTF8);
        EXPECT_EQ(ml::UnknownAnsiCharset(), "NO-SUCH-SET");
    }
    ScopedEnv all("LC_ALL", nullptr), ctype("LC_CTYPE", nullptr), lang("LANG", nullptr);
    EXPECT_EQ(GetACP(), CP_UTF8);
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    BOOL used = FALSE;
    EXPECT_EQ(ToCp(1252, u"a\u65e5b", &used), "a?b");
    EXPECT_TRUE(used);
    EXPECT_EQ(ToCp(1252, u"abc", &used), "abc");
    EXPECT_FALSE(used);
    // A character beyond the BMP is one character and gets one "?".
    EXPECT_EQ(ToCp(1252, u"x\U0001F600y"), "x?y");
    EXPECT_EQ(ToCp(932, u"\u00e4"), "?");
    // A lone surrogate cannot be encoded in UTF-8 either.
    EXPECT_EQ(ToCp(CP_UTF8, std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
    // Bad input bytes become U+FFFD; overlong forms and encoded surrogates are bad.
    EXPECT_EQ(FromCp(CP_UTF8, "a\xFF\x62"), u"a\uFFFDb");
    EXPECT_EQ(FromCp(932, "a\x81"), u"a\uFFFD");
    EXPECT_EQ(ml::FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(ml::FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    const std::u16string text = u"\u65e5 \U0001F600 \u00fc";
    EXPECT_EQ(ml::FromUtf8(ml::ToUtf8(text)), text);
}

TEST(CodePage, WindowsBufferRules) {
    const char16_t* text = u"abc";
    // -1 counts the terminator; a size query writes nothing.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
    char small[2] = {'x', 'x'}, exact[4];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, small, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, exact, 4, nullptr, nullptr), 4);
    EXPECT_STREQ(exact, "abc");
}

}  // namespace
