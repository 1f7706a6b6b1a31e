// Language: the table of "languages.ini", the configured language, the names
// of the language libraries, loading with the fallback to English, and
// single texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "infrastructure/error_handler.h"
#include "infrastructure/language_table.h"
#include "infrastructure/log_file.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/test_environment.h"
#include "log_test_util.h"
#include "platform/codepage.h"
#include "platform/library.h"

#ifdef ML_TEST_HAVE_FRAMEWORK
#include "platform/framework.h"
#endif

namespace {

namespace fs = std::filesystem;
using logtest::DebugEntry;
using logtest::ErrorEntry;
using logtest::Header;
using mltest::InfraEnvironment;

std::u16string U(const std::string& text) {
    return ml::FromUtf8(text);
}

// ---- the table ----

TEST(LanguageTable, FieldsIndentationAndSkippedLines) {
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
}

TEST(LanguageTable, EncodingByByteOrderMark) {
    const std::string utf8 =
        "\xEF\xBB\xBF"
        "Fran\xC3\xA7"
        "ais\t1036\tf\r\n";
    std::string utf16le = "\xFF\xFE";
    std::string utf16be = "\xFE\xFF";
    for (char16_t c : std::u16string(u"Fran\u00E7ais\t1036\tf\r\n")) {
        utf16le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        utf16be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
    }
    for (const std::string& bytes : {utf8, utf16le, utf16be}) {
        CLanguageTable table = ml_infra::ParseLanguageTable(ml_infra::DecodeTextFile(bytes));
        ASSERT_EQ(table.names.size(), 1u);
        EXPECT_EQ(table.names[0], u"Fran\u00E7ais");
        EXPECT_EQ(table.languageIds[0], 1036);
        EXPECT_EQ(table.letters[0], u'f');
    }
    // No mark: the ANSI code page (UTF-8 under the "C" locale).
    logtest::ScopedLocale locale("C");
    EXPECT_EQ(ml_infra::DecodeTextFile("Fran\xC3\xA7"
                                       "ais"),
              u"Fran\u00E7ais");
    // An odd trailing byte of UTF-16 is dropped.
    EXPECT_EQ(ml_infra::DecodeTextFile(std::string("\xFF\xFE"
                                                   "A\0B",
                                                   5)),
              u"A");
}

TEST(LanguageTable, WToILikeTheRuntime) {
    EXPECT_EQ(ml_infra::WToI(u" \t-12x"), -12);
    EXPECT_EQ(ml_infra::WToI(u"+7"), 7);
    EXPECT_EQ(ml_infra::WToI(u"x7"), 0);
    EXPECT_EQ(ml_infra::WToI(u"99999999999"), INT32_MAX);
    EXPECT_EQ(ml_infra::WToI(u"-99999999999"), INT32_MIN);
}

class LanguageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.WriteDebugIni(true, 100);
        InfraEnvironment::WriteFile(env_.InstallDir() + "/languages.ini",
                                    "English\t1033\tb\r\nGerman\t1031\td\r\nFrench\t1036\tf\r\n"
                                    "Austrian\t3079\ta\r\n");
    }

    std::string DebugLog() const { return InfraEnvironment::ReadFile(env_.DebugLogPath()); }
    std::string ErrorLog() const { return InfraEnvironment::ReadFile(env_.ErrorLogPath()); }

    logtest::ScopedLocale locale_{"C"};
    logtest::FixedClock clock_;
    InfraEnvironment env_;
};

TEST_F(LanguageTest, LookupsCompareThePrimaryLanguageAndTakeTheFirstLine) {
    EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(0x0407), u'd');
    EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(0x0C07), u'd') << "de-AT";
    EXPECT_EQ(CResHandler::GetLanguageName_From_WindowsLangID(0x0C07), u"German");
    EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(0x0809), u'b') << "en-GB";
    EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(0x0411), u'b') << "unknown";
    EXPECT_EQ(CResHandler::GetLanguageName_From_WindowsLangID(0x0411), u"English");

    fs::remove(env_.InstallDir() + "/languages.ini");
    EXPECT_EQ(CResHandler::GetMorlindLangID_From_WindowsLangID(0x0407), u'b');
    EXPECT_EQ(CResHandler::GetLanguageName_From_WindowsLangID(0x0407), u"English");
}

