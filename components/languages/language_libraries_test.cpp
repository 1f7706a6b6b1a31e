// The language libraries of the build: every message number the module loads
// has a text in every language, and "languages.ini" names each library.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "infrastructure/language_table.h"
#include "platform/codepage.h"
#include "platform/library.h"
#include "platform/string_table.h"

namespace {

constexpr UINT kMessageNumbers[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 57, 58};

std::u16string Text(HMODULE library, UINT id) {
    WCHAR buffer[1024] = {};
    int length = LoadStringW(library, id, buffer, 1024);
    return std::u16string(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

class LanguageLibrary : public ::testing::TestWithParam<char> {};

TEST_P(LanguageLibrary, HoldsATextForEveryMessageNumber) {
    const std::string path =
        std::string(ML_LANGUAGE_LIBRARY_DIR) + "/libmlcardman" + GetParam() + ".so";
    HMODULE library = LoadLibraryW(ml::FromUtf8(path).c_str());
    ASSERT_NE(library, nullptr) << path;
    for (UINT id : kMessageNumbers) {
        std::u16string text = Text(library, id);
        EXPECT_GE(text.size(), 10u) << "message " << id;
    }
    EXPECT_EQ(Text(library, 28), u"") << "no texts beyond the contract";
    FreeLibrary(library);
}

INSTANTIATE_TEST_SUITE_P(Languages, LanguageLibrary, ::testing::Values('b', 'd'));

TEST(LanguageLibraries, LanguageTableNamesEnglishAndGerman) {
    std::ifstream in(std::string(ML_LANGUAGE_LIBRARY_DIR) + "/languages.ini", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CLanguageTable table = ml_infra::ParseLanguageTable(ml_infra::DecodeTextFile(bytes));
    EXPECT_EQ(table.names, (std::vector<std::u16string>{u"English", u"German"}));
    EXPECT_EQ(table.languageIds, (std::vector<WORD>{1033, 1031}));
    EXPECT_EQ(table.letters, (std::vector<char16_t>{u'b', u'd'}));
}

}  // namespace
