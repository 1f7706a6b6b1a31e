#include <gtest/gtest.h>

#include "components/dialog/terminal_box.h"

namespace {

using logondm::SanitizeForTerminal;

TEST(SanitizeForTerminal, RemovesControlsThatActOnTheTerminal) {
    // Clear screen, set title (OSC ... BEL), colour, an 8-bit CSI, DEL.
    std::u16string text =
        u"a\x1b[2Jb\x1b]0;owned\x07"
        u"c\x1b[31m\x9b"
        u"1m\x7f"
        u"d";
    EXPECT_EQ(SanitizeForTerminal(text, true), u"a[2Jb]0;ownedc[31m1md");
    // Direction overrides and marks.
    EXPECT_EQ(SanitizeForTerminal(u"exe\u202Etxt.\u2066x\u2069\u200F", true), u"exetxt.x");
}

TEST(SanitizeForTerminal, LineBreaksInTextAndCaption) {
    EXPECT_EQ(SanitizeForTerminal(u"one\r\ntwo\rthree\nfour\u2028five\tsix", true),
              u"one\ntwo\nthree\nfour\nfive\tsix");
    EXPECT_EQ(SanitizeForTerminal(u"one\r\ntwo\nthree\tfour", false), u"one two three four");
}

TEST(SanitizeForTerminal, KeepsTextAndPairsButNotLoneSurrogates) {
    EXPECT_EQ(SanitizeForTerminal(u"Grüße 日本 \U0001F511", true), u"Grüße 日本 \U0001F511");
    std::u16string lone = u"a";
    lone += char16_t(0xD83D);
    lone += u"b";
    lone += char16_t(0xDD11);
    EXPECT_EQ(SanitizeForTerminal(lone, true), u"a\uFFFDb\uFFFD");
    std::u16string trailingHigh = u"x";
    trailingHigh += char16_t(0xD800);
    EXPECT_EQ(SanitizeForTerminal(trailingHigh, false), u"x\uFFFD");
}

}  // namespace
