#include "frame/tests/frame_fixture.h"

#include <filesystem>
#include <utility>

#include "frame/mlcardmanx_app.h"
#include "include/mlcardmanx.h"
#include "infrastructure/testing/log_scan.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "platform/framework.h"
#include "platform/library.h"
#include "platform/message.h"

namespace mltest {

namespace fs = std::filesystem;

void FrameTest::SetUp() {
    fake_.SetReaderName(ml::FromUtf8(kReader));
    // The installation: the language table, and the module file (a copy of
    // the English library) with the language libraries beside it.
    fs::copy_file(ML_LANGUAGES_INI, env_.InstallDir() + "/languages.ini");
    fs::path module = fs::path(env_.Root()) / "module";
    fs::create_directories(module);
    for (fs::path library : {ML_ENGLISH_LIBRARY, ML_GERMAN_LIBRARY})
        fs::copy_file(library, module / library.filename());
    fs::copy_file(ML_ENGLISH_LIBRARY, module / ML_MODULE_FILE_NAME);
    english_ = LoadLibraryW((module / ML_MODULE_FILE_NAME).u16string().c_str());
    ASSERT_NE(english_, nullptr);
    savedInstance_ = std::exchange(AfxGetStaticModuleState()->instance, english_);
    g_dwLanguageID = 0;

    dialog_ = LoadLibraryW(ml::FromUtf8(InfraEnvironment::Native(ML_SCRIPTED_LOGONDM)).c_str());
    ASSERT_NE(dialog_, nullptr);
    dm_ =
        reinterpret_cast<PFN_ScriptedDialogState>(GetProcAddress(dialog_, "ScriptedDialogState"))();
    ResetDialog();
    RegisterDialog(env_, dialog_, ML_SCRIPTED_LOGONDM);

    // The test driver, found through its installation's registry value.
    fs::path driver(ML_TEST_CT_DRIVER);
    env_.SetRegistryValue("SOFTWARE\\Kestrel\\APPSW\\Vireo", "Path",
                          driver.parent_path().parent_path().string());
    driverLibrary_ = LoadLibraryW(ml::FromUtf8(ML_TEST_CT_DRIVER).c_str());
    ASSERT_NE(driverLibrary_, nullptr);
    driver_ =
        reinterpret_cast<MlTestCtDriverFn>(GetProcAddress(driverLibrary_, kTestCtDriverSymbol))();
    ASSERT_NE(driver_, nullptr);
    driver_->Reset("class80", env_.Root() + "/terminal-card.img");
    driver_->SetCardPresent(false);

    UseReader("");
    static long stamp = 0;  // each test's debug switch is read afresh
    env_.WriteDebugIni(true, ++stamp);
}

void FrameTest::TearDown() {
    if (!HasFatalFailure())
        ExpectNoSecretInLogs(env_.DiagnosticsDir(), kPassword);
    if (started_)
        Stop();
    MSG msg;  // notices left belong to this test only
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    if (dialog_ != nullptr) {
        UnregisterDialog(env_, dialog_);
        ResetDialog();
        FreeLibrary(dialog_);
    }
    if (driverLibrary_ != nullptr)
        FreeLibrary(driverLibrary_);
    AfxGetStaticModuleState()->instance = savedInstance_;
    AfxSetResourceHandle(nullptr);
    if (english_ != nullptr)
        FreeLibrary(english_);
    g_dwLanguageID = 0;
}

void FrameTest::Start() {
    ASSERT_FALSE(started_);
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    theApp.InitInstance();
    started_ = true;
}

void FrameTest::Stop() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    theApp.ExitInstance();
    started_ = false;
}

void FrameTest::UseReader(const std::string& reader) {
    env_.WriteSettingsIni("[LogonDevice]\nCardreaderName=" + reader +
                          "\nCurrentPort=1\n[Config]\nCurrentLanguage=1033\n");
}

std::vector<WPARAM> FrameTest::Pump(int passes) {
    std::vector<WPARAM> notices;
    for (int i = 0; i <= passes; ++i) {
        if (i > 0)
            clock_.Advance(250);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_COMMAND)
                notices.push_back(msg.wParam);
            DispatchMessageW(&msg);
        }
    }
    return notices;
}

void FrameTest::WriteCard(const std::u16string& user, const std::u16string& domain,
                          const std::u16string& password) {
    std::u16string reader = ml::FromUtf8(kReader);
    ASSERT_EQ(SmartCardCreateFiles(reader.c_str()), 0);
    ASSERT_EQ(SmartCardWriteFiles(reader.c_str(), user.c_str(), domain.c_str(), password.c_str(),
                                  static_cast<DWORD>(password.size())),
              0);
    fake_.ClearSent();
}

void FrameTest::ResetDialog() {
    dm_->answers = dm_->next = dm_->shown = 0;
    dm_->refuse = false;
    dm_->hook = nullptr;
}

void FrameTest::Answer(std::initializer_list<LONG> answers) {
    for (LONG answer : answers) {
        ASSERT_LT(dm_->answers, 16);
        dm_->script[dm_->answers++] = answer;
    }
}

}  // namespace mltest
