// The component found the way the module finds it: registry and
// CoCreateInstance.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"
#include "platform/com.h"

namespace {

namespace fs = std::filesystem;

// The creation context the module asks for.
constexpr DWORD kContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

class DialogActivation : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/mldialog-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(setenv("ML_REGISTRY_ROOT", root_.c_str(), 1), 0);
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override {
        CoUninitialize();
        unsetenv("ML_REGISTRY_ROOT");
        fs::remove_all(root_);
    }

    void Register(const std::string& library) {
        fs::path key = fs::path(root_) / "HKEY_CLASSES_ROOT" / "CLSID" /
                       ml::ToUtf8(GuidToString(CLSID_LogonDM)) / "InprocServer32";
        fs::create_directories(key);
        std::ofstream(key / "@") << library << "\n";
    }

    std::string root_;
};

TEST(LogonDMIdentifiers, AreTheContractsValues) {
    EXPECT_EQ(GuidToString(CLSID_LogonDM), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
    EXPECT_EQ(GuidToString(IID_ILogonDM), u"{8C14E7A2-0D39-4B6F-9E21-5A7C3D08B4E9}");
    // A caller built elsewhere computes the same identification.
    EXPECT_EQ(LogonDMIdentification(0u), 0x6D3A95C7u);
    EXPECT_EQ(LogonDMIdentification(0xFFFFFFFFu), 0x9FC5FA7Eu);
    EXPECT_EQ(LogonDMIdentification(0x12345678u), 0x7F0ED3FFu);
}

TEST_F(DialogActivation, RegisteredComponentIsCreatedAndAnswersAtTheFifteenthMethod) {
    Register(MLDIALOG_PATH);
    ILogonDM* dm = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_LogonDM, nullptr, kContext, IID_ILogonDM,
                               reinterpret_cast<void**>(&dm)),
              S_OK);
    ASSERT_NE(dm, nullptr);

    // A wrong pair is refused before any terminal is looked at.
    LONG result = 5;
    BSTR text = SysAllocString(u"text");
    EXPECT_EQ(dm->ShowMessageBox(1, LogonDMIdentification(1) + 1, -1, nullptr, text, nullptr, MB_OK,
                                 &result),
              LOGONDM_E_IDENTIFICATION);
    EXPECT_EQ(result, -1);
    SysFreeString(text);
    EXPECT_EQ(dm->Release(), 0u);
}

}  // namespace
