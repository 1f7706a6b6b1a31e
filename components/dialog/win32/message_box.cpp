// The message box of the dialog manager on Windows: the system's own box,
// with the caller's buttons, icon and default button, on the interactive
// desktop. A box with a time limit closes itself when nobody answers and is
// then answered like a box that gets no answer on a terminal: with the most
// cautious button of its set (OK for OK, Cancel where the set has Cancel,
// Abort for Abort/Retry/Ignore, No for Yes/No).
#include "components/dialog/desktop_box.h"
#include "components/dialog/logondm.h"
#include "components/dialog/terminal_box.h"
#include "components/dialog/win32/system_box.h"

namespace logondm {

namespace {

LONG CautiousAnswer(UINT buttons) {
    switch (buttons) {
        case MB_OK:
            return IDOK;
        case MB_ABORTRETRYIGNORE:
            return IDABORT;
        case MB_YESNO:
            return IDNO;
        default:  // every other set has Cancel
            return IDCANCEL;
    }
}

}  // namespace

HRESULT ShowTerminalBox(const BoxRequest& request, LONG* result) {
    const UINT buttons = request.type & MB_TYPEMASK;
    if (buttons > MB_CANCELTRYCONTINUE)
        return E_INVALIDARG;
    // Only the buttons, the icon and the default button are the caller's.
    const UINT type = request.type & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK);
    const uint32_t timeoutMs =
        request.timeoutSeconds > 0 ? static_cast<uint32_t>(request.timeoutSeconds) * 1000u : 0u;
    int answer =
        win32::ShowSystemBox(request.text.c_str(), request.caption.c_str(), type, timeoutMs);
    if (answer == win32::kTimedOut) {
        *result = CautiousAnswer(buttons);
        return S_OK;
    }
    if (answer <= 0)
        return LOGONDM_E_TERMINAL;
    *result = answer;
    return S_OK;
}

// The system's box is already on the desktop: there is no program to run.
std::string DesktopProgram() {
    return {};
}

HRESULT ShowDesktopBox(const std::string&, const BoxRequest&, LONG*) {
    return LOGONDM_E_NOTERMINAL;
}

}  // namespace logondm
