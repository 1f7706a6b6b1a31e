#include <dlfcn.h>

#include "platform/framework.h"

namespace {

thread_local AFX_MODULE_STATE* t_current = nullptr;

// The program's own state: current on every thread that switched to no
// module's state.
AFX_MODULE_STATE* ProgramState() {
    static AFX_MODULE_STATE* state = [] {
        auto* s = new AFX_MODULE_STATE;
        s->instance = static_cast<HINSTANCE>(::dlopen(nullptr, RTLD_NOW));
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
