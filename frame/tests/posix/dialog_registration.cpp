// The dialog component's registration: a key's default value in the test's registry folder.
#include <filesystem>

#include "frame/tests/frame_fixture.h"

namespace mltest {

namespace {

constexpr char kDialogKey[] =
    "/registry/HKEY_CLASSES_ROOT/CLSID/{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}/InprocServer32";

}  // namespace

void RegisterDialog(const InfraEnvironment& env, HMODULE, const std::string& path) {
    std::filesystem::create_directories(env.Root() + kDialogKey);
    InfraEnvironment::WriteFile(env.Root() + kDialogKey + "/@", path + "\n");
}

void UnregisterDialog(const InfraEnvironment& env, HMODULE) {
    std::filesystem::remove(env.Root() + kDialogKey + "/@");
}

}  // namespace mltest
