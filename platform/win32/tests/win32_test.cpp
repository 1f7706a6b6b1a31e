// The Windows platform layer under Wine: what it adds to the system, and the
// system services the module relies on as Windows gives them.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"
#include "platform/com.h"
#include "platform/handle.h"
#include "platform/lasterror.h"
#include "platform/library.h"
#include "platform/named_objects.h"
#include "platform/registry.h"
#include "platform/session.h"
#include "platform/string_table.h"
#include "platform/win32/tests/system_support.h"

namespace {

using ml::win32test::ProgramFolder;

TEST(Win32Text, Utf8AndAnsiConversions) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"", ""},
        {u"M\u00fcller", "M\xc3\xbcller"},
        {u"\u6771\u4eac", "\xe6\x9d\xb1\xe4\xba\xac"},
        {u"\U0001F511 key", "\xf0\x9f\x94\x91 key"},
    };
    for (const auto& [wide, utf8] : cases) {
        EXPECT_EQ(ml::ToUtf8(wide), utf8);
        EXPECT_EQ(ml::FromUtf8(utf8), wide);
    }
    EXPECT_EQ(ml::FromAnsi(ml::ToAnsi(u"Domain\\user")), u"Domain\\user");
}

class Win32Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        key_ = u"Software\\mlcardmanx-test-" + ml::FromUtf8(std::to_string(GetCurrentProcessId()));
    }
    void TearDown() override { ml::win32test::DeleteKey(key_); }
    bool Write(const std::u16string& name, const std::u16string& text, bool terminated) {
        size_t chars = text.size() + (terminated ? 1 : 0);
        return ml::win32test::WriteValue(key_, name, REG_SZ, text.c_str(),
                                         static_cast<uint32_t>(chars * sizeof(char16_t)));
    }
    std::u16string key_;
};

TEST_F(Win32Registry, ReadStringOfEveryShapeOfValue) {
    const std::u16string longText(5000, u'x');
    ASSERT_TRUE(Write(u"Path", u"C:\\Program Files\\Kestrel", true));
    ASSERT_TRUE(Write(u"Bare", u"no terminator", false));
    ASSERT_TRUE(Write(u"Long", longText, true));
    ASSERT_TRUE(Write(u"", u"default", true));
    const DWORD number = 7;
    ASSERT_TRUE(ml::win32test::WriteValue(key_, u"Number", 4, &number, sizeof number));

    const std::tuple<std::u16string, LONG, std::u16string> cases[] = {
        {u"Path", ERROR_SUCCESS, u"C:\\Program Files\\Kestrel"},
        {u"Bare", ERROR_SUCCESS, u"no terminator"},
        {u"Long", ERROR_SUCCESS, longText},
        {u"", ERROR_SUCCESS, u"default"},
        {u"Missing", 2 /* file not found */, u"unchanged"},
        {u"Number", ML_ERROR_INVALID_PARAMETER, u"unchanged"},
    };
    for (const auto& [name, rc, text] : cases) {
        std::u16string value = u"unchanged";
        EXPECT_EQ(ml::RegReadString(HKEY_CURRENT_USER, key_, name, value), rc) << ml::ToUtf8(name);
        EXPECT_EQ(value, text) << ml::ToUtf8(name);
    }
    std::u16string value;
    EXPECT_EQ(ml::RegReadString(HKEY_CURRENT_USER, key_ + u"\\none", u"Path", value), 2);
}

// The settings mutex is shared with other processes (the host, a second
// module instance) under a "Global\" name.
TEST(Win32NamedObjects, MutexExcludesAnotherProcessUntilReleased) {
    const std::u16string name =
        u"Global\\mlcardmanx-test-" + ml::FromUtf8(std::to_string(GetCurrentProcessId()));
    auto helper = [&] {
        return ml::win32test::RunProcess(ProgramFolder() + u"win32_named_object_helper.exe", name);
    };
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(helper(), 1) << "held here: the other process must not get it";
    ASSERT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(helper(), 0) << "released: the other process gets it";
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ML_ERROR_NOT_OWNER);
    EXPECT_TRUE(CloseHandle(mutex));
}

