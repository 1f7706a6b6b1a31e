#include "frame/tests/sandbox_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/tests/test_support.h"

namespace mltest {

namespace fs = std::filesystem;

namespace {

RunResult Shell(const std::string& command) {
    RunResult result;
    FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

Sandbox::Sandbox() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mlframe-sandbox-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        return;
    dir_ = pattern;
    RunResult made = Shell("ML_BUILD_DIR=" + Quote(ML_BUILD_DIR) + " " + Quote(ML_SANDBOX_SCRIPT) +
                           " " + Quote(dir_) + " 2>" + Quote(dir_ + "/sandbox.log"));
    log_ = ReadWholeFile(dir_ + "/sandbox.log");
    if (made.status != 0)
        return;
    std::istringstream lines(made.out);
    std::string line;
    while (std::getline(lines, line)) {
        // export NAME=value (value quoted by printf %q; ours need none)
        if (line.rfind("export ", 0) != 0)
            continue;
        size_t eq = line.find('=');
        env_[line.substr(7, eq - 7)] = line.substr(eq + 1);
    }
    ok_ = env_.count("ML_REGISTRY_ROOT") && env_.count("ML_COMMON_DOCUMENTS") &&
          env_.count("ML_OBJECT_NAMESPACE") && env_.count("PATH");
    // Named objects go under the test run's namespace, and go with the sandbox.
    env_["ML_OBJECT_NAMESPACE"] =
        ml::test::UniqueNamespace("sandbox") + fs::path(dir_).filename().string() + ".";
}

Sandbox::~Sandbox() {
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    if (auto ns = env_.find("ML_OBJECT_NAMESPACE"); ns != env_.end())
        ml::test::RemoveShmObjects(ns->second);
}

std::string Sandbox::SettingsDir() const {
    return dir_ + "/documents/Kestrel/MorlindLogon/Settings/";
}

std::string Sandbox::DiagnosticsDir() const {
    return dir_ + "/documents/Kestrel/MorlindLogon/Diagnostics/";
}

void Sandbox::UseReader(const std::string& reader) const {
    WriteWholeFile(SettingsDir() + "mlsettings.ini",
                   "[LogonDevice]\nCardreaderName=" + reader +
                       "\nCurrentPort=1\n\n[Config]\nCurrentLanguage=1033\n");
}

void Sandbox::SetDebug(bool on) const {
    WriteWholeFile(SettingsDir() + "mldebug.ini",
                   std::string("[LogonDevice]\nDebug=") + (on ? "1" : "0") + "\n");
}

std::string Sandbox::EnvPrefix() const {
    std::string prefix;
    for (const auto& [name, value] : env_)
        prefix += name + "=" + value + " ";
    return prefix;
}

RunResult Sandbox::Run(const std::string& command, const std::string& input) const {
    std::string inputFile = dir_ + "/input";
    WriteWholeFile(inputFile, input);
    RunResult result = Shell("cd " + Quote(dir_) + " && " + EnvPrefix() + "setsid -w sh -c " +
                             Quote(command) + " < " + Quote(inputFile));
    fs::remove(inputFile);
    return result;
}

}  // namespace mltest
