// A loadable module built on the framework, for the framework tests: it
// records what its InitInstance saw at load time.
#include <string>

#include "platform/codepage.h"
#include "platform/framework.h"
#include "platform/library.h"
#include "platform/string_table.h"
#include "platform/tests/framework_test_interface.h"

#define ML_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

FrameworkReport g_report;
int* g_exitFlag = nullptr;

class TestApp : public CWinApp {
  public:
    BOOL InitInstance() override;
    int ExitInstance() override;
};

TestApp theApp;
const std::string g_greeting = std::string("dynamically ") + "initialised";

BOOL TestApp::InitInstance() {
    ++g_report.initCalls;
    g_report.instance = AfxGetInstanceHandle();
    g_report.resource = AfxGetResourceHandle();
    g_report.state = AfxGetStaticModuleState();
    g_report.ownStateCurrent = AfxGetModuleState() == g_report.state;
    g_report.appRegistered = AfxGetStaticModuleState()->app == this;
    g_report.globalsConstructed = g_greeting == "dynamically initialised";
    // Loading the language library from here runs the loader inside itself.
    HMODULE language = LoadLibraryW(ml::FromUtf8(ML_TEST_LANGUAGE_LIBRARY).c_str());
    if (language != nullptr) {
        AfxSetResourceHandle(language);
        LoadStringW(AfxGetResourceHandle(), 1, g_report.text, 64);
    }
    return TRUE;
}

int TestApp::ExitInstance() {
    HINSTANCE language = AfxGetResourceHandle();
    if (language != AfxGetInstanceHandle())
        FreeLibrary(language);
    if (g_exitFlag != nullptr)
        *g_exitFlag = AfxGetModuleState() == AfxGetStaticModuleState();
    return 0;
}

ML_MODULE_APP(theApp);

}  // namespace

ML_TEST_EXPORT const FrameworkReport* MlTestFrameworkReport() {
    return &g_report;
}

ML_TEST_EXPORT void MlTestFrameworkSetExitFlag(int* flag) {
    g_exitFlag = flag;
}

ML_TEST_EXPORT AFX_MODULE_STATE* MlTestFrameworkCurrentState() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return AfxGetModuleState();
}
