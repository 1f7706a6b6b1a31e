// Test support for end-to-end tests: a sandbox installation made by
// scripts/sandbox in a temporary folder, and programs run in it.
#ifndef ML_FRAME_TESTS_SANDBOX_SUPPORT_H_
#define ML_FRAME_TESTS_SANDBOX_SUPPORT_H_

#include <map>
#include <string>
#include <vector>

namespace mltest {

struct RunResult {
    int status = -1;  // exit status, -1 when killed
    std::string out;  // standard output and error
};

class Sandbox {
  public:
    // Installs the build into a fresh temporary folder with scripts/sandbox.
    // Ok() is false (with the script's output in Log()) when that failed.
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Log() const { return log_; }
    const std::string& Dir() const { return dir_; }
    std::string SettingsDir() const;
    std::string DiagnosticsDir() const;

    // Rewrites "mlsettings.ini" to name `reader` ("" = the terminal), and
    // the debug switch.
    void UseReader(const std::string& reader) const;
    void SetDebug(bool on) const;

    // Runs a shell command line with the sandbox's environment, in a
    // session of its own (no controlling terminal), with `input` on its
    // standard input. Waits for it.
    RunResult Run(const std::string& command, const std::string& input = "") const;
    // The export lines of the sandbox as "NAME=value ..." for a shell.
    std::string EnvPrefix() const;

  private:
    std::string dir_;
    std::string log_;
    std::map<std::string, std::string> env_;
    bool ok_ = false;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);
// Single-quoted for the shell.
std::string Quote(const std::string& text);

}  // namespace mltest

#endif  // ML_FRAME_TESTS_SANDBOX_SUPPORT_H_
