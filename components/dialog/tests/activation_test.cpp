// The component found the way the module finds it: registry and
// CoCreateInstance.
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"
#include "platform/com.h"

namespace {

// These boxes are drawn on pseudo-terminals: a desktop of the developer's
// session must not take them.
const bool kNoDesktop = (unsetenv("DISPLAY"), unsetenv("WAYLAND_DISPLAY"), true);

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

TEST(LogonDMIdentifiers, AreTheRegisteredOnes) {
    EXPECT_EQ(GuidToString(CLSID_LogonDM), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
    EXPECT_EQ(GuidToString(IID_ILogonDM), u"{8C14E7A2-0D39-4B6F-9E21-5A7C3D08B4E9}");
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

    IUnknown* unknown = nullptr;
    ASSERT_EQ(dm->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(dm->Release(), 0u);
}

TEST_F(DialogActivation, UnregisteredOrMissingComponentIsReported) {
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_LogonDM, nullptr, kContext, IID_ILogonDM, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);

    Register(root_ + "/no-such-library.so");
    EXPECT_EQ(CoCreateInstance(CLSID_LogonDM, nullptr, kContext, IID_ILogonDM, &object),
              CO_E_DLLNOTFOUND);
    EXPECT_EQ(object, nullptr);
}

// The whole road of a caller: activation, a fresh challenge, its
// identification, and Cancel pressed in a system-modal warning box.
TEST_F(DialogActivation, ActivatedComponentShowsTheBoxAndReportsCancel) {
    Register(MLDIALOG_PATH);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFds[0]);
        LONG report[3] = {E_FAIL, E_FAIL, -7};
        report[0] = CoInitialize(nullptr);
        ILogonDM* dm = nullptr;
        report[1] = CoCreateInstance(CLSID_LogonDM, nullptr, kContext, IID_ILogonDM,
                                     reinterpret_cast<void**>(&dm));
        if (dm != nullptr) {
            const DWORD challenge = 0x5EED1234u;
            BSTR text = SysAllocString(u"No card in the reader.");
            BSTR caption = SysAllocString(u"Morlind Logon");
            LONG result = -1;
            HRESULT hr = dm->ShowMessageBox(challenge, LogonDMIdentification(challenge), -1,
                                            nullptr, text, caption, 0x1031, &result);
            report[2] = SUCCEEDED(hr) ? result : hr;
            SysFreeString(text);
            SysFreeString(caption);
            dm->Release();
        }
        CoUninitialize();
        (void)!write(pipeFds[1], report, sizeof report);
        _exit(0);
    }
    close(pipeFds[1]);
    std::string screen;
    bool answered = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20'000) <= 0) {
            ADD_FAILURE() << "no box: " << screen;
            break;
        }
        char buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        screen.append(buf, size_t(n));
        if (!answered && screen.find("(Enter:") != std::string::npos) {
            ASSERT_EQ(write(master, "\x1b", 1), 1);  // Escape
            answered = true;
        }
    }
    close(master);
    waitpid(pid, nullptr, 0);
    LONG report[3] = {};
    EXPECT_EQ(read(pipeFds[0], report, sizeof report), ssize_t(sizeof report));
    close(pipeFds[0]);
    EXPECT_TRUE(SUCCEEDED(report[0]));  // S_FALSE: the fixture initialised COM already
    EXPECT_EQ(report[1], S_OK);
    EXPECT_EQ(report[2], IDCANCEL);
    EXPECT_NE(screen.find("== Morlind Logon [Warning] =="), std::string::npos) << screen;
    EXPECT_NE(screen.find("No card in the reader."), std::string::npos) << screen;
}

}  // namespace
