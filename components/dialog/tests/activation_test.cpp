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

TEST(LogonDMIdentifiers, AreTheContractsValues) {
    EXPECT_EQ(GuidToString(CLSID_LogonDM), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
    EXPECT_EQ(GuidToString(IID_ILogonDM), u"{8C14E7A2-0D39-4B6F-9E21-5A7C3D08B4E9}");
    // A caller built elsewhere computes the same identification.
    EXPECT_EQ(LogonDMIdentification(0u), 0x6D3A95C7u);
    EXPECT_EQ(LogonDMIdentification(0xFFFFFFFFu), 0x9FC5FA7Eu);
    EXPECT_EQ(LogonDMIdentification(0x12345678u), 0x7F0ED3FFu);
}

TEST(DialogActivation, RegisteredComponentIsCreatedAndAnswersAtTheFifteenthMethod) {
    char root[] = "/tmp/mldialog-registry-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    ASSERT_EQ(setenv("ML_REGISTRY_ROOT", root, 1), 0);
    const fs::path key = fs::path(root) / "HKEY_CLASSES_ROOT" / "CLSID" /
                         ml::ToUtf8(GuidToString(CLSID_LogonDM)) / "InprocServer32";
    fs::create_directories(key);
    std::ofstream(key / "@") << MLDIALOG_PATH << "\n";
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ILogonDM* dm = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_LogonDM, nullptr, kContext, IID_ILogonDM,
                               reinterpret_cast<void**>(&dm)),
              S_OK);
    LONG result = 5;
    if (dm != nullptr) {  // a wrong pair is refused before any terminal is looked at
        EXPECT_EQ(dm->ShowMessageBox(1, LogonDMIdentification(1) + 1, -1, nullptr, nullptr, nullptr,
                                     MB_OK, &result),
                  LOGONDM_E_IDENTIFICATION);
        EXPECT_EQ(dm->Release(), 0u);
    }
    CoUninitialize();
    unsetenv("ML_REGISTRY_ROOT");
    fs::remove_all(root);
}

}  // namespace
