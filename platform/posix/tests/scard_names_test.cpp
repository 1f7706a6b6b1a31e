// Reader names between UTF-16 and UTF-8: every plane, the limits of the
// buffer, and input that is not valid text.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/scard_names.h"

namespace ml {
namespace {

std::string ToUtf8(const std::u16string& text, size_t capacity = 512) {
    std::string out(capacity, '\x7F');
    return ReaderNameToUtf8(text.c_str(), out.data(), capacity) ? out.c_str() : "<refused>";
}

std::u16string FromUtf8(const std::string& text) {
    size_t needed = ReaderNameFromUtf8(text.data(), text.size(), nullptr, 0);
    std::u16string out(needed, u'\0');
    EXPECT_EQ(ReaderNameFromUtf8(text.data(), text.size(), out.data(), out.size()), needed);
    return out;
}

TEST(ReaderNamesTest, RoundTripOfEveryPlaneAndLoneSurrogates) {
    const std::pair<std::u16string, std::string> names[] = {
        {u"Virtual PCD 00 00", "Virtual PCD 00 00"},
        {u"Lesegerät Ä 01", "Lesegerät Ä 01"},
        {u"読取装置 02", "読取装置 02"},
        {u"Card 🔑 03", "Card 🔑 03"},
        {u"", ""}};
    for (const auto& [utf16, utf8] : names) {
        EXPECT_EQ(ToUtf8(utf16), utf8);
        EXPECT_EQ(FromUtf8(utf8), utf16);
    }
    // A lone surrogate names no reader.
    for (const char16_t* name : {u"abc\xD800", u"\xD800x", u"x\xDC00"})
        EXPECT_EQ(ToUtf8(name), "<refused>");
    // Bad UTF-8 becomes replacement characters.
    EXPECT_EQ(FromUtf8("a\xFFz"), u"a\xFFFDz");
    EXPECT_EQ(FromUtf8("a\xC3"), u"a\xFFFD");                    // cut sequence
    EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\xFFFD\xFFFD");            // overlong
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");  // encoded surrogate
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80").size(), 4u);          // beyond U+10FFFF
}

TEST(ReaderNamesTest, OutputBufferIsNeverOverrun) {
    // "ä" takes two bytes; with the terminator "aä" needs four.
    EXPECT_EQ(ToUtf8(u"aä", 4), "aä");
    EXPECT_EQ(ToUtf8(u"aä", 3), "<refused>");
    char none[1];
    EXPECT_FALSE(ReaderNameToUtf8(u"a", none, 0));
    // Counting reports the whole need; only the capacity is written.
    WCHAR out[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(ReaderNameFromUtf8("abcdef", 6, out, 3), 6u);
    EXPECT_EQ(std::u16string(out, 4), u"abc#");
}

}  // namespace
}  // namespace ml
