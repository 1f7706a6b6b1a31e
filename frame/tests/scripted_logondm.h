// A scripted dialog manager for the frame's tests: a component that answers
// ShowMessageBox from a script instead of asking a user, and records every
// box it was asked to show.
//
// The test loads the component's library itself (LoadLibraryW of the same
// path gives the same library the activation loaded) and drives it through
// the C functions below, looked up with GetProcAddress.
#ifndef ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_
#define ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_

#include <cstdint>

#include "platform/windef.h"

// One box the component was asked for.
struct ScriptedBox {
    char16_t text[1024];
    char16_t caption[256];
    UINT type;
    LONG timeoutSeconds;
    bool identified;  // the challenge and identification matched
};

// An answer: a button identifier (IDOK, IDCANCEL, ...), or one of these.
inline constexpr LONG kScriptedNoTerminal = -1;  // LOGONDM_E_NOTERMINAL, nothing shown

// Called while a box is "up", before it is answered (e.g. to insert a card).
using ScriptedBoxHook = void (*)(int index, void* context);

extern "C" {
// Forgets the records and the script. With no script left every box is
// answered with IDOK.
using PFN_ScriptedReset = void (*)();
// Appends answers to the script.
using PFN_ScriptedAnswer = void (*)(LONG answer);
// From now on refuses every request as not identified.
using PFN_ScriptedRefuse = void (*)(bool refuse);
using PFN_ScriptedHook = void (*)(ScriptedBoxHook hook, void* context);
// The records so far.
using PFN_ScriptedBoxes = const ScriptedBox* (*)(int* count);
// Component objects alive.
using PFN_ScriptedObjects = int (*)();
}

#endif  // ML_FRAME_TESTS_SCRIPTED_LOGONDM_H_
