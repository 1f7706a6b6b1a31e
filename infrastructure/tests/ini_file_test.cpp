// The settings file reader: lines, first matches, case, failures, integers.
#include <gtest/gtest.h>

#include <string>

#include "infrastructure/ini_file.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/codepage.h"
#include "platform/lasterror.h"

namespace {

using Names = std::vector<std::u16string>;

CIniFile Parse(std::string_view bytes, bool* ok = nullptr) {
    CIniFile ini;
    bool result = ini.ReadBytes(bytes);
    if (ok)
        *ok = result;
    return ini;
}

TEST(IniFileLines, TheFirstOfTheFourCharactersDecidesTheKind) {
    bool ok = false;
    CIniFile ini = Parse(
        "[S]\n"
        "Name = Reader 1 \n"   // blanks around "=" belong to key and value
        "a=b;c#d[e]\n"         // value keeps ; # [ ]
        "x;y=z\n"              // ; before = : comment
        "#k=v\n"               // comment
        "plain text line\n"    // ignored
        "k2[=v2\n"             // [ first, no ] after it: ignored
        "k3=[not a header]\n"  // = first: key
        "x]y[z\n"              // "]" only before "[": no header
        "cr=v\r\r\n"           // one CR is removed
        "   indented=2\n"      // blanks are printable
        "[Broken\n"            // no "]": the previous section goes on
        "empty=\n"
        "last=1",
        &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ini.GetValue(u"S", u"Name", u"<missing>"), u"<missing>");
    EXPECT_EQ(ini.GetValue(u"S", u"Name ", u"<missing>"), u" Reader 1 ");
    EXPECT_EQ(ini.GetValue(u"S", u"a"), u"b;c#d[e]");
    EXPECT_EQ(ini.FindKey(ini.FindSection(u"S"), u"x;y"), CIniFile::noID);
    EXPECT_EQ(ini.GetValue(u"S", u"k3"), u"[not a header]");
    EXPECT_EQ(ini.GetValue(u"S", u"cr"), u"v\r");
    EXPECT_EQ(ini.GetValue(u"S", u"   indented"), u"2");
    EXPECT_EQ(ini.GetValue(u"S", u"empty", u"default"), u"") << "empty is not the default";
    EXPECT_EQ(ini.GetValue(u"S", u"last"), u"1");
    EXPECT_EQ(ini.GetKeyNames(0),
              (Names{u"Name ", u"a", u"k3", u"cr", u"   indented", u"empty", u"last"}));
    EXPECT_EQ(ini.GetSectionComments(0), (Names{u"y=z", u"k=v"}));
    EXPECT_EQ(ini.GetSectionCount(), 1u);
}

TEST(IniFileLines, SectionNamesKeysBeforeAnyHeaderAndBytes) {
    CIniFile ini = Parse("junk [a]b] tail\nk=1\n[ spaced ]\nk=2\n");
    EXPECT_EQ(ini.GetSectionNames(), (Names{u"a]b", u" spaced "}))
        << "a name runs to the last closing bracket";
    EXPECT_EQ(ini.GetValue(u"a]b", u"k"), u"1");
    EXPECT_EQ(ini.GetValue(u"spaced", u"k", u"-"), u"-");

    bool ok = false;
    ini = Parse("CardreaderName=X\n", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ini.GetSectionNames(), Names{u""});
    EXPECT_EQ(ini.GetValue(u"", u"CardreaderName"), u"X");

    ini = Parse("; one\n# two\n", &ok);
    EXPECT_FALSE(ok) << "a file of comments only holds no section";
    EXPECT_EQ(ini.GetHeaderComments(), (Names{u" one", u" two"}));
    Parse("", &ok);
    EXPECT_FALSE(ok);

    // Every byte is one character.
    ini = Parse(
        "[S]\nname=M\xFC"
        "ller\xC3\xA4\n");
    EXPECT_EQ(ini.GetValue(u"S", u"name"), std::u16string(u"M\u00FCller\u00C3\u00A4"));
    ini = Parse(std::string_view("[S]\nk=a\0b\n", 10));
    EXPECT_EQ(ini.GetValue(u"S", u"k"), std::u16string(u"a\0b", 3));
}

TEST(IniFileFailures, NonPrintableFirstCharacterEndsTheReadKeepingWhatCameBefore) {
    const std::pair<const char*, std::string> cases[] = {
        {"tab", "\tindented=2\n"}, {"control", "\x01x=2\n"},           {"high byte", "\xE4x=2\n"},
        {"DEL", "\x7Fx=2\n"},      {"NUL", std::string("\0x=2\n", 5)}, {"CR", "\rk=2\n"},
    };
    for (const auto& [what, line] : cases) {
        bool ok = true;
        CIniFile ini = Parse("[S]\nk=1\n" + line + "after=3\n", &ok);
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(ini.GetValue(u"S", u"k"), u"1") << what;
        EXPECT_EQ(ini.GetValue(u"S", u"after", u"-"), u"-") << what;
    }
    // On the first line: byte order marks, a tab, a CR alone.
    for (const std::string& bytes :
         {std::string("\xEF\xBB\xBF[S]\nk=1\n"), std::string("\xFF\xFE[\0S\0]\0\n\0", 10),
          std::string("\t[S]\nk=1\n"), std::string("\r")}) {
        bool ok = true;
        EXPECT_EQ(Parse(bytes, &ok).GetSectionCount(), 0u);
        EXPECT_FALSE(ok);
    }
}

TEST(IniFileLookups, LaterKeyWinsLaterSectionFeedsTheFirstAndOnlyAToZFold) {
    CIniFile ini = Parse("[A]\nk=1\nk=2\n[B]\nx=1\n[a]\nk=3\nnew=4\n; note\n");
    ASSERT_EQ(ini.GetSectionCount(), 3u);
    EXPECT_EQ(ini.FindSection(u"A"), 0);
    EXPECT_EQ(ini.GetValue(u"A", u"k"), u"3");
    EXPECT_EQ(ini.GetValue(u"A", u"new"), u"4");
    EXPECT_TRUE(ini.GetKeyNames(2).empty()) << "the second header stays empty";
    EXPECT_EQ(ini.GetSectionComments(0), Names{u" note"});
    EXPECT_EQ(ini.GetKeyNames(0), (Names{u"k", u"new"}));

    ini = Parse("[LOGONDEVICE]\nDEBUG=1\n[\xC4rger]\nK=1\n");
    EXPECT_EQ(ini.GetValueInt(u"logondevice", u"debug", 0), 1);
    EXPECT_EQ(ini.GetValue(u"\u00C4RGER", u"k"), u"1");
    EXPECT_EQ(ini.FindSection(u"\u00E4rger"), CIniFile::noID) << "only A..Z fold";
    EXPECT_EQ(ini.FoldCase(u"AbZ\u00C4["), u"abz\u00C4[");
}

TEST(IniFileValues, GetValueIntReadsLikeStreamExtraction) {
    const std::pair<const char*, int> cases[] = {
        {"  \t 8", 8}, {"12abc", 12}, {"+5", 5},         {"-", 0},
        {"0x10", 0},   {"", 0},       {"2147483648", 0}, {"-2147483648", INT32_MIN},
    };
    for (const auto& [text, expected] : cases) {
        CIniFile ini = Parse(std::string("[S]\nk=") + text + "\n");
        EXPECT_EQ(ini.GetValueInt(u"S", u"k", 7), expected) << "\"" << text << "\"";
        EXPECT_EQ(ini.GetValueInt(u"S", u"missing", 7), 7);
    }
    EXPECT_EQ(Parse("[S]\nk=1\n").GetValueInt(u"Missing", u"k", 7), 7);
}

TEST(IniFileRead, ReadsFilesAndFailsWithTheLastErrorSet) {
    mltest::InfraEnvironment env;
    auto read = [&](CIniFile& ini, const std::string& path) {
        ini.SetPath(ml::FromUtf8(path), false);
        return ini.ReadFile();
    };
    // A long line and many keys cross the read buffers.
    std::string content = "k=1\n[S]\nlong=" + std::string(200000, 'v') + "\n";
    for (int i = 0; i < 20000; ++i)
        content += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    mltest::InfraEnvironment::WriteFile(env.Root() + "/first.ini", content);
    CIniFile ini;
    ASSERT_TRUE(read(ini, env.Root() + "/first.ini"));
    EXPECT_EQ(ini.GetValue(u"S", u"long").size(), 200000u);
    EXPECT_EQ(ini.GetKeyNames(1).size(), 20001u);
    for (int i = 0; i < 20000; i += 997)
        EXPECT_EQ(ini.GetValueInt(u"s", ml::FromUtf8("KEY" + std::to_string(i)), -1), i);

    CIniFile failing;
    SetLastError(0);
    EXPECT_FALSE(read(failing, env.Root() + "/absent.ini"));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_FALSE(read(failing, env.Root()));
    EXPECT_FALSE(read(failing, "/dev/zero")) << "endless, without a line feed";
    EXPECT_EQ(failing.GetSectionCount(), 0u);

    // Only the first MiB is read; the rest is ignored with one error entry.
    env.StartLogs();
    std::string huge = "[S]\nfirst=1\n" + std::string(0x100000 - 20, ';') + "\nlast=1\n";
    mltest::InfraEnvironment::WriteFile(env.Root() + "/huge.ini", huge + "\nbeyond=1\n" + huge);
    CIniFile capped;
    ASSERT_TRUE(read(capped, env.Root() + "/huge.ini"));
    EXPECT_EQ(capped.GetValue(u"S", u"last", u"-"), u"1");
    EXPECT_EQ(capped.GetValue(u"S", u"beyond", u"-"), u"-");
    const std::string log = mltest::InfraEnvironment::ReadFile(env.ErrorLogPath());
    EXPECT_NE(log.find("[ERROR]  = File larger than 1 MiB; the rest is ignored"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("larger than"), log.rfind("larger than"));
    env.StopLogs();
}

}  // namespace
