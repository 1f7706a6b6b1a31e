// The dialog-manager component as built: loaded from its library, called
// through its method table, its boxes shown on pseudo-terminals.
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "components/dialog/logondm.h"
#include "platform/com.h"

namespace {

// The boxes are drawn on pseudo-terminals, not on a desktop of the developer's session.
const bool kNoDesktop = (unsetenv("DISPLAY"), unsetenv("WAYLAND_DISPLAY"), true);

// Generous guard against a hanging box; never reached when things work.
constexpr int kGuardMs = 20'000;

using ShowMessageBoxFn = HRESULT (*)(ILogonDM*, DWORD, DWORD, LONG, HWND, BSTR, BSTR, UINT, LONG*);

// Calls the fifteenth entry of the method table (IUnknown's included), as a compiled caller does.
HRESULT CallFifteenthMethod(ILogonDM* dm, DWORD challenge, DWORD ident, LONG timeout, BSTR text,
                            BSTR caption, UINT type, LONG* result) {
    void** vtable = *reinterpret_cast<void***>(dm);
    ShowMessageBoxFn fn;
    std::memcpy(&fn, &vtable[14], sizeof fn);
    return fn(dm, challenge, ident, timeout, nullptr, text, caption, type, result);
}

class DialogComponent : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        library_ = dlopen(MLDIALOG_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        factory_ = reinterpret_cast<MlCreateInstanceFn>(dlsym(library_, ML_COM_FACTORY_SYMBOL));
        ASSERT_NE(factory_, nullptr) << dlerror();
    }

    void SetUp() override {
        ASSERT_NE(factory_, nullptr);
        void* object = nullptr;
        ASSERT_EQ(factory_(CLSID_LogonDM, IID_ILogonDM, &object), S_OK);
        dm_ = static_cast<ILogonDM*>(object);
    }
    void TearDown() override {
        if (dm_) {
            EXPECT_EQ(dm_->Release(), 0u);
        }
    }

    struct Box {
        UINT type = MB_OKCANCEL;
        std::u16string text = u"Insert the card";
        std::u16string caption = u"Logon";
        LONG timeout = -1;
        bool wrongIdentification = false;
        bool noTerminal = false;  // shown from a session without a terminal
    };
    struct Report {  // from the child
        HRESULT hr = E_FAIL;
        LONG result = 12345;
        bool modeRestored = false;
    };
    struct Outcome : Report {
        std::string screen;  // everything the box wrote to the terminal
    };

    // Shows the box in a child on a new pseudo-terminal; `drive` plays the user on its master side
    // (closing it to hang up, and setting it to -1).
    Outcome RunOnTerminal(const Box& box, const std::function<void(int&, std::string&)>& drive) {
        Outcome out;
        int pipeFds[2];
        EXPECT_EQ(pipe(pipeFds), 0);
        int master = -1;
        pid_t pid = box.noTerminal ? fork() : forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            close(pipeFds[0]);
            if (box.noTerminal)
                setsid();             // a new session has no controlling terminal
            signal(SIGHUP, SIG_IGN);  // the test hangs up on purpose
            termios before{}, after{};
            tcgetattr(STDIN_FILENO, &before);
            Report report;
            BSTR text = SysAllocStringLen(box.text.data(), UINT(box.text.size()));
            BSTR caption = SysAllocStringLen(box.caption.data(), UINT(box.caption.size()));
            const DWORD challenge = 0x12345678u;
            DWORD ident = LogonDMIdentification(challenge) ^ (box.wrongIdentification ? 1u : 0u);
            report.hr = CallFifteenthMethod(dm_, challenge, ident, box.timeout, text, caption,
                                            box.type, &report.result);
            report.modeRestored = tcgetattr(STDIN_FILENO, &after) == 0 &&
                                  std::memcmp(&before, &after, sizeof before) == 0;
            (void)!write(pipeFds[1], &report, sizeof report);
            _exit(0);
        }
        close(pipeFds[1]);
        EXPECT_GT(pid, 0);
        if (pid <= 0)
            return out;
        drive(master, out.screen);
        if (master >= 0) {
            ReadUntil(master, out.screen, nullptr);  // to the child's end
            close(master);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        Report report;
        EXPECT_EQ(read(pipeFds[0], &report, sizeof report), ssize_t(sizeof report));
        static_cast<Report&>(out) = report;
        close(pipeFds[0]);
        return out;
    }

