// A stand-in module for mlhost's tests: a 20 ms thread timer posts one notice
// of ML_FAKE_SCRIPT per tick ("insert,USER,DOMAIN,PASSWORD", "remove",
// "error", "unknown", "code,HEX"; insert and remove wait while an event is
// set, then set theirs). GetLoginData answers ML_FAKE_GET ("USER,DOMAIN,
// PASSWORD,ERROR", ERROR "LANGUAGE": "7 language <id>"); SetLoginData
// compares with ML_FAKE_EXPECT_SET and names the fields that differ. Fields
// may hold \uXXXX; before the first notice both answer "98 ...".
#include <stdlib.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "mlcardmanx.h"

namespace {

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

std::vector<std::u16string> SplitFields(const std::string& text, char separator) {
    std::vector<std::u16string> fields(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == separator) {
            fields.emplace_back();
        } else if (text.compare(i, 2, "\\u") == 0) {
            fields.back() += char16_t(strtoul(text.substr(i + 2, 4).c_str(), nullptr, 16));
            i += 5;
        } else {
            fields.back() += char16_t(static_cast<unsigned char>(text[i]));
        }
    }
    return fields;
}

// Copies `text` into a field of `capacity` characters, cut to fit.
void CopyOut(LPWSTR field, const std::u16string& text, size_t capacity = ML_LOGIN_BUFFER_CHARS) {
    field[text.copy(field, capacity - 1)] = 0;
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);

struct FakeModule {
    DWORD thread = 0;
    UINT_PTR timer = 0;
    HANDLE logon = nullptr;
    HANDLE logoff = nullptr;
    std::vector<std::string> steps;
    size_t next = 0;
    bool posted = false;
    DWORD language = 0;
    LoginDataBlock block{};

    FakeModule() {
        std::istringstream script(Env("ML_FAKE_SCRIPT"));
        for (std::string step; std::getline(script, step, ';');)
            steps.push_back(step);
        thread = GetCurrentThreadId();
        logon = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
        logoff = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGOFF_IN_PROCESS);
        timer = SetTimer(nullptr, 0, 20, Tick);
    }
    ~FakeModule() {
        KillTimer(nullptr, timer);
        CloseHandle(logon);
        CloseHandle(logoff);
    }

    bool EventSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

    void Step() {
        if (next >= steps.size())
            return;
        std::vector<std::u16string> f = SplitFields(steps[next], ',');
        f.resize(4);
        const bool insert = f[0] == u"insert", remove = f[0] == u"remove";
        if ((insert || remove) && (EventSet(logon) || EventSet(logoff)))
            return;  // wait for the host
        ++next;
        const WPARAM code =
            insert             ? CARD_INSERTED
            : remove           ? CARD_REMOVED
            : f[0] == u"error" ? CARD_ERROR
            : f[0] == u"unknown"
                ? CARD_UNKNOWN
                : strtoul(std::string(f[1].begin(), f[1].end()).c_str(), nullptr, 16);
        if (insert) {
            block = LoginDataBlock{};
            CopyOut(block.szUserName, f[1], std::size(block.szUserName));
            CopyOut(block.szDomain, f[2], std::size(block.szDomain));
            CopyOut(block.szPassword, f[3], std::size(block.szPassword));
        }
        if (insert || remove)
            SetEvent(insert ? logon : logoff);
        if (code != 0) {
            PostThreadMessageW(thread, WM_COMMAND, code,
                               insert ? reinterpret_cast<LPARAM>(&block) : 0);
            posted = true;
        }
    }
};

FakeModule g_fake;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    g_fake.Step();
}

const std::u16string kTooEarly = u"98 called before the first notice";

}  // namespace

extern "C" {

MLCARDMANX_API void WINAPI GetLoginData(LPWSTR userName, LPWSTR domain, LPWSTR password,
                                        LPWSTR errorText) {
    std::vector<std::u16string> f = SplitFields(Env("ML_FAKE_GET"), ',');
    f.resize(4);
    if (!g_fake.posted) {
        f = {u"", u"", u"", kTooEarly};
    } else if (f[3] == u"LANGUAGE") {
        std::string text = "7 language " + std::to_string(g_fake.language);
        f[3] = std::u16string(text.begin(), text.end());
    }
    CopyOut(userName, f[0]);
    CopyOut(domain, f[1]);
    CopyOut(password, f[2]);
    CopyOut(errorText, f[3]);
}

MLCARDMANX_API void WINAPI SetLoginData(LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                                        LPWSTR errorText) {
    if (!g_fake.posted) {
        CopyOut(errorText, kTooEarly);
        return;
    }
    std::vector<std::u16string> f = SplitFields(Env("ML_FAKE_EXPECT_SET"), ',');
    f.resize(3);
    std::u16string mismatch;
    if (f[0] != userName)
        mismatch += u" user";
    if (f[1] != domain)
        mismatch += u" domain";
    if (f[2] != password)
        mismatch += u" password";
    CopyOut(errorText, mismatch.empty() ? u"" : u"96 mismatch:" + mismatch);
}

MLCARDMANX_API void WINAPI SetLanguage(DWORD languageId) {
    g_fake.language = languageId;
}

}  // extern "C"
