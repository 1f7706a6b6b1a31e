// Reader names between UTF-16 and UTF-8: every plane, the limits of the
// buffer, and input that is not valid text.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/scard_names.h"

namespace ml {
namespace {

std::string ToUtf8(const std::u16string& text, size_t capacity = 512) {
    std::string out(capacity, '\x7F');
    if (!ReaderNameToUtf8(text.c_str(), out.data(), capacity)) {
        return "<refused>";
    }
    return out.c_str();
}

std::u16string FromUtf8(const std::string& text) {
    size_t needed = ReaderNameFromUtf8(text.data(), text.size(), nullptr, 0);
    std::u16string out(needed, u'\0');
    EXPECT_EQ(ReaderNameFromUtf8(text.data(), text.size(), out.data(), out.size()), needed);
    return out;
}

TEST(ReaderNamesTest, RoundTripOfEveryPlane) {
    const std::u16string names[] = {u"Virtual PCD 00 00", u"Lesegerät Ä 01", u"読取装置 02",
                                    u"Card 🔑 03", u""};
    const std::string utf8[] = {"Virtual PCD 00 00", "Lesegerät Ä 01", "読取装置 02", "Card 🔑 03",
                                ""};
    for (size_t i = 0; i < std::size(names); ++i) {
        EXPECT_EQ(ToUtf8(names[i]), utf8[i]);
        EXPECT_EQ(FromUtf8(utf8[i]), names[i]);
    }
}

TEST(ReaderNamesTest, LoneSurrogatesNameNoReader) {
    EXPECT_EQ(ToUtf8(u"abc\xD800"), "<refused>");
    EXPECT_EQ(ToUtf8(u"\xD800x"), "<refused>");
    EXPECT_EQ(ToUtf8(u"x\xDC00"), "<refused>");
}

TEST(ReaderNamesTest, OutputBufferIsNeverOverrun) {
    // "ä" takes two bytes; with the terminator "aä" needs four.
    EXPECT_EQ(ToUtf8(u"aä", 4), "aä");
    EXPECT_EQ(ToUtf8(u"aä", 3), "<refused>");
    EXPECT_EQ(ToUtf8(u"", 1), "");
    char none[1];
    EXPECT_FALSE(ReaderNameToUtf8(u"a", none, 0));

    // Counting reports the whole need; only the capacity is written.
    WCHAR out[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(ReaderNameFromUtf8("abcdef", 6, out, 3), 6u);
    EXPECT_EQ(std::u16string(out, 4), u"abc#");
}

TEST(ReaderNamesTest, BadUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(FromUtf8("a\xFFz"), u"a\xFFFDz");
    EXPECT_EQ(FromUtf8("a\xC3"), u"a\xFFFD");                    // cut sequence
    EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\xFFFD\xFFFD");            // overlong
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");  // encoded surrogate
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80").size(), 4u);          // beyond U+10FFFF
}

}  // namespace
}  // namespace ml
