// mlhost's console on Windows: stop requests from the console control
// handler through an event, the password prompts with the console's echo
// off.
#include "host/console.h"

#include <windows.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace mlhost {

namespace {

HANDLE g_stopEvent = nullptr;

// Runs on a thread of its own. Returning TRUE for Ctrl-C and Ctrl-Break
// keeps the process alive until the loop has unloaded the module; for the
// console closing the system ends the process when the handler returns, so
// the handler waits a little for the loop.
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (g_stopEvent == nullptr)
        return FALSE;
    SetEvent(g_stopEvent);
    if (type == CTRL_CLOSE_EVENT)
        Sleep(2000);
    return TRUE;
}

}  // namespace

StopRequests::~StopRequests() {
    if (wait_ == kNoStop)
        return;
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_stopEvent = nullptr;
    CloseHandle(reinterpret_cast<HANDLE>(wait_));
}

bool StopRequests::Open(std::string& error) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        error = "CreateEventW failed with " + std::to_string(GetLastError());
        return false;
    }
    g_stopEvent = event;
    if (!SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        error = "SetConsoleCtrlHandler failed with " + std::to_string(GetLastError());
        g_stopEvent = nullptr;
        CloseHandle(event);
        return false;
    }
    wait_ = reinterpret_cast<StopWait>(event);
    return true;
}

namespace {

// Reads one line of standard input into `line`; false when there is none.
bool ReadLine(std::string& line) {
    bool got = false;
    for (;;) {
        int c = fgetc(stdin);
        if (c == EOF)
            break;
        got = true;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return got;
}

void WipeLine(std::string& text) {
    SecureZeroMemory(text.data(), text.size());
    text.clear();
}

// The console's input mode from before the password prompts, set back by
// the control handler when Ctrl-C, Ctrl-Break or the console closing ends
// mlhost during them.
HANDLE g_promptInput = nullptr;
DWORD g_promptMode = 0;

BOOL WINAPI RestoreEchoOnControl(DWORD) {
    SetConsoleMode(g_promptInput, g_promptMode);
    return FALSE;  // the next handler, in the end the system's, ends mlhost
}

}  // namespace

PasswordRead ReadPassword(std::string& line) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode))
        return ReadLine(line) ? PasswordRead::kGot : PasswordRead::kNone;

    g_promptInput = input;
    g_promptMode = mode;
    const bool restoring = SetConsoleCtrlHandler(RestoreEchoOnControl, TRUE) != 0;
    const bool echoOff = SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
    // Each prompt only once the echo is off, so nothing typed after it shows.
    PasswordRead outcome = PasswordRead::kNone;
    fputs("Password: ", stderr);
    fflush(stderr);
    if (ReadLine(line)) {
        std::string again;
        fputs("\nAgain: ", stderr);
        fflush(stderr);
        if (ReadLine(again))
            outcome = again == line ? PasswordRead::kGot : PasswordRead::kMismatch;
        WipeLine(again);
    }
    if (echoOff)
        SetConsoleMode(input, mode);
    if (restoring)
        SetConsoleCtrlHandler(RestoreEchoOnControl, FALSE);
    fputc('\n', stderr);
    return outcome;
}

long UtcOffsetSeconds(std::time_t time) {
    tm local{};
    if (localtime_s(&local, &time) != 0)
        return 0;
    // The local clock read as if it were UTC, less the moment itself.
    const std::time_t asUtc = _mkgmtime(&local);
    return asUtc == static_cast<std::time_t>(-1) ? 0 : static_cast<long>(asUtc - time);
}

std::string ProgramPath() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::string();
        if (n < path.size()) {
            int bytes = WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(n), nullptr, 0,
                                            nullptr, nullptr);
            std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
            if (bytes > 0)
                WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(n), out.data(), bytes,
                                    nullptr, nullptr);
            return out;
        }
        if (path.size() >= 32768)
            return std::string();
        path.resize(path.size() * 2);
    }
}

char PathSeparatorChar() {
    return '\\';
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void PrepareOutput() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

Woken WaitForInputOrStop(StopWait stop, int waitMs) {
    HANDLE handles[1] = {reinterpret_cast<HANDLE>(stop)};
    const DWORD count = stop != kNoStop ? 1 : 0;
    DWORD rc = MsgWaitForMultipleObjectsEx(count, handles,
                                           waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs),
                                           QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (count == 1 && rc == WAIT_OBJECT_0)
        return Woken::kStop;
    if (rc == WAIT_OBJECT_0 + count)
        return Woken::kInput;
    if (rc == WAIT_TIMEOUT)
        return Woken::kTimeout;
    return Woken::kFailed;
}

}  // namespace mlhost