TEST_F(LanguageTest, CurrentLanguageFromTheSettingsFile) {
    env_.WriteSettingsIni("[Config]\nCurrentLanguage=3079\n");
    env_.StartLogs();
    std::u16string name;
    WORD id = 0;
    WORD primary = 0;
    char16_t letter = 0;
    CResHandler::GetCurrentLanguage(name, id, letter, primary);
    EXPECT_EQ(id, 3079);
    EXPECT_EQ(primary, 7);
    EXPECT_EQ(letter, u'd');
    EXPECT_EQ(name, u"German");
    const std::string header = Header("CResHandler::GetCurrentLanguage()");
    EXPECT_NE(DebugLog().find(DebugEntry(header, "[INFO] p_wWINDOWS_LANG_ID = 3079") +
                              DebugEntry(header, "[INFO] p_wWINDOWS_PLID = 7") +
                              DebugEntry(header, "[INFO] p_cMorlind_LANG_ID = d") +
                              DebugEntry(header, "[INFO] p_strLanguageName = German")),
              std::string::npos);
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));
}

TEST_F(LanguageTest, CurrentLanguageDefaultsAndErrors) {
    env_.StartLogs();
    std::u16string name;
    WORD id = 0;
    WORD primary = 0;
    char16_t letter = 0;

    env_.WriteSettingsIni("[Config]\nOther=1\n");
    CResHandler::GetCurrentLanguage(name, id, letter, primary);
    EXPECT_EQ(id, 0x409);
    EXPECT_EQ(letter, u'b');
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath())) << "a missing key is no error";

    env_.WriteSettingsIni("[Config]\nCurrentLanguage=German\n");
    CResHandler::GetCurrentLanguage(name, id, letter, primary);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(letter, u'b');
    EXPECT_EQ(name, u"English");

    fs::remove(env_.SettingsDir() + "mlsettings.ini");
    CResHandler::GetCurrentLanguage(name, id, letter, primary);
    EXPECT_EQ(id, 0x409);
    EXPECT_EQ(name, u"English");
    const std::string method = "CResHandler::GetCurrentLanguage() - CIniFile::ReadFile() - ERROR";
    const std::string text = ml::ToUtf8(CCmnErrorHandler::GetSystemErrorText(2));
    EXPECT_EQ(ErrorLog(), ErrorEntry(Header(method), "[ERROR] szINIFile = " + env_.SettingsDir() +
                                                         "mlsettings.ini") +
                              ErrorEntry(Header(method), "[ERROR] dwErrorNumber = 2") +
                              ErrorEntry(Header(method), "[ERROR] strErrorText = " + text));
}

TEST_F(LanguageTest, CurrentLanguageWithoutInstallation) {
    env_.StartLogs();
    env_.RemoveInstallPath();
    std::u16string name;
    WORD id = 0;
    WORD primary = 0;
    char16_t letter = 0;
    CResHandler::GetCurrentLanguage(name, id, letter, primary);
    EXPECT_EQ(id, 0x409);
    EXPECT_EQ(letter, u'b');
    EXPECT_NE(
        ErrorLog().find("CResHandler::GetCurrentLanguage() - CResHandler::GetINIFile() - ERROR"),
        std::string::npos);
}

// ---- library names ----

