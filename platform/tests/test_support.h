// Test helpers: temporary folders, files, processes and machine-wide names.
#ifndef ML_PLATFORM_TESTS_TEST_SUPPORT_H_
#define ML_PLATFORM_TESTS_TEST_SUPPORT_H_

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/tests/scoped_env.h"

namespace ml::test {

// A fresh folder under TMPDIR, removed with everything in it.
class TempDir {
  public:
    TempDir() : path_((std::filesystem::temp_directory_path() / "mlplatform.XXXXXX").string()) {
        if (::mkdtemp(path_.data()) == nullptr)
            std::abort();
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

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `child` in a forked process; Join gives its exit status (-1: killed).
template <typename F>
pid_t Fork(F child) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(child());
    return pid;
}

inline int Join(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pipe by which one process tells another that it got somewhere.
class Signal {
  public:
    Signal() {
        if (::pipe(fds_) != 0)
            std::abort();
    }
    ~Signal() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    bool Raise() { return ::write(fds_[1], "x", 1) == 1; }
    bool Await() {
        char c;
        return ::read(fds_[0], &c, 1) == 1;
    }

  private:
    int fds_[2];
};

// The name prefix of the run's machine-wide objects (one per test run).
inline std::string RunNamespace() {
    const char* run = std::getenv("ML_OBJECT_NAMESPACE");
    return run != nullptr && *run != '\0' ? run : "mltest";
}

// A name prefix for machine-wide objects that no other test shares.
inline std::string UniqueNamespace(const char* test) {
    return RunNamespace() + test + "." + std::to_string(::getpid()) + ".";
}

// Removes what `prefix` left anywhere below /dev/shm; links are not followed.
inline void RemoveShmObjects(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> found;
    fs::recursive_directory_iterator it("/dev/shm", fs::directory_options::skip_permission_denied,
                                        ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0) {
            found.push_back(it->path());
            it.disable_recursion_pending();
        }
    }
    for (const fs::path& path : found)
        fs::remove_all(path, ec);
}

}  // namespace ml::test

#endif  // ML_PLATFORM_TESTS_TEST_SUPPORT_H_
