// POSIX: the registry is a folder tree, the named objects are files in /dev/shm.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "infrastructure/testing/test_environment.h"
#include "platform/tests/test_support.h"

namespace mltest {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVariables[] = {"ML_REGISTRY_ROOT", "ML_COMMON_DOCUMENTS",
                                      "ML_OBJECT_NAMESPACE"};

std::string KeyDirectory(const std::string& root, std::string key) {
    std::replace(key.begin(), key.end(), '\\', '/');
    return root + "/registry/HKEY_LOCAL_MACHINE/" + key;
}

}  // namespace

std::string InfraEnvironment::Native(std::string path) {
    return path;
}

void InfraEnvironment::SetUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mltest-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a temporary directory from " << pattern;
        return;
    }
    root_ = pattern;
    static std::atomic<int> counter{0};
    namespace_ =
        ml::test::RunNamespace() + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
    const std::string values[] = {root_ + "/registry", DocumentsDir(), namespace_};
    for (size_t i = 0; i < std::size(kVariables); ++i) {
        const char* old = std::getenv(kVariables[i]);
        saved_.push_back({kVariables[i], {old != nullptr, old ? old : ""}});
        setenv(kVariables[i], values[i].c_str(), 1);
    }
}

void InfraEnvironment::TearDown() {
    for (const auto& [name, value] : saved_)
        value.first ? setenv(name.c_str(), value.second.c_str(), 1) : unsetenv(name.c_str());
    std::error_code ignored;
    if (!root_.empty())
        fs::remove_all(root_, ignored);
    if (!namespace_.empty())
        ml::test::RemoveShmObjects(namespace_);
}

void InfraEnvironment::SetRegistryValue(const std::string& key, const std::string& name,
                                        const std::string& value) {
    fs::create_directories(KeyDirectory(root_, key));
    WriteFile(KeyDirectory(root_, key) + "/" + name, value + "\n");
}

void InfraEnvironment::RemoveRegistryValue(const std::string& key, const std::string& name) {
    std::error_code ignored;
    fs::remove(KeyDirectory(root_, key) + "/" + name, ignored);
}

}  // namespace mltest
