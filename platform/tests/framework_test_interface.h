// What the framework test module (framework_module.cpp) reports.
#ifndef ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_
#define ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_

#include "platform/framework.h"

struct FrameworkReport {
    int initCalls = 0;
    HINSTANCE instance = nullptr;       // AfxGetInstanceHandle() in InitInstance
    HINSTANCE resource = nullptr;       // AfxGetResourceHandle() in InitInstance
    AFX_MODULE_STATE* state = nullptr;  // the module's own state
    bool ownStateCurrent = false;       // it was current in InitInstance
    bool appRegistered = false;         // it names the application object
    bool globalsConstructed = false;    // globals above ML_MODULE_APP were ready
    char16_t text[64] = {};             // text 1 of a language library loaded there
};

using FrameworkReportFn = const FrameworkReport* (*)();
// Switches to the module's state and returns the state that was current.
using FrameworkCurrentStateFn = AFX_MODULE_STATE* (*)();
// At unload: 1 when ExitInstance ran with the module's state current.
using FrameworkSetExitFlagFn = void (*)(int* flag);

#endif  // ML_PLATFORM_TESTS_FRAMEWORK_TEST_INTERFACE_H_