    // Reads the master side into `screen` until it holds `until` (nullptr: to the child's end).
    static bool ReadUntil(int master, std::string& screen, const char* until) {
        for (;;) {
            if (until && screen.find(until) != std::string::npos)
                return true;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, kGuardMs) <= 0) {
                ADD_FAILURE() << "terminal stayed silent; screen so far: " << screen;
                return false;
            }
            char buf[512];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                return until == nullptr;  // EIO: the child closed its side
            screen.append(buf, size_t(n));
        }
    }

    static inline void* library_ = nullptr;
    static inline MlCreateInstanceFn factory_ = nullptr;
    ILogonDM* dm_ = nullptr;
};

TEST_F(DialogComponent, SignalThatEndsTheProcessRestoresTheTerminalFirst) {
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(sig);
        int master = -1;
        pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            LONG result = -1;
            CallFifteenthMethod(dm_, 1u, LogonDMIdentification(1u), -1, nullptr, nullptr,
                                MB_RETRYCANCEL, &result);
            _exit(0);  // not reached: the signal ends the process
        }
        std::string screen;
        termios raw{}, after{};
        ASSERT_TRUE(ReadUntil(master, screen, "(Enter:"));
        ASSERT_EQ(tcgetattr(master, &raw), 0);
        EXPECT_EQ(raw.c_lflag & ICANON, 0u);
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        ASSERT_EQ(tcgetattr(master, &after), 0);
        // A new pseudo-terminal's line mode, which the box had taken away.
        const tcflag_t cooked = ICANON | ECHO | ISIG | IEXTEN;
        EXPECT_EQ(after.c_lflag & cooked, cooked);
        EXPECT_NE(after.c_iflag & ICRNL, 0u);
        close(master);
    }
}

// Requests that are refused before anything is drawn, and a box without a terminal.
TEST_F(DialogComponent, RefusedRequestsShowNothing) {
    for (const auto& [box, hr] :
         {std::pair{Box{.wrongIdentification = true}, LOGONDM_E_IDENTIFICATION},
          std::pair{Box{.type = 7}, E_INVALIDARG},  // no such button set
          std::pair{Box{.noTerminal = true}, LOGONDM_E_NOTERMINAL}}) {
        SCOPED_TRACE(hr);
        Outcome out = RunOnTerminal(box, [](int&, std::string&) {});
        EXPECT_EQ(out.hr, hr);
        EXPECT_EQ(out.result, -1);
        EXPECT_EQ(out.screen, "");
        EXPECT_TRUE(out.modeRestored || box.noTerminal);
    }
    EXPECT_EQ(
        CallFifteenthMethod(dm_, 7, LogonDMIdentification(7), -1, nullptr, nullptr, MB_OK, nullptr),
        E_POINTER);
    // The factory makes only its class and interface; the other dialogs are not provided.
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory_(IID_ILogonDM, IID_ILogonDM, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory_(CLSID_LogonDM, CLSID_LogonDM, &object), E_NOINTERFACE);
    EXPECT_EQ(dm_->ShowStatusText(7, LogonDMIdentification(7), nullptr), E_NOTIMPL);
    EXPECT_EQ(dm_->ShowStatusText(7, LogonDMIdentification(7) + 1, nullptr),
              LOGONDM_E_IDENTIFICATION);
}

