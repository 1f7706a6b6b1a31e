#include "components/dialog/terminal_box.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <string>

#include "components/dialog/logondm.h"
#include "platform/codepage.h"

namespace logondm {
namespace {

struct Button {
    LONG id;
    const char* label;  // with the key letter marked
    char key;           // lower case
};

constexpr Button kOk{IDOK, "[O]K", 'o'};
constexpr Button kCancel{IDCANCEL, "[C]ancel", 'c'};
constexpr Button kAbort{IDABORT, "[A]bort", 'a'};
constexpr Button kRetry{IDRETRY, "[R]etry", 'r'};
constexpr Button kIgnore{IDIGNORE, "[I]gnore", 'i'};
constexpr Button kYes{IDYES, "[Y]es", 'y'};
constexpr Button kNo{IDNO, "[N]o", 'n'};
constexpr Button kTryAgain{IDTRYAGAIN, "[T]ry Again", 't'};
constexpr Button kContinue{IDCONTINUE, "Co[n]tinue", 'n'};

struct ButtonSet {
    Button buttons[3];
    int count;
    int escape;    // index answered by Escape, -1 for none
    int noAnswer;  // index when the box gets no answer
};

// Indexed by the low four bits of the type value (MB_OK .. MB_CANCELTRYCONTINUE).
constexpr ButtonSet kButtonSets[] = {
    {{kOk}, 1, 0, 0},
    {{kOk, kCancel}, 2, 1, 1},
    {{kAbort, kRetry, kIgnore}, 3, -1, 0},
    {{kYes, kNo, kCancel}, 3, 2, 2},
    {{kYes, kNo}, 2, -1, 1},
    {{kRetry, kCancel}, 2, 1, 1},
    {{kCancel, kTryAgain, kContinue}, 3, 0, 0},
};

const char* IconTag(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONHAND:
            return " [Error]";
        case MB_ICONQUESTION:
            return " [Question]";
        case MB_ICONEXCLAMATION:
            return " [Warning]";
        case MB_ICONASTERISK:
            return " [Information]";
        default:
            return "";
    }
}

// The label without its key marks: "[T]ry Again" -> "Try Again".
std::string PlainLabel(const char* label) {
    std::string plain;
    for (const char* p = label; *p; ++p) {
        if (*p != '[' && *p != ']')
            plain += *p;
    }
    return plain;
}

bool IsDirectionControl(char16_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The terminal of the box that is up, for the signal handlers: a signal
// that ends the process restores the terminal first, and a stop (SIGTSTP)
// leaves the terminal as it was until the process continues.
int g_boxFd = -1;
termios g_boxSaved;
termios g_boxRaw;
volatile sig_atomic_t g_boxUp = 0;
struct sigaction g_previous[NSIG];

void RestoreAndRaise(int sig) {
    const int savedErrno = errno;
    if (g_boxUp)
        tcsetattr(g_boxFd, TCSANOW, &g_boxSaved);
    g_boxUp = 0;
    // The process's own handling takes over; the signal, blocked while this
    // handler runs, reaches it on return.
    sigaction(sig, &g_previous[sig], nullptr);
    raise(sig);
    errno = savedErrno;
}

void StopWithTerminalRestored(int) {
    const int savedErrno = errno;
    if (g_boxUp)
        tcsetattr(g_boxFd, TCSANOW, &g_boxSaved);
    struct sigaction self;
    sigaction(SIGTSTP, &g_previous[SIGTSTP], &self);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    raise(SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // the stop happens here
    sigaction(SIGTSTP, &self, nullptr);
    if (g_boxUp)
        tcsetattr(g_boxFd, TCSANOW, &g_boxRaw);
    errno = savedErrno;
}

// Closes the terminal and restores its mode on every path out, also when
// a signal ends or stops the process while the box is up.
class TerminalSession {
  public:
    ~TerminalSession() {
        if (raw_) {
            g_boxUp = 0;
            for (int sig : kHandled) {
                if (handled_[sig])
                    sigaction(sig, &g_previous[sig], nullptr);
            }
            while (tcsetattr(fd_, TCSANOW, &saved_) != 0 && errno == EINTR) {
            }
        }
        if (fd_ >= 0)
            close(fd_);
    }

    // Opens /dev/tty; false when there is no terminal to ask on.
    bool Open() {
        fd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        if (tcgetattr(fd_, &saved_) != 0)
            return false;
        // A background process would be stopped by its first read; only the
        // foreground may ask.
        return tcgetpgrp(fd_) == getpgrp();
    }

    bool EnterRawMode() {
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
        raw.c_oflag |= OPOST | ONLCR;
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        g_boxFd = fd_;
        g_boxSaved = saved_;
        g_boxRaw = raw;
        for (int sig : kHandled) {
            // A signal the process ignores stays ignored.
            if (sigaction(sig, nullptr, &g_previous[sig]) != 0 ||
                g_previous[sig].sa_handler == SIG_IGN)
                continue;
            struct sigaction action = {};
            action.sa_handler = sig == SIGTSTP ? StopWithTerminalRestored : RestoreAndRaise;
            sigemptyset(&action.sa_mask);
            for (int other : kHandled)
                sigaddset(&action.sa_mask, other);
            handled_[sig] = sigaction(sig, &action, nullptr) == 0;
        }
        raw_ = true;
        g_boxUp = 1;
        if (tcsetattr(fd_, TCSANOW, &raw) != 0)
            return false;
        return true;
    }

    int fd() const { return fd_; }

  private:
    static constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
    int fd_ = -1;
    termios saved_{};
    bool raw_ = false;
    bool handled_[NSIG] = {};
};

// One key press as the box sees it.
struct Key {
    enum Kind { kChar, kEscape, kIgnored, kNoAnswer } kind;
    char c = 0;
};

// Decodes the terminal's input into keys. Escape sequences (arrow and
// function keys, Alt+key) are recognised and ignored; an Escape byte that
// nothing follows at once is the Escape key.
class KeyReader {
  public:
    KeyReader(int fd, bool limited, std::chrono::steady_clock::time_point deadline)
        : fd_(fd), limited_(limited), deadline_(deadline) {}

    Key Next() {
        if (pending_.empty()) {
            Fill r = Read(-1);
            if (r != Fill::kGot)
                return {Key::kNoAnswer};
        }
        if (pending_[0] != kEsc) {
            char c = pending_[0];
            pending_.erase(0, 1);
            return {Key::kChar, c};
        }
        for (;;) {
            size_t length = SequenceLength();
            if (length > 0) {
                pending_.erase(0, length);
                return {Key::kIgnored};
            }
            // Incomplete: the rest of a sequence arrives right behind its start.
            if (Read(kSequenceGapMs) != Fill::kGot) {
                bool lone = pending_.size() == 1;
                pending_.clear();
                return lone ? Key{Key::kEscape} : Key{Key::kIgnored};
            }
        }
    }

  private:
    static constexpr char kEsc = 0x1B;
    static constexpr int kSequenceGapMs = 30;
    enum class Fill { kGot, kQuiet, kEnd };

    // The length of the escape sequence at the front of pending_, 0 while
    // it is incomplete.
    size_t SequenceLength() const {
        if (pending_.size() < 2)
            return 0;
        if (pending_[1] == '[') {  // CSI: parameters, intermediates, final byte
            for (size_t i = 2; i < pending_.size(); ++i) {
                unsigned char b = static_cast<unsigned char>(pending_[i]);
                if (b >= 0x40 && b <= 0x7E)
                    return i + 1;
                if (b < 0x20 || b > 0x3F)
                    return i;  // malformed: drop what came
            }
            return pending_.size() > 32 ? pending_.size() : 0;
        }
        if (pending_[1] == 'O')
            return pending_.size() >= 3 ? 3 : 0;  // SS3 keys
        return 2;                                 // Alt+key
    }

    // Reads what is there, waiting at most `waitMs` (-1: until the deadline).
    Fill Read(int waitMs) {
        for (;;) {
            int wait = waitMs;
            if (limited_) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline_ - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return Fill::kEnd;
                int capped = static_cast<int>(std::min<long long>(left.count(), 60'000));
                wait = wait < 0 ? capped : std::min(wait, capped);
            }
            pollfd p{fd_, POLLIN, 0};
            int ready = poll(&p, 1, wait);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return Fill::kEnd;
            }
            if (ready == 0) {
                if (waitMs >= 0)
                    return Fill::kQuiet;
                continue;  // the deadline is checked above
            }
            if ((p.revents & POLLIN) == 0)
                return Fill::kEnd;  // hang-up or error
            char buf[64];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return Fill::kEnd;
            pending_.append(buf, static_cast<size_t>(n));
            return Fill::kGot;
        }
    }

    int fd_;
    bool limited_;
    std::chrono::steady_clock::time_point deadline_;
    std::string pending_;
};

std::string RenderBox(const BoxRequest& request, const ButtonSet& set, int defaultIndex) {
    std::string out = "\n== ";
    out += ml::ToAnsi(SanitizeForTerminal(request.caption, false));
    out += IconTag(request.type);
    out += " ==\n";
    std::string text = ml::ToAnsi(SanitizeForTerminal(request.text, true));
    out += text;
    if (text.empty() || text.back() != '\n')
        out += '\n';
    out += '\n';
    for (int i = 0; i < set.count; ++i) {
        if (i > 0)
            out += "  ";
        out += set.buttons[i].label;
    }
    out += "   (Enter: " + PlainLabel(set.buttons[defaultIndex].label);
    if (set.escape >= 0)
        out += ", Esc: " + PlainLabel(set.buttons[set.escape].label);
    out += ") ";
    return out;
}

std::mutex& BoxMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::u16string SanitizeForTerminal(std::u16string_view text, bool multiline) {
    std::u16string out;
    out.reserve(text.size());
    const char16_t lineBreak = multiline ? u'\n' : u' ';
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c == u'\r') {
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            out += lineBreak;
        } else if (c == u'\n' || c == 0x2028 || c == 0x2029) {
            out += lineBreak;
        } else if (c == u'\t') {
            out += multiline ? u'\t' : u' ';
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || IsDirectionControl(c)) {
            // dropped: it would act on the terminal instead of being shown
        } else if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                out += c;
                out += text[++i];
            } else {
                out += u'\uFFFD';
            }
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            out += u'\uFFFD';
        } else {
            out += c;
        }
    }
    return out;
}

