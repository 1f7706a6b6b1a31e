// A scripted dialog manager for the frame's tests: a component that answers
// ShowMessageBox from a script instead of asking a user, and records every
// box it was asked to show. The test loads the component's library itself
// (the same library the activation loads) and works on its state, found
// with GetProcAddress(library, "ScriptedDialogState").
#ifndef ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_
#define ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_

#include <atomic>

#include "platform/windef.h"

struct ScriptedBox {
    char16_t text[1024];
    char16_t caption[256];
    UINT type;
    LONG timeoutSeconds;
    bool identified;  // the challenge and identification matched
};

// An answer: a button identifier (IDOK, IDCANCEL, ...), or this one.
inline constexpr LONG kScriptedNoTerminal = -1;  // LOGONDM_E_NOTERMINAL, nothing shown

struct ScriptedDialog {
    LONG script[16];  // answers[next..answers); IDOK once used up
    int answers, next;
    ScriptedBox boxes[16];
    int shown;
    bool refuse;                  // refuse every request as not identified
    void (*hook)(void* context);  // called while a box is up, before its answer
    void* context;
    std::atomic<int> objects;  // component objects alive
};

using PFN_ScriptedDialogState = ScriptedDialog* (*)();

#endif  // ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_
