// Languages: "languages.ini", the configured language, the language libraries.
#include <gtest/gtest.h>

#include <filesystem>

#include "infrastructure/language_table.h"
#include "infrastructure/log_file.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/test_environment.h"
#include "log_test_util.h"
#include "platform/codepage.h"
#include "platform/library.h"

namespace {

namespace fs = std::filesystem;
using logtest::DebugEntry;
using logtest::ErrorEntry;
using logtest::Header;
using ml::FromUtf8;
using mltest::InfraEnvironment;

bool Has(const std::string& log, const std::string& part) {
    return log.find(part) != std::string::npos;
}

TEST(LanguageTable, FieldsIndentationSkippedLinesAndNumbers) {
    CLanguageTable table = ml_infra::ParseLanguageTable(
        u"; comment\tx\ty\r\n"
        u"English\t1033\tb\r\n"
        u"  \t German\t1031\tdeutsch trailing\n"
        u"OneTab\t1036\n"
        u"\r\n"
        u"   \t  \n"
        u"NoLetter\t 3082 \t\r"
        u"Junk\tabc\tj\n"
        u"Big\t70000\tq");
    EXPECT_EQ(table.names,
              (std::vector<std::u16string>{u"English", u"German", u"NoLetter", u"Junk", u"Big"}));
    EXPECT_EQ(table.languageIds, (std::vector<WORD>{1033, 1031, 3082, 0, WORD(70000 & 0xFFFF)}));
    EXPECT_EQ(table.letters, (std::vector<char16_t>{u'b', u'd', u'\0', u'j', u'q'}));
    // Numbers are read like the runtime's _wtoi, saturating.
    EXPECT_EQ(ml_infra::WToI(u" \t-12x"), -12);
    EXPECT_EQ(ml_infra::WToI(u"+7"), 7);
    EXPECT_EQ(ml_infra::WToI(u"x7"), 0);
    EXPECT_EQ(ml_infra::WToI(u"99999999999"), INT32_MAX);
    EXPECT_EQ(ml_infra::WToI(u"-99999999999"), INT32_MIN);
}

TEST(LanguageTable, EncodingByByteOrderMark) {
    const std::u16string text = u"Fran\u00E7ais\t1036\tf\r\n";
    std::string utf8 = "\xEF\xBB\xBF" + ml::ToUtf8(text), utf16le = "\xFF\xFE",
                utf16be = "\xFE\xFF";
    for (char16_t c : text) {
        utf16le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        utf16be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    }
    for (const std::string& bytes : {utf8, utf16le, utf16be})
        EXPECT_EQ(ml_infra::DecodeTextFile(bytes), text);
    // No mark: the ANSI code page.
    logtest::ScopedLocale locale("C");
    EXPECT_EQ(ml_infra::DecodeTextFile(ml::ToAnsi(u"Fran\u00E7ais")), u"Fran\u00E7ais");
}

class LanguageTest : public logtest::LogFixture {
  protected:
    void SetUp() override {
        LogFixture::SetUp();
        InfraEnvironment::WriteFile(env_.InstallDir() + "/languages.ini",
                                    "English\t1033\tb\r\nGerman\t1031\td\r\nFrench\t1036\tf\r\n"
                                    "Austrian\t3079\ta\r\n");
    }
    // GetCurrentLanguage as "id primary letter name".
    std::string Current() {
        std::u16string name;
        WORD id = 0, primary = 0;
        char16_t letter = 0;
        CResHandler::GetCurrentLanguage(name, id, letter, primary);
        return std::to_string(id) + " " + std::to_string(primary) + " " +
               ml::ToUtf8(std::u16string(1, letter) + u" " + name);
    }
};

TEST_F(LanguageTest, LookupsCompareThePrimaryLanguageAndTakeTheFirstLine) {
    // de-AT takes the first German line, en-GB English, an unknown one English.
    for (const auto& [id, letter, name] : {std::tuple{0x0C07, u'd', u"German"},
                                           {0x0809, u'b', u"English"},
                                           {0x0411, u'b', u"English"}}) {
        EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(WORD(id)), letter) << id;
        EXPECT_EQ(CResHandler::GetLanguageName_From_WindowsLangID(WORD(id)), name) << id;
    }
    fs::remove(env_.InstallDir() + "/languages.ini");
    EXPECT_EQ(CResHandler::GetLanguageName_From_WindowsLangID(0x0407), u"English");
}

TEST_F(LanguageTest, CurrentLanguageFromTheSettingsFileDefaultsAndErrors) {
    env_.StartLogs();
    env_.WriteSettingsIni("[Config]\nCurrentLanguage=3079\n");
    EXPECT_EQ(Current(), "3079 7 d German");
    env_.WriteSettingsIni("[Config]\nOther=1\n");
    EXPECT_EQ(Current(), "1033 9 b English");
    env_.WriteSettingsIni("[Config]\nCurrentLanguage=German\n");
    EXPECT_EQ(Current(), "0 0 b English");
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath())) << "a missing key is no error";

    fs::remove(env_.SettingsDir() + "mlsettings.ini");
    EXPECT_EQ(Current(), "1033 9 b English");
    const std::string method = "CResHandler::GetCurrentLanguage() - CIniFile::ReadFile() - ERROR";
    EXPECT_TRUE(Has(ErrorLog(), ErrorEntry(Header(method), "[ERROR] dwErrorNumber = 2")));
}

