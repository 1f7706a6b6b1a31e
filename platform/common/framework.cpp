// The per-module half of the framework. It is linked statically into every
// shared object that uses it and keeps its symbols hidden, so each object
// has its own module state below.
#include "platform/framework.h"

#include "platform/library.h"

namespace {
constinit AFX_MODULE_STATE g_moduleState{};
}

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    return &g_moduleState;
}

HINSTANCE AfxGetInstanceHandle() {
    return AfxGetModuleState()->instance;
}

HINSTANCE AfxGetResourceHandle() {
    AFX_MODULE_STATE* state = AfxGetModuleState();
    return state->resource != nullptr ? state->resource : state->instance;
}

void AfxSetResourceHandle(HINSTANCE resource) {
    AfxGetModuleState()->resource = resource;
}

AFX_MAINTAIN_STATE2::AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* state) : previous_(AfxGetModuleState()) {
    AfxSetModuleState(state);
}

AFX_MAINTAIN_STATE2::~AFX_MAINTAIN_STATE2() {
    AfxSetModuleState(previous_);
}

CWinApp::CWinApp(LPCWSTR) {
    g_moduleState.app = this;
}

CWinApp::~CWinApp() {
    if (g_moduleState.app == this)
        g_moduleState.app = nullptr;
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

AfxModuleAttach::AfxModuleAttach(CWinApp& app) : app_(app) {
    // The address of this object's own state lies inside this shared object,
    // so the loader names it even while its constructors run.
    HMODULE self = nullptr;
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&g_moduleState), &self))
        g_moduleState.instance = self;
    g_moduleState.app = &app_;
    AFX_MANAGE_STATE(&g_moduleState);
    app_.InitInstance();
}

AfxModuleAttach::~AfxModuleAttach() {
    AFX_MANAGE_STATE(&g_moduleState);
    app_.ExitInstance();
}
