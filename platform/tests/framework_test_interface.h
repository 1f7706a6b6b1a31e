// What the framework test module (framework_module.cpp) reports.
#ifndef ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_
#define ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_

#include "platform/framework.h"

struct FrameworkReport {
    int initCalls = 0;
    HINSTANCE instance = nullptr;     // AfxGetInstanceHandle() in InitInstance
    HINSTANCE resource = nullptr;     // AfxGetResourceHandle() in InitInstance
    bool ownStateCurrent = false;     // the module's state was current
    bool appRegistered = false;       // the state names the application object
    bool globalsConstructed = false;  // globals above ML_MODULE_APP were ready
    char16_t path[MAX_PATH] = {};     // GetModuleFileNameW of the instance
    char16_t text[64] = {};           // text 1 of a language library loaded there
};

// At unload: 1 when ExitInstance ran with the module's state current.
using FrameworkSetExitFlagFn = void (*)(int* flag);
using FrameworkReportFn = const FrameworkReport* (*)();
// An exported function: switches to the module's state and returns the
// state that was current inside.
using FrameworkCurrentStateFn = AFX_MODULE_STATE* (*)();
using FrameworkStaticStateFn = AFX_MODULE_STATE* (*)();

#endif  // ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_
