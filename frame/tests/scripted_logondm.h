// A dialog component that answers ShowMessageBox from a script and records the
// boxes; tests find its state with GetProcAddress(library, "ScriptedDialogState").
#ifndef ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_
#define ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_

#include <atomic>

#include "platform/windef.h"

struct ScriptedBox {
    char16_t text[1024], caption[256];
    UINT type;
    LONG timeoutSeconds;
};

// An answer: a button identifier, or LOGONDM_E_NOTERMINAL (nothing shown).
inline constexpr LONG kScriptedNoTerminal = -1;

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