// The language libraries' string tables hold every line of their text
// sources, escapes and quotes included.
TEST(Win32Resources, LanguageLibrariesHoldTheirTextSources) {
    for (auto [dll, name] : {std::pair{u"mlcardmanb.dll", "english.txt"},
                             std::pair{u"mlcardmand.dll", "german.txt"}}) {
        HMODULE library = LoadLibraryW((ProgramFolder() + dll).c_str());
        std::ifstream source(std::string(ML_TEXT_SOURCES_DIR) + "/" + name);
        ASSERT_TRUE(library != nullptr && source) << name;
        int checked = 0;
        for (std::string line; std::getline(source, line);) {
            size_t tab = line.find('\t');
            if (line.empty() || line[0] == '#' || tab == std::string::npos)
                continue;
            std::string text;
            for (size_t i = tab + 1; i < line.size(); ++i) {
                bool escape = line[i] == '\\' && i + 1 < line.size();
                char c = escape ? line[++i] : line[i];
                text += !escape ? c : c == 'n' ? '\n' : c == 't' ? '\t' : c;
            }
            WCHAR buffer[1024];
            int n = LoadStringW(library, static_cast<UINT>(std::stoul(line.substr(0, tab))), buffer,
                                1024);
            EXPECT_EQ(std::u16string(buffer, n > 0 ? n : 0), ml::FromUtf8(text)) << line;
            ++checked;
        }
        EXPECT_GT(checked, 20) << name;
        WCHAR buffer[16];
        EXPECT_EQ(LoadStringW(library, 999, buffer, 16), 0) << "no text of that number";
        EXPECT_TRUE(FreeLibrary(library));
    }
}

// The dialog manager registers itself and is created through the system's
// COM, as the module creates it.
TEST(Win32Com, DialogManagerRegistersAndIsCreatedThroughTheSystem) {
    EXPECT_EQ(GuidToString(CLSID_LogonDM), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
    HMODULE server = LoadLibraryW((ProgramFolder() + u"mldialog.dll").c_str());
    ASSERT_NE(server, nullptr);
    auto call = [&](const char* entry) {
        auto fn = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(server, entry));
        return fn != nullptr ? fn() : E_FAIL;
    };
    ASSERT_EQ(call("DllRegisterServer"), S_OK);

    std::u16string path;
    EXPECT_EQ(ml::RegReadString(HKEY_CLASSES_ROOT,
                                u"CLSID\\" + GuidToString(CLSID_LogonDM) + u"\\InprocServer32", u"",
                                path),
              ERROR_SUCCESS);
    EXPECT_EQ(path, ProgramFolder() + u"mldialog.dll");

    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ILogonDM* dm = nullptr;
    ASSERT_EQ(
        CoCreateInstance(CLSID_LogonDM, nullptr, 0x17, IID_ILogonDM, reinterpret_cast<void**>(&dm)),
        S_OK);
    ASSERT_NE(dm, nullptr);
    // A call reaches the object: a wrong identification is refused.
    BSTR text = SysAllocString(u"text");
    LONG result = 0;
    EXPECT_EQ(dm->ShowMessageBox(0x12345678, 0x12345678, -1, nullptr, text, text, MB_OK, &result),
              LOGONDM_E_IDENTIFICATION);
    EXPECT_EQ(result, -1);
    SysFreeString(text);
    EXPECT_EQ(dm->Release(), 0u);

    ASSERT_EQ(call("DllUnregisterServer"), S_OK);
    dm = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_LogonDM, nullptr, 0x17, IID_ILogonDM, reinterpret_cast<void**>(&dm)),
        REGDB_E_CLASSNOTREG);
    CoUninitialize();
    FreeLibrary(server);
}

}  // namespace
