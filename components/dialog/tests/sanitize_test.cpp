#include <gtest/gtest.h>

#include "components/dialog/terminal_box.h"

namespace {

using logondm::SanitizeForTerminal;

// Controls and line breaks are checked on the screen of the component test; what is not
// plain ASCII on the screen depends on the locale, so it is checked here.
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
