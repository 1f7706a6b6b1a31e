// The dialog component's registration: the scripted server registers itself
// in the system's registry, so that CoCreateInstance goes through COM.
#include "frame/tests/frame_fixture.h"
#include "platform/com.h"
#include "platform/library.h"

namespace mltest {

namespace {

void CallEntry(HMODULE dialog, const char* name) {
    auto entry = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(dialog, name));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(), S_OK) << name;
}

}  // namespace

void RegisterDialog(const InfraEnvironment&, HMODULE dialog, const std::string&) {
    CallEntry(dialog, "DllRegisterServer");
}

void UnregisterDialog(const InfraEnvironment&, HMODULE dialog) {
    CallEntry(dialog, "DllUnregisterServer");
}

}  // namespace mltest