TEST_F(LanguageTest, LanguageLibraryNamedAfterTheModule) {
    EXPECT_EQ(CResHandler::LibrarySuffix(), u".so");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/opt/x/lib/libmlcardmanx.so", 0x0407),
              u"/opt/x/lib/libmlcardmand.so");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/opt/x/lib/libmlcardmanx.so", 0x0411),
              u"/opt/x/lib/libmlcardmanb.so");
    // Upper case: the letter still replaces the "X"; the rest keeps its case.
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/OPT/LIB/LIBMLCARDMANX.SO", 0x0407),
              u"/OPT/LIB/LIBMLCARDMANd.SO");
    // Folders are never renamed; a path without "x" + suffix stays.
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/x.so/libmlcardmanx.so", 0x0407),
              u"/x.so/libmlcardmand.so");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/opt/lib/other.so", 0x0407),
              u"/opt/lib/other.so");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"", 0x0407), u"");
    // A table letter that cannot name a file falls back to English.
    InfraEnvironment::WriteFile(env_.InstallDir() + "/languages.ini", "Broken\t1031\t\r\n");
    EXPECT_EQ(CResHandler::MakeLanguageDLLFromDLL(u"/l/libmlcardmanx.so", 0x0407),
              u"/l/libmlcardmanb.so");
}

// ---- loading ----

// A folder with a stand-in module "libmlcardmanx.so" and the language
// libraries beside it: English, German, and a French one that lacks most
// texts.
class LanguageLibraryTest : public LanguageTest {
  protected:
    void SetUp() override {
        LanguageTest::SetUp();
        dir_ = env_.Root() + "/lib/";
        fs::create_directories(dir_);
        fs::copy_file(ML_TEST_MODULE_FILE, dir_ + "libmlcardmanx.so");
        fs::copy_file(ML_TEST_ENGLISH_FILE, dir_ + "libmlcardmanb.so");
        fs::copy_file(ML_TEST_GERMAN_FILE, dir_ + "libmlcardmand.so");
        fs::copy_file(ML_TEST_PARTIAL_FILE, dir_ + "libmlcardmanf.so");
        module_ = LoadLibraryW(U(dir_ + "libmlcardmanx.so").c_str());
        ASSERT_NE(module_, nullptr);
        env_.StartLogs();
    }
    void TearDown() override {
        if (module_) {
            FreeLibrary(module_);
        }
    }

    std::string dir_;
    HMODULE module_ = nullptr;
};

TEST_F(LanguageLibraryTest, PathOfTheModuleAndItsLanguageLibrary) {
    EXPECT_EQ(CResHandler::GetDLLPathName(module_), U(dir_ + "libmlcardmanx.so"));
    EXPECT_EQ(CResHandler::GetNameOfLanguageDLL4DLL(module_, 0x0407), U(dir_ + "libmlcardmand.so"));
}

TEST_F(LanguageLibraryTest, LoadResourceDllFallsBackToEnglish) {
    std::u16string path = U(dir_ + "libmlcardmand.so");
    HMODULE library = CResHandler::LoadResourceDLL(path, TRUE);
    ASSERT_NE(library, nullptr);
    FreeLibrary(library);
    EXPECT_NE(DebugLog().find(DebugEntry(
                  Header("CResHandler::LoadResourceDLL() - Language DLL loaded successfully"),
                  "[INFO] p_strResourceDLL = " + dir_ + "libmlcardmand.so")),
              std::string::npos);

    fs::remove(dir_ + "libmlcardmand.so");
    path = U(dir_ + "libmlcardmand.so");
    library = CResHandler::LoadResourceDLL(path, TRUE);
    ASSERT_NE(library, nullptr);
    FreeLibrary(library);
    EXPECT_EQ(path, U(dir_ + "libmlcardmanb.so")) << "the caller's path names English now";
    const std::string header = Header("CResHandler::LoadResourceDLL()");
    EXPECT_NE(DebugLog().find(DebugEntry(header, "[INFO]  = Language DLL not loadable: '" + dir_ +
                                                     "libmlcardmand.so' -> default language 'b' "
                                                     "used (LANG_ENGLISH)")),
              std::string::npos);
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath())) << "the fallback is no error";

    // A folder without language libraries.
    const std::string nowhere = env_.Root() + "/nowhere/";
    path = U(nowhere + "libmlcardmand.so");
    EXPECT_EQ(CResHandler::LoadResourceDLL(path, FALSE), nullptr);
    const std::string log = ErrorLog();
    EXPECT_EQ(log.substr(0, 2 + 8 + 1 + 8 + 3 + 2 + 3), ErrorEntry("", "")) << "separator first";
    EXPECT_NE(log.find("[ERROR]  = Neither language DLL nor default language DLL loadable; default "
                       "language DLL: '" +
                       nowhere + "libmlcardmanb.so'"),
              std::string::npos);
    EXPECT_NE(log.find("[ERROR] dwLastError = "), std::string::npos);
}

