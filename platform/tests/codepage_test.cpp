#include "platform/codepage.h"

#include <gtest/gtest.h>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;

std::string ToCp(UINT cp, std::u16string_view text, BOOL* usedDefault = nullptr,
                 const char* defaultChar = nullptr) {
    int size = WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   defaultChar, usedDefault);
    EXPECT_GT(size, 0);
    std::string out(static_cast<size_t>(size), '\0');
    EXPECT_EQ(size, WideCharToMultiByte(cp, 0, text.data(), static_cast<int>(text.size()),
                                        out.data(), size, defaultChar, usedDefault));
    return out;
}

std::u16string FromCp(UINT cp, std::string_view text) {
    int size = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    EXPECT_GT(size, 0);
    std::u16string out(static_cast<size_t>(size), u'\0');
    EXPECT_EQ(size, MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()),
                                        out.data(), size));
    return out;
}

TEST(CodePage, Windows1252RoundTrip) {
    const std::u16string text = u"Gr\u00fc\u00dfe \u20ac 5";
    const std::string bytes = ToCp(1252, text);
    EXPECT_EQ(bytes,
              "Gr\xFC\xDF"
              "e \x80 5");
    EXPECT_EQ(FromCp(1252, bytes), text);
}

TEST(CodePage, ShiftJisRoundTripAndLeadBytes) {
    const std::u16string text = u"\u65e5\u672c a";  // "Japan" and ASCII
    const std::string bytes = ToCp(932, text);
    EXPECT_EQ(bytes, "\x93\xFA\x96\x7B a");
    EXPECT_EQ(FromCp(932, bytes), text);

    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0x93));
    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0xE0));
    EXPECT_FALSE(IsDBCSLeadByteEx(932, 'a'));
    EXPECT_FALSE(IsDBCSLeadByteEx(932, 0xA0));  // half-width katakana range starts here
    EXPECT_TRUE(IsDBCSLeadByteEx(936, 0x81));
    EXPECT_TRUE(IsDBCSLeadByteEx(949, 0xB0));
    EXPECT_TRUE(IsDBCSLeadByteEx(950, 0xA4));
    // Single-byte sets and UTF-8 have no lead bytes.
    EXPECT_FALSE(IsDBCSLeadByteEx(1252, 0x93));
    EXPECT_FALSE(IsDBCSLeadByteEx(CP_UTF8, 0xE3));
}

TEST(CodePage, AnsiCodePageFollowsTheLocaleVariables) {
    {
        ScopedEnv all("LC_ALL", "ja_JP.SJIS");
        EXPECT_EQ(GetACP(), 932u);
        EXPECT_TRUE(IsDBCSLeadByte(0x93));
        EXPECT_EQ(ml::ToAnsi(u"\u65e5"), "\x93\xFA");
    }
    {
        ScopedEnv all("LC_ALL", "");
        ScopedEnv ctype("LC_CTYPE", "de_DE.ISO-8859-1");
        ScopedEnv lang("LANG", "ja_JP.UTF-8");
        EXPECT_EQ(GetACP(), 28591u);
        EXPECT_EQ(ml::ToAnsi(u"M\u00fcller"), "M\xFCller");
        EXPECT_EQ(ml::FromAnsi("M\xFCller"), u"M\u00fcller");
    }
    {
        ScopedEnv all("LC_ALL", nullptr);
        ScopedEnv ctype("LC_CTYPE", nullptr);
        ScopedEnv lang("LANG", "de_DE.cp1252@euro");
        EXPECT_EQ(GetACP(), 1252u);
    }
}

TEST(CodePage, CAndPosixLocalesAreUtf8) {
    for (const char* locale : {"C", "POSIX", "de_DE"}) {
        ScopedEnv all("LC_ALL", locale);
        EXPECT_EQ(GetACP(), CP_UTF8) << locale;
        EXPECT_EQ(ml::ToAnsi(u"M\u00fcller"), "M\xC3\xBCller") << locale;
        EXPECT_FALSE(IsDBCSLeadByte(0xC3));
    }
    ScopedEnv all("LC_ALL", nullptr);
    ScopedEnv ctype("LC_CTYPE", nullptr);
    ScopedEnv lang("LANG", nullptr);
    EXPECT_EQ(GetACP(), CP_UTF8);
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    BOOL used = FALSE;
    EXPECT_EQ(ToCp(1252, u"a\u65e5b", &used), "a?b");
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToCp(1252, u"abc", &used), "abc");
    EXPECT_FALSE(used);
    // A character beyond the BMP is one character and gets one "?".
    EXPECT_EQ(ToCp(1252, u"x\U0001F600y"), "x?y");
    EXPECT_EQ(ToCp(932, u"\u00e4"), "?");
    // A single-byte set honours another default character.
    EXPECT_EQ(ToCp(1252, u"a\u65e5", nullptr, "#"), "a#");
    // A lone surrogate cannot be encoded in UTF-8 either.
    EXPECT_EQ(ToCp(CP_UTF8, std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
    // Bad input bytes become U+FFFD.
    EXPECT_EQ(FromCp(CP_UTF8,
                     "a\xFF"
                     "b"),
              u"a\uFFFDb");
    EXPECT_EQ(FromCp(932, "a\x81"), u"a\uFFFD");
}

TEST(CodePage, WindowsBufferRules) {
    const char16_t* text = u"abc";
    // -1 counts the terminator; a size query writes nothing.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 4);
    char small[2] = {'x', 'x'};
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, small, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);
    char exact[4];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, exact, 4, nullptr, nullptr), 4);
    EXPECT_STREQ(exact, "abc");

    char16_t wide[2];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INSUFFICIENT_BUFFER);

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(4711, 0, text, -1, exact, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ML_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, exact, 4, nullptr, nullptr), 0);
}

TEST(CodePage, Utf8Helpers) {
    const std::u16string text = u"\u65e5 \U0001F600 \u00fc";
    EXPECT_EQ(ml::FromUtf8(ml::ToUtf8(text)), text);
    EXPECT_EQ(ml::ToUtf8(u"\u00fc"), "\xC3\xBC");
    // Overlong forms and encoded surrogates are invalid.
    EXPECT_EQ(ml::FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(ml::FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
}

}  // namespace
