// The settings file reader: line kinds, the first-match rules, case folding,
// failures that keep what was read, integer reading.
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/ini_file.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/codepage.h"
#include "platform/lasterror.h"

namespace {

CIniFile Parse(std::string_view bytes, bool* ok = nullptr) {
    CIniFile ini;
    bool result = ini.ReadBytes(bytes);
    if (ok) {
        *ok = result;
    }
    return ini;
}

TEST(IniFileLines, KeyLinesAreTakenExactlyWithoutTrimming) {
    bool ok = false;
    CIniFile ini = Parse("[LogonDevice]\nCardreaderName = Reader 1 \nCurrentPort=2\n", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ini.GetValue(u"LogonDevice", u"CardreaderName", u"<missing>"), u"<missing>");
    EXPECT_EQ(ini.GetValue(u"LogonDevice", u"CardreaderName ", u"<missing>"), u" Reader 1 ");
    EXPECT_EQ(ini.GetValueInt(u"LogonDevice", u"CurrentPort", 1), 2);
}

TEST(IniFileLines, TheFirstOfTheFourCharactersDecidesTheKind) {
    CIniFile ini = Parse(
        "[S]\n"
        "a=b;c#d[e]\n"         // value keeps ; # [ ]
        "x;y=z\n"              // ; before = : comment
        "#k=v\n"               // comment
        "plain text line\n"    // ignored
        "k2[=v2\n"             // [ first, no ] after it: ignored
        "k3=[not a header]\n"  // = first: key
    );
    EXPECT_EQ(ini.GetValue(u"S", u"a"), u"b;c#d[e]");
    EXPECT_EQ(ini.FindKey(ini.FindSection(u"S"), u"x;y"), CIniFile::noID);
    EXPECT_EQ(ini.GetValue(u"S", u"k3"), u"[not a header]");
    EXPECT_EQ(ini.GetKeyNames(0), (std::vector<std::u16string>{u"a", u"k3"}));
    EXPECT_EQ(ini.GetSectionComments(0), (std::vector<std::u16string>{u"y=z", u"k=v"}));
    EXPECT_EQ(ini.GetSectionCount(), 1u);
}

TEST(IniFileLines, SectionNameRunsToTheLastClosingBracket) {
    CIniFile ini = Parse("junk [a]b] tail\nk=1\n[ spaced ]\nk=2\n");
    ASSERT_EQ(ini.GetSectionCount(), 2u);
    EXPECT_EQ(ini.GetSectionNames()[0], u"a]b");
    EXPECT_EQ(ini.GetSectionNames()[1], u" spaced ");
    EXPECT_EQ(ini.GetValue(u"a]b", u"k"), u"1");
    EXPECT_EQ(ini.GetValue(u"spaced", u"k", u"-"), u"-");
}

TEST(IniFileLines, HeaderWithoutClosingBracketKeepsThePreviousSection) {
    CIniFile ini = Parse("[First]\n[Broken\nkey=value\n");
    ASSERT_EQ(ini.GetSectionCount(), 1u);
    EXPECT_EQ(ini.GetValue(u"First", u"key"), u"value");
}

TEST(IniFileLines, CrLfAndMissingLastLineFeed) {
    CIniFile ini = Parse("[S]\r\nk=v\r\r\nlast=1");
    // One CR is removed; a second one stays in the value.
    EXPECT_EQ(ini.GetValue(u"S", u"k"), u"v\r");
    EXPECT_EQ(ini.GetValue(u"S", u"last"), u"1");
}

TEST(IniFileLines, KeysBeforeAnyHeaderGoToASectionWithAnEmptyName) {
    bool ok = false;
    CIniFile ini = Parse("CardreaderName=X\n", &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(ini.GetSectionCount(), 1u);
    EXPECT_EQ(ini.GetSectionNames()[0], u"");
    EXPECT_EQ(ini.GetValue(u"", u"CardreaderName"), u"X");
}

TEST(IniFileLines, CommentsBeforeTheFirstSectionAreHeaderComments) {
    bool ok = true;
    CIniFile ini = Parse("; one\n# two\n", &ok);
    EXPECT_FALSE(ok) << "a file of comments only holds no section";
    EXPECT_EQ(ini.GetHeaderComments(), (std::vector<std::u16string>{u" one", u" two"}));
    CIniFile empty = Parse("", &ok);
    EXPECT_FALSE(ok);
}

TEST(IniFileLines, EveryByteIsOneCharacter) {
    CIniFile ini = Parse(
        "[S]\nname=M\xFC"
        "ller\xC3\xA4\n");
    EXPECT_EQ(ini.GetValue(u"S", u"name"), std::u16string(u"M\u00FCller\u00C3\u00A4"));
    CIniFile nul = Parse(std::string_view("[S]\nk=a\0b\n", 10));
    EXPECT_EQ(nul.GetValue(u"S", u"k"), std::u16string(u"a\0b", 3));
}

TEST(IniFileFailures, NonPrintableFirstCharacterEndsTheReadKeepingWhatCameBefore) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"tab", "[S]\nk=1\n\tindented=2\nafter=3\n"},
        {"control", "[S]\nk=1\n\x01x=2\nafter=3\n"},
        {"high byte", "[S]\nk=1\n\xE4x=2\nafter=3\n"},
        {"DEL", "[S]\nk=1\n\x7Fx=2\nafter=3\n"},
        {"NUL", std::string("[S]\nk=1\n\0x=2\nafter=3\n", 20)},
    };
    for (const Case& c : cases) {
        bool ok = true;
        CIniFile ini = Parse(c.bytes, &ok);
        EXPECT_FALSE(ok) << c.what;
        EXPECT_EQ(ini.GetValue(u"S", u"k"), u"1") << c.what;
        EXPECT_EQ(ini.GetValue(u"S", u"after", u"-"), u"-") << c.what;
    }
    bool ok = false;
    CIniFile blanks = Parse("[S]\n   indented=2\n", &ok);
    EXPECT_TRUE(ok) << "blanks are printable";
    EXPECT_EQ(blanks.GetValue(u"S", u"   indented"), u"2");
}