HRESULT ShowTerminalBox(const BoxRequest& request, LONG* result) {
    if (result == nullptr)
        return E_POINTER;
    const UINT setIndex = request.type & MB_TYPEMASK;
    if (setIndex >= std::size(kButtonSets))
        return E_INVALIDARG;
    const ButtonSet& set = kButtonSets[setIndex];
    int defaultIndex = static_cast<int>((request.type & MB_DEFMASK) >> 8);
    if (defaultIndex >= set.count)
        defaultIndex = 0;

    std::string box;
    try {
        box = RenderBox(request, set, defaultIndex);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    std::lock_guard<std::mutex> lock(BoxMutex());
    TerminalSession terminal;
    if (!terminal.Open())
        return LOGONDM_E_NOTERMINAL;
    if (!terminal.EnterRawMode())
        return LOGONDM_E_NOTERMINAL;
    if (!WriteAll(terminal.fd(), box))
        return LOGONDM_E_TERMINAL;

    const bool limited = request.timeoutSeconds > 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(limited ? request.timeoutSeconds : 0);
    KeyReader keys(terminal.fd(), limited, deadline);
    int answer = -1;
    while (answer < 0) {
        Key key = keys.Next();
        switch (key.kind) {
            case Key::kNoAnswer:
                answer = set.noAnswer;
                break;
            case Key::kEscape:
                answer = set.escape;  // stays -1 where Escape does nothing
                break;
            case Key::kIgnored:
                break;
            case Key::kChar: {
                char c = key.c;
                if (c == '\r' || c == '\n') {
                    answer = defaultIndex;
                } else if (c == 0x03 || c == 0x04) {  // Ctrl-C, Ctrl-D
                    answer = set.noAnswer;
                } else {
                    if (c >= 'A' && c <= 'Z')
                        c = static_cast<char>(c - 'A' + 'a');
                    for (int i = 0; i < set.count; ++i) {
                        if (set.buttons[i].key == c)
                            answer = i;
                    }
                }
                break;
            }
        }
        // A key that answers nothing rings the bell.
        if (answer < 0 && !WriteAll(terminal.fd(), "\a"))
            answer = set.noAnswer;
    }
    // The echo of the answer is a courtesy; a terminal gone by now changes
    // nothing about the answer.
    WriteAll(terminal.fd(), "-> " + PlainLabel(set.buttons[answer].label) + "\n");
    *result = set.buttons[answer].id;
    return S_OK;
}

}  // namespace logondm