TEST_F(LanguageLibraryTest, LoadString4DllTakesTheTextOfTheLanguage) {
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0407, 8),
              u"Im Kartenterminal steckt keine Karte.");
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0C07, 8),
              u"Im Kartenterminal steckt keine Karte.");
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0409, 8),
              u"There is no card in the card terminal.");
    // A language without a library: English.
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 1), u"Seul texte");
    fs::remove(dir_ + "libmlcardmanf.so");
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 8),
              u"There is no card in the card terminal.");
    EXPECT_FALSE(InfraEnvironment::Exists(env_.ErrorLogPath()));
}

TEST_F(LanguageLibraryTest, MissingTextIsEmptyAndReported) {
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 8), u"");
    const std::string log = ErrorLog();
    EXPECT_NE(
        log.find(Header("*** CResHandler::LoadString4DLL() - Error -> no text available ***") +
                 "\r\n\t\t\t[ERROR] dwLastError = "),
        std::string::npos);
    EXPECT_NE(log.find("[ERROR] strLastError = "), std::string::npos);

    fs::remove(dir_ + "libmlcardmanb.so");
    fs::remove(dir_ + "libmlcardmand.so");
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x0407, 8), u"");
    EXPECT_NE(ErrorLog().find("Neither language DLL nor default language DLL loadable"),
              std::string::npos);
}

TEST_F(LanguageLibraryTest, LongTextsAreCutTo1023Characters) {
    EXPECT_EQ(CResHandler::LoadString4DLL(module_, 0x040C, 2).size(), 1023u);
}

#ifdef ML_TEST_HAVE_FRAMEWORK
TEST_F(LanguageLibraryTest, ResourceHandleOfTheModule) {
    HINSTANCE before = AfxGetResourceHandle();
    HMODULE german = CResHandler::SetResourcehandle4MFCDLL(module_, 0x0407);
    ASSERT_NE(german, nullptr);
    EXPECT_EQ(AfxGetResourceHandle(), german);
    EXPECT_NE(DebugLog().find("[INFO]  = Language DLL loaded successfully: '" + dir_ +
                              "libmlcardmand.so'"),
              std::string::npos);
    // Unloaded again, so that the next load meets the file system.
    AfxSetResourceHandle(before);
    FreeLibrary(german);

    fs::remove(dir_ + "libmlcardmand.so");
    HMODULE english = CResHandler::SetResourceHandle4MFCApplication(U(dir_ + "libmlcardmand.so"));
    ASSERT_NE(english, nullptr);
    EXPECT_EQ(AfxGetResourceHandle(), english);
    EXPECT_NE(ErrorLog().find("Error=2147483647 Language DLL not loadable: '" + dir_ +
                              "libmlcardmand.so' -> default language 'b' used (LANG_ENGLISH)"),
              std::string::npos);
    EXPECT_NE(
        DebugLog().find("Default language DLL loaded successfully: '" + dir_ + "libmlcardmanb.so'"),
        std::string::npos);

    // A folder without language libraries (a loaded library may stay mapped
    // after its file is gone, so another folder is used).
    const std::string nowhere = env_.Root() + "/nowhere/";
    EXPECT_EQ(CResHandler::SetResourceHandle4MFCApplication(U(nowhere + "libmlcardmand.so")),
              nullptr);
    EXPECT_EQ(AfxGetResourceHandle(), english) << "the old handle stays";
    EXPECT_NE(ErrorLog().find("Also, default language DLL not loadable: '" + nowhere +
                              "libmlcardmanb.so' -> old resource-handle still active"),
              std::string::npos);
    FreeLibrary(english);
    AfxSetResourceHandle(before);
}
#endif

}  // namespace