TEST(IniFileFailures, ByteOrderMarksFailOnTheFirstLine) {
    bool ok = true;
    CIniFile utf8 = Parse("\xEF\xBB\xBF[S]\nk=1\n", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(utf8.GetSectionCount(), 0u);
    CIniFile utf16 = Parse(std::string("\xFF\xFE[\0S\0]\0\n\0", 10), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(utf16.GetSectionCount(), 0u);
}

TEST(IniFileDuplicates, LaterKeyWinsAndLaterSectionFeedsTheFirst) {
    CIniFile ini = Parse("[A]\nk=1\nk=2\n[B]\nx=1\n[a]\nk=3\nnew=4\n; note\n");
    ASSERT_EQ(ini.GetSectionCount(), 3u);
    EXPECT_EQ(ini.FindSection(u"A"), 0);
    EXPECT_EQ(ini.GetValue(u"A", u"k"), u"3");
    EXPECT_EQ(ini.GetValue(u"A", u"new"), u"4");
    EXPECT_TRUE(ini.GetKeyNames(2).empty()) << "the second header stays empty";
    EXPECT_EQ(ini.GetSectionComments(0), (std::vector<std::u16string>{u" note"}));
    EXPECT_EQ(ini.GetKeyNames(0), (std::vector<std::u16string>{u"k", u"new"}));
}

TEST(IniFileCase, OnlyAToZAreFolded) {
    CIniFile ini = Parse("[LOGONDEVICE]\nDEBUG=1\n[\xC4rger]\nK=1\n");
    EXPECT_EQ(ini.GetValueInt(u"logondevice", u"debug", 0), 1);
    EXPECT_EQ(ini.GetValue(u"\u00C4RGER", u"k"), u"1");
    EXPECT_EQ(ini.FindSection(u"\u00E4rger"), CIniFile::noID) << "only A..Z fold";
    EXPECT_EQ(ini.FoldCase(u"AbZ\u00C4["), u"abz\u00C4[");
}

TEST(IniFileCase, CaseSensitiveReaderComparesExactly) {
    CIniFile ini;
    ini.SetPath(u"unused", true);
    ASSERT_TRUE(ini.ReadBytes("[Sec]\nKey=1\n[sec]\nkey=2\n"));
    EXPECT_EQ(ini.GetValue(u"Sec", u"Key"), u"1");
    EXPECT_EQ(ini.GetValue(u"sec", u"key"), u"2");
    EXPECT_EQ(ini.GetValue(u"SEC", u"Key", u"-"), u"-");
    EXPECT_EQ(ini.FoldCase(u"AbC"), u"AbC");
    // Switching back folds the names already held.
    ini.SetPath(u"unused", false);
    EXPECT_EQ(ini.FindSection(u"SEC"), 0);
    EXPECT_EQ(ini.GetValue(u"SEC", u"KEY"), u"1");
}

TEST(IniFileValues, GetValueIntReadsLikeStreamExtraction) {
    CIniFile ini = Parse(
        "[S]\nnum=42\nneg=-17\nblanks=  \t 8\ndigitsletters=12abc\nletters=abc\nempty=\n"
        "hex=0x10\nbig=2147483648\nmin=-2147483648\nplus=+5\nsign=-\n");
    EXPECT_EQ(ini.GetValueInt(u"S", u"num", 7), 42);
    EXPECT_EQ(ini.GetValueInt(u"S", u"neg", 7), -17);
    EXPECT_EQ(ini.GetValueInt(u"S", u"blanks", 7), 8);
    EXPECT_EQ(ini.GetValueInt(u"S", u"digitsletters", 7), 12);
    EXPECT_EQ(ini.GetValueInt(u"S", u"letters", 7), 0);
    EXPECT_EQ(ini.GetValueInt(u"S", u"empty", 7), 0);
    EXPECT_EQ(ini.GetValueInt(u"S", u"hex", 7), 0);
    EXPECT_EQ(ini.GetValueInt(u"S", u"big", 7), 0);
    EXPECT_EQ(ini.GetValueInt(u"S", u"min", 7), INT32_MIN);
    EXPECT_EQ(ini.GetValueInt(u"S", u"plus", 7), 5);
    EXPECT_EQ(ini.GetValueInt(u"S", u"sign", 7), 0);
    EXPECT_EQ(ini.GetValueInt(u"S", u"missing", 7), 7);
    EXPECT_EQ(ini.GetValueInt(u"Missing", u"num", 7), 7);
}

TEST(IniFileValues, EmptyValueIsNotTheDefault) {
    CIniFile ini = Parse("[S]\nk=\n");
    EXPECT_EQ(ini.GetValue(u"S", u"k", u"default"), u"");
}

TEST(IniFileValues, SetValueAndCommentsFollowTheFirstMatch) {
    CIniFile ini;
    EXPECT_FALSE(ini.SetValue(u"S", u"k", u"v", false));
    EXPECT_TRUE(ini.SetValue(u"S", u"k", u"v"));
    EXPECT_FALSE(ini.SetValue(u"S", u"other", u"v", false));
    EXPECT_TRUE(ini.SetValue(u"s", u"K", u"w", false));
    EXPECT_EQ(ini.GetValue(u"S", u"k"), u"w");
    EXPECT_EQ(ini.AddSection(u"S"), 1);
    ini.AddSectionComment(u"s", u"c");
    ini.AddSectionComment(u"none", u"dropped");
    EXPECT_EQ(ini.GetSectionComments(0), (std::vector<std::u16string>{u"c"}));
    EXPECT_TRUE(ini.GetSectionComments(1).empty());
    EXPECT_EQ(ini.FindKey(5, u"k"), CIniFile::noID);
    EXPECT_EQ(ini.FindKey(-3, u"k"), CIniFile::noID);
}

TEST(IniFileRead, ReadsFilesAndAddsToWhatIsHeld) {
    mltest::InfraEnvironment env;
    const std::string first = env.Root() + "/first.ini";
    const std::string second = env.Root() + "/second.ini";
    mltest::InfraEnvironment::WriteFile(first, "k=1\n[S]\na=1\n");
    mltest::InfraEnvironment::WriteFile(second, "k=2\n[S]\nb=2\n");
    CIniFile ini;
    ini.SetPath(ml::FromUtf8(first), false);
    ASSERT_TRUE(ini.ReadFile());
    ini.SetPath(ml::FromUtf8(second), false);
    ASSERT_TRUE(ini.ReadFile());
    // The second read's key lines before a header go to the existing
    // empty-named section; its [S] header appends a section whose keys go to
    // the first [S].
    EXPECT_EQ(ini.GetValue(u"", u"k"), u"2");
    EXPECT_EQ(ini.GetValue(u"S", u"b"), u"2");
    EXPECT_EQ(ini.GetSectionCount(), 3u);
}

TEST(IniFileRead, MissingFileOrFolderFailsWithTheLastErrorSet) {
    mltest::InfraEnvironment env;
    CIniFile ini;
    ini.SetPath(ml::FromUtf8(env.Root() + "/absent.ini"), false);
    SetLastError(0);
    EXPECT_FALSE(ini.ReadFile());
    EXPECT_NE(GetLastError(), 0u);
    ini.SetPath(ml::FromUtf8(env.Root()), false);
    EXPECT_FALSE(ini.ReadFile());
    EXPECT_EQ(ini.GetSectionCount(), 0u);
}

TEST(IniFileRead, EndlessFileWithoutLineFeedEndsAtItsFirstCharacter) {
    CIniFile ini;
    ini.SetPath(u"/dev/zero", false);
    EXPECT_FALSE(ini.ReadFile());
    // A CR alone may still be an empty line; a CR followed by more is not.
    bool ok = false;
    CIniFile cr = Parse("\r", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(cr.GetSectionCount(), 0u);
    CIniFile crLine = Parse("[S]\nk=1\n\rk=2\n", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(crLine.GetValue(u"S", u"k"), u"1");
}

TEST(IniFileRead, LinesSplitAcrossReadBuffersAreJoined) {
    mltest::InfraEnvironment env;
    const std::string path = env.Root() + "/long.ini";
    std::string content = "[S]\n";
    const std::string longValue(200000, 'v');
    content += "long=" + longValue + "\n";
    for (int i = 0; i < 20000; ++i) {
        content += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    }
    mltest::InfraEnvironment::WriteFile(path, content);
    CIniFile ini;
    ini.SetPath(ml::FromUtf8(path), false);
    ASSERT_TRUE(ini.ReadFile());
    EXPECT_EQ(ini.GetValue(u"S", u"long").size(), longValue.size());
    EXPECT_EQ(ini.GetKeyNames(0).size(), 20001u);
    for (int i = 0; i < 20000; i += 997) {
        EXPECT_EQ(ini.GetValueInt(u"s", ml::FromUtf8("KEY" + std::to_string(i)), -1), i);
    }
}

}  // namespace
