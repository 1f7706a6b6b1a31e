// The module framework: per-module state, the instance handle found at load
// time, InitInstance and ExitInstance.
#include "platform/framework.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/library.h"
#include "platform/tests/framework_test_interface.h"

namespace {

template <typename T>
T Get(HMODULE module, const char* name) {
    return reinterpret_cast<T>(GetProcAddress(module, name));
}

TEST(Framework, InitInstanceRunsAtLoadWithTheModulesOwnState) {
    AFX_MODULE_STATE* before = AfxGetModuleState();
    HMODULE module = LoadLibraryW(ml::FromUtf8(ML_TEST_FRAMEWORK_MODULE).c_str());
    ASSERT_NE(module, nullptr);
    // Loading switched to the module's state and back.
    EXPECT_EQ(AfxGetModuleState(), before);

    auto report = Get<FrameworkReportFn>(module, "MlTestFrameworkReport")();
    EXPECT_EQ(report->initCalls, 1);
    EXPECT_EQ(report->instance, module);
    EXPECT_EQ(report->resource, module);  // resources come from the module until set
    EXPECT_TRUE(report->ownStateCurrent);
    EXPECT_TRUE(report->appRegistered);
    EXPECT_TRUE(report->globalsConstructed);
    EXPECT_EQ(std::u16string(report->text), u"Card inserted");

    // Each shared object has its own state; an export switches to it.
    EXPECT_NE(report->state, AfxGetStaticModuleState());
    EXPECT_EQ(Get<FrameworkCurrentStateFn>(module, "MlTestFrameworkCurrentState")(), report->state);
    EXPECT_EQ(AfxGetModuleState(), before);

    int exitedWithOwnState = -1;
    Get<FrameworkSetExitFlagFn>(module, "MlTestFrameworkSetExitFlag")(&exitedWithOwnState);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(exitedWithOwnState, 1);
}

}  // namespace
