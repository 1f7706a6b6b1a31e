// Helpers of the platform tests: temporary folders and environment values
// that are put back afterwards.
#ifndef ML_PLATFORM_TESTS_TEST_SUPPORT_H_
#define ML_PLATFORM_TESTS_TEST_SUPPORT_H_

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace ml::test {

// A fresh folder under TMPDIR, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mlplatform.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value)
        : ScopedEnv(name, value ? std::optional<std::string>(value) : std::nullopt) {}
    ScopedEnv(const char* name, const std::string& value)
        : ScopedEnv(name, std::optional<std::string>(value)) {}
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A name prefix for machine-wide objects that no other test run shares.
inline std::string UniqueNamespace(const char* test) {
    return std::string("mltest.") + test + "." + std::to_string(::getpid()) + ".";
}

// Removes the objects a test left in /dev/shm under its namespace.
inline void RemoveShmObjects(const std::string& prefix) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            std::filesystem::remove(entry.path(), ignored);
    }
}

}  // namespace ml::test

#endif  // ML_PLATFORM_TESTS_TEST_SUPPORT_H_