TEST_F(DialogComponent, ButtonsAnswerWithWindowsIdentifiers) {
    // Keys that answer nothing ring the bell; the box then takes `then`. Without keys the
    // user hangs up, or lets the time limit pass: the most cautious button answers.
    struct Case {
        UINT type;
        std::string keys;
        LONG expected;
        std::string then = "";
        LONG timeout = -1;
    } cases[] = {
        {MB_OK, "\x1b", IDOK},
        {MB_OKCANCEL, "\x1b", IDCANCEL},
        {0x1031, "c", IDCANCEL},  // system modal, warning icon, OK/Cancel
        {MB_OKCANCEL | MB_DEFBUTTON2, "\r", IDCANCEL},
        {MB_OKCANCEL | MB_DEFBUTTON3, "\r", IDOK},      // out of range: the first
        {MB_OKCANCEL, "xq7c", IDCANCEL},                // keys without a button are ignored
        {MB_OKCANCEL, "\x1b[A", IDOK, "o"},             // an arrow key answers nothing
        {MB_ABORTRETRYIGNORE, "\x1bOA", IDRETRY, "r"},  // nor one in SS3 form
        {MB_OKCANCEL, "\x03", IDCANCEL},                // Ctrl-C is no answer
        {MB_YESNO, "\x1b", IDYES, "y"},                 // no Escape without Cancel
        {MB_YESNOCANCEL, "n", IDNO},
        {MB_RETRYCANCEL, "\r", IDRETRY},
        {MB_CANCELTRYCONTINUE, "t", IDTRYAGAIN},
        {MB_CANCELTRYCONTINUE, "N", IDCONTINUE},
        {MB_OK, "", IDOK},
        {MB_YESNO, "", IDNO},
        {MB_OKCANCEL, "", IDCANCEL, "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type << " keys "
                                        << testing::PrintToString(c.keys));
        Outcome out = RunOnTerminal(
            {.type = c.type, .timeout = c.timeout}, [&](int& master, std::string& screen) {
                if (!ReadUntil(master, screen, "(Enter:") || c.timeout > 0)
                    return;  // and type nothing
                if (c.keys.empty()) {
                    close(std::exchange(master, -1));  // hang up
                    return;
                }
                ASSERT_EQ(write(master, c.keys.data(), c.keys.size()), ssize_t(c.keys.size()));
                if (!c.then.empty() && ReadUntil(master, screen, "\a")) {
                    EXPECT_EQ(write(master, c.then.data(), 1), 1);
                }
            });
        EXPECT_EQ(out.hr, S_OK);
        EXPECT_EQ(out.result, c.expected);
        EXPECT_TRUE(out.modeRestored || (c.keys.empty() && c.timeout < 0));
    }
}

// Caption, text and buttons on the screen, without controls that would act on the terminal.
TEST_F(DialogComponent, ScreenShowsCaptionTextAndButtonsWithoutControls) {
    Box box;
    box.type = 0x1031;
    box.caption = u"Card\r\nreader\x1b]0;title\x07\tz";
    // Escape sequences, C1 and DEL, direction overrides, the kinds of line breaks.
    box.text =
        u"No card.\r\nInsert one.\x1b[2J\x1b[31mred\x9b"
        u"0m\x7f\rexe\u202Etxt.\u2066x\u2069\u200F\u2028a\tb";
    Outcome out = RunOnTerminal(box, [](int& master, std::string& screen) {
        if (ReadUntil(master, screen, "(Enter:")) {
            EXPECT_EQ(write(master, "o", 1), 1);
        }
    });
    EXPECT_EQ(out.result, IDOK);
    // The terminal turns "\n" into "\r\n" on output.
    EXPECT_NE(out.screen.find(
                  "== Card reader]0;title z [Warning] ==\r\nNo card.\r\nInsert one.[2J[31mred0m\r\n"
                  "exetxt.x\r\na\tb\r\n"),
              std::string::npos)
        << out.screen;
    EXPECT_NE(out.screen.find("[O]K  [C]ancel   (Enter: OK, Esc: Cancel)"), std::string::npos)
        << out.screen;
    EXPECT_NE(out.screen.find("-> OK"), std::string::npos) << out.screen;
    for (const char* control : {"\x1b", "\x07", "\xc2\x9b"})
        EXPECT_EQ(out.screen.find(control), std::string::npos) << out.screen;
}

}  // namespace