// The cases are written with Linux's suffix; the build's takes its place.
std::u16string Suffixed(std::u16string path) {
    for (bool upper : {false, true}) {
        std::u16string so = upper ? u".SO" : u".so", to = FromUtf8(ML_SHARED_LIBRARY_SUFFIX);
        for (char16_t& c : to)
            c = upper && c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c;
        for (size_t at = 0; (at = path.find(so, at)) != std::u16string::npos; at += to.size())
            path.replace(at, so.size(), to);
    }
    return path;
}

TEST_F(LanguageTest, LanguageLibraryNamedAfterTheModule) {
    const std::tuple<std::u16string, WORD, std::u16string> cases[] = {
        {u"/opt/x/lib/libmlcardmanx.so", 0x0407, u"/opt/x/lib/libmlcardmand.so"},
        {u"/opt/x/lib/libmlcardmanx.so", 0x0411, u"/opt/x/lib/libmlcardmanb.so"},
        // Upper case: the letter still replaces the "X"; the rest keeps its case.
        {u"/OPT/LIB/LIBMLCARDMANX.SO", 0x0407, u"/OPT/LIB/LIBMLCARDMANd.SO"},
        // Folders are never renamed; a path without "x" + suffix stays.
        {u"/x.so/libmlcardmanx.so", 0x0407, u"/x.so/libmlcardmand.so"},
        {u"/opt/lib/other.so", 0x0407, u"/opt/lib/other.so"},
        {u"", 0x0407, u""},
    };
    for (const auto& [module, id, expected] : cases)
        EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(Suffixed(module), id), Suffixed(expected))
            << id;
    // A table letter that cannot name a file falls back to English.
    InfraEnvironment::WriteFile(env_.InstallDir() + "/languages.ini", "Broken\t1031\t\r\n");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(Suffixed(u"/l/libmlcardmanx.so"), 0x0407),
              Suffixed(u"/l/libmlcardmanb.so"));
}

// A stand-in module with English, German and a mostly empty French library.
class LanguageLibraryTest : public LanguageTest {
  protected:
    void SetUp() override {
        LanguageTest::SetUp();
        fs::create_directories(dir_);
        for (auto [from, letter] : {std::pair{ML_TEST_MODULE_FILE, 'x'},
                                    {ML_TEST_ENGLISH_FILE, 'b'},
                                    {ML_TEST_GERMAN_FILE, 'd'},
                                    {ML_TEST_PARTIAL_FILE, 'f'}})
            fs::copy_file(from, Lib(letter));
        module_ = LoadLibraryW(FromUtf8(Lib('x')).c_str());
        ASSERT_NE(module_, nullptr);
        env_.StartLogs();
    }
    void TearDown() override {
        if (module_)
            FreeLibrary(module_);
    }
    std::string Lib(char letter, const std::string& dir = "") const {
        return InfraEnvironment::Native((dir.empty() ? dir_ : dir) + "libmlcardman" + letter +
                                        ML_SHARED_LIBRARY_SUFFIX);
    }

    const std::string dir_ = env_.Root() + "/lib/";
    HMODULE module_ = nullptr;
};

TEST_F(LanguageLibraryTest, LoadResourceDllFallsBackToEnglish) {
    EXPECT_EQ(CResHandler::GetDLLPathName(module_), FromUtf8(Lib('x')));
    EXPECT_EQ(CResHandler::GetNameOfLanguageDLL4DLL(module_, 0x0407), FromUtf8(Lib('d')));
    std::u16string path = FromUtf8(Lib('d'));
    HMODULE library = CResHandler::LoadResourceDLL(path, TRUE);
    ASSERT_NE(library, nullptr);
    FreeLibrary(library);
    fs::remove(Lib('d'));
    library = CResHandler::LoadResourceDLL(path, TRUE);
    ASSERT_NE(library, nullptr);
    FreeLibrary(library);
    EXPECT_EQ(path, FromUtf8(Lib('b'))) << "the caller's path names English now";
    EXPECT_TRUE(Has(DebugLog(), DebugEntry(Header("CResHandler::LoadResourceDLL()"),
                                           "[INFO]  = Language DLL not loadable: '" + Lib('d') +
                                               "' -> default language 'b' used (LANG_ENGLISH)")));
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath())) << "the fallback is no error";

    // A folder without language libraries.
    const std::string nowhere = env_.Root() + "/nowhere/";
    path = FromUtf8(Lib('d', nowhere));
    EXPECT_EQ(CResHandler::LoadResourceDLL(path, FALSE), nullptr);
    EXPECT_TRUE(Has(ErrorLog(),
                    "Neither language DLL nor default language DLL loadable; "
                    "default language DLL: '" +
                        Lib('b', nowhere) + "'"));
}

TEST_F(LanguageLibraryTest, LoadString4DllTakesTheTextOfTheLanguage) {
    const std::u16string german = u"Im Kartenterminal steckt keine Karte.";
    const std::u16string english = u"There is no card in the card terminal.";
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0C07, 8), german);
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0409, 8), english);
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 1), u"Seul texte");
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 2).size(), 1023u) << "cut to 1023";
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));

    // A missing number: empty, and reported.
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 8), u"");
    EXPECT_TRUE(Has(ErrorLog(), "CResHandler::LoadString4DLL() - Error -> no text available"));
    // A language without a library: English.
    fs::remove(Lib('f'));
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 8), english);
}

}  // namespace
