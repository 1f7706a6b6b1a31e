// The commands mlhost runs for a notice, on Windows: "cmd.exe /d /c COMMAND"
// with mlhost's environment; its standard output and error both go to
// mlhost's standard error; standard input is a pipe carrying the input, or
// NUL without input. mlhost waits for the command to end, at most the
// time-out; then cmd.exe is ended with TerminateProcess (Windows has no
// polite request to pass first, and programs cmd.exe started keep
// running). The login data never goes into the command line or the
// environment.
#include <windows.h>

#include <string>
#include <vector>

#include "host/command.h"

namespace mlhost {
namespace {

class Handle {
  public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = nullptr;
    }
    HANDLE get() const { return h_; }
    HANDLE* put() { return &h_; }

  private:
    HANDLE h_;
};

std::string SystemError(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace

CommandResult RunCommand(const std::string& command, const std::string* input,
                         double timeoutSeconds) {
    CommandResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle readEnd, writeEnd;
    if (input != nullptr) {
        if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit,
                        static_cast<DWORD>(input->size() + 1))) {
            result.error = SystemError("CreatePipe");
            return result;
        }
        // Only the command's end is inherited.
        SetHandleInformation(writeEnd.get(), HANDLE_FLAG_INHERIT, 0);
    } else {
        *readEnd.put() = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
        if (readEnd.get() == INVALID_HANDLE_VALUE) {
            result.error = SystemError("CreateFileW(NUL)");
            return result;
        }
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd.get();
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = L"cmd.exe /d /c " + Widen(command);
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        result.error = SystemError("CreateProcessW");
        return result;
    }
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    readEnd.Close();
    result.started = true;

    if (input != nullptr) {
        // The whole input fits the pipe; a command that does not read it
        // simply ends and the write fails.
        DWORD written = 0;
        WriteFile(writeEnd.get(), input->data(), static_cast<DWORD>(input->size()), &written,
                  nullptr);
        writeEnd.Close();
    }

    // Up to 1000000 seconds (the largest --command-timeout): below INFINITE.
    const DWORD waitMs = static_cast<DWORD>(timeoutSeconds * 1000);
    DWORD waited = WaitForSingleObject(processHandle.get(), waitMs);
    if (waited == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(processHandle.get(), 1);
        waited = WaitForSingleObject(processHandle.get(), INFINITE);
    }
    DWORD status = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(processHandle.get(), &status)) {
        result.exitStatus = -1;
        return result;
    }
    result.exitStatus = static_cast<int>(status);
    return result;
}

}  // namespace mlhost
