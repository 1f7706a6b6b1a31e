#include "cardsim/image.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace cardsim {
namespace {

using test::H;

TEST(Image, TextRoundTrip) {
    const CardImage image{.family = Family::tcos12,
                          .pin = H("31 32 33 34"),
                          .pin_tries_left = 2,
                          .files = {{0x5A49, H("01 02 03 04 05 06 07 08 09 0A")}, {0x5511, {}}}};
    const std::string text = FormatImage(image);
    EXPECT_EQ(text,
              "mlcardsim-image 1\nfamily tcos12\npin 31323334 2\nef 5511 -\n"
              "ef 5A49 0102030405060708090A\nend\n");
    EXPECT_EQ(ParseImage(text, "x"), image);
    // Comments, blank lines, CR LF line ends and lower-case hex are accepted.
    EXPECT_EQ(ParseImage("# a card\r\nmlcardsim-image 1\r\n\r\nfamily tcos12\r\n"
                         "ef 5a49 0102030405060708090a\r\npin 31323334 2\r\nef 5511 -\r\nend\r\n",
                         "x"),
              image);
}

TEST(Image, MalformedTextIsRefusedWithItsLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "empty file"},
        {"mlcardsim-image 2\nfamily generic\nend\n", "line 1: not a card image"},
        {"mlcardsim-image 1\nend\n", "no \"family\" line"},
        {"mlcardsim-image 1\nfamily generic\n", "truncated"},
        {"mlcardsim-image 1\nfamily generic\nend\nef 5511 00\n", "line 4: text after \"end\""},
        {"mlcardsim-image 1\nfamily smart\nend\n", "line 2: unknown family"},
        {"mlcardsim-image 1\nfamily generic\nfamily generic\nend\n", "line 3"},
        {"mlcardsim-image 1\nfamily generic\nef 5511 0G\nend\n", "line 3: the content"},
        {"mlcardsim-image 1\nfamily generic\nef 5511 000\nend\n", "line 3: the content"},
        {"mlcardsim-image 1\nfamily generic\nef 551 00\nend\n", "line 3: the file identifier"},
        {"mlcardsim-image 1\nfamily generic\nef 3F00 00\nend\n", "line 3: file identifier 3F00"},
        {"mlcardsim-image 1\nfamily generic\nef 5511 00\nef 5511 01\nend\n",
         "line 4: file 5511 appears twice"},
        {"mlcardsim-image 1\nfamily generic\nef 5511\nend\n", "line 3: expected"},
        {"mlcardsim-image 1\nfamily generic\npin 3132 4\nend\n", "line 3: the PIN tries"},
        {"mlcardsim-image 1\nfamily generic\npin - 3\nend\n", "line 3: the PIN must be"},
        {"mlcardsim-image 1\nfamily generic\nfile 5511 00\nend\n", "line 3: unknown line"},
    };
    for (const auto& [text, complaint] : cases) {
        SCOPED_TRACE(text);
        try {
            ParseImage(text, "card.img");
            ADD_FAILURE() << "accepted";
        } catch (const ImageError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("card.img"), std::string::npos) << what;
            EXPECT_NE(what.find(complaint), std::string::npos) << what;
        }
    }
}

TEST(Image, SizeLimitsAreEnforced) {
    const std::string big(2 * (kMaxFileSize + 1), '0');
    EXPECT_THROW(ParseImage("mlcardsim-image 1\nfamily generic\nef 5511 " + big + "\nend\n", "x"),
                 ImageError);
    // Two files each within the file limit but together beyond the card's capacity.
    const std::string half(2 * kMaxFileSize, '0');
    EXPECT_THROW(ParseImage("mlcardsim-image 1\nfamily generic\nef 5511 " + half + "\nef 5522 " +
                                half + "\nef 5533 " + std::string(4000, '0') + "\nend\n",
                            "x"),
                 ImageError);
}

}  // namespace
}  // namespace cardsim
