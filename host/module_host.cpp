#include "host/module_host.h"

#include <algorithm>
#include <cstdio>

#include "platform/codepage.h"
#include "platform/error_text.h"
#include "platform/lasterror.h"

namespace mlhost {

Module::~Module() {
    Unload();
}

void Module::Unload() {
    if (handle_ != nullptr)
        FreeLibrary(handle_);
    handle_ = nullptr;
    getLoginData = nullptr;
    setLoginData = nullptr;
    setLanguage = nullptr;
}

std::string ErrorText(DWORD code) {
    WCHAR buffer[1024];
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, code, 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
    std::u16string text(buffer, n);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\r' || text.back() == u'\n'))
        text.pop_back();
    if (text.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "error 0x%08X", static_cast<unsigned>(code));
        return number;
    }
    return ml::ToAnsi(text);
}

bool Module::Load(const std::string& path, std::string& error) {
    Unload();
    // The platform takes file names as UTF-16 of their UTF-8 bytes.
    std::u16string widePath = ml::FromUtf8(path);
    if (ml::ToUtf8(widePath) != path) {
        error = "cannot load module " + path + ": the path is not valid UTF-8";
        return false;
    }
    handle_ = LoadLibraryW(widePath.c_str());
    if (handle_ == nullptr) {
        error = "cannot load module " + path + ": " + ErrorText(GetLastError());
        return false;
    }
    struct Export {
        const char* name;
        FARPROC* slot;
    };
    FARPROC procs[3] = {};
    const Export exports[] = {
        {"GetLoginData", &procs[0]}, {"SetLoginData", &procs[1]}, {"SetLanguage", &procs[2]}};
    for (const Export& e : exports) {
        *e.slot = GetProcAddress(handle_, e.name);
        if (*e.slot == nullptr) {
            error =
                "module " + path + " lacks the export " + e.name + ": " + ErrorText(GetLastError());
            Unload();
            return false;
        }
    }
    getLoginData = reinterpret_cast<PFN_GetLoginData>(procs[0]);
    setLoginData = reinterpret_cast<PFN_SetLoginData>(procs[1]);
    setLanguage = reinterpret_cast<PFN_SetLanguage>(procs[2]);
    return true;
}

void ResetNamedEvent(LPCWSTR name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event == nullptr)
        return;  // nobody created it: nothing is in process
    ResetEvent(event);
    CloseHandle(event);
}

LoopEnd RunMessageLoop(const std::function<bool(const MSG&)>& onNotice,
                       std::optional<Clock::time_point> deadline, StopWait stop) {
    for (;;) {
        // Everything that waits is handled before the next wait.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return LoopEnd::kQuit;
            if (msg.message == WM_COMMAND) {
                if (onNotice(msg))
                    return LoopEnd::kDone;
                continue;
            }
            DispatchMessageW(&msg);
        }

        int waitMs = -1;
        if (deadline) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0)
                return LoopEnd::kDeadline;
            waitMs = static_cast<int>(std::min<long long>(left.count() + 1, 60'000));
        }
        switch (WaitForInputOrStop(stop, waitMs)) {
            case Woken::kStop:
                return LoopEnd::kSignal;
            case Woken::kFailed:
                return LoopEnd::kFailed;
            case Woken::kInput:
            case Woken::kTimeout:
                break;
        }
    }
}

}  // namespace mlhost
