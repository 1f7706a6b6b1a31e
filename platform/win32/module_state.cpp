// The thread's current module state, shared by the program and every module
// through the platform library.
#include "platform/framework.h"
#include "platform/library.h"

namespace {

thread_local AFX_MODULE_STATE* t_current = nullptr;

// The program's own state: current on every thread that switched to no
// module's state.
AFX_MODULE_STATE* ProgramState() {
    static AFX_MODULE_STATE* state = [] {
        auto* s = new AFX_MODULE_STATE;
        HMODULE program = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &program))
            s->instance = program;
        return s;
    }();
    return state;
}

}  // namespace

AFX_MODULE_STATE* AfxGetModuleState() {
    return t_current != nullptr ? t_current : ProgramState();
}

void AfxSetModuleState(AFX_MODULE_STATE* state) {
    t_current = state;
}
