// The smallest stand-in for the application framework of a loadable module:
// an application object whose InitInstance runs when the module is loaded
// and ExitInstance when it is unloaded, on the thread that loads and unloads
// it; a per-module state with the module's instance and resource handles;
// and the switch of that state that exported functions make on entry.
//
// Every shared object that uses it links the static library `mlframework`,
// which gives that object its own module state (a hidden symbol). The
// thread's current module state lives in the shared platform library.
//
// Use in a module (one translation unit):
//
//     CMyApp theApp;                 // the application object
//     ... other globals that InitInstance uses ...
//     ML_MODULE_APP(theApp);         // after them: runs InitInstance at load
//
// Within one translation unit globals are constructed in the order of their
// definitions and destroyed in the reverse, so InitInstance sees the
// globals above it constructed, and ExitInstance runs before they are
// destroyed. Globals of other translation units of the module must not need
// dynamic initialisation (use constexpr/constinit or function-local statics).
//
// Exported functions begin with AFX_MANAGE_STATE(AfxGetStaticModuleState()).
//
// Difference from Windows: the loader has no way to refuse a library from
// its constructors, so a FALSE from InitInstance does not stop the load (and
// ExitInstance still runs at unload).
//
// Windows: the platform layer is a static library in each binary, so the
// current module state is per binary; only the module switches it.
#ifndef ML_PLATFORM_FRAMEWORK_H_
#define ML_PLATFORM_FRAMEWORK_H_

#include "platform/windef.h"

class CWinApp;

struct AFX_MODULE_STATE {
    HINSTANCE instance = nullptr;  // the module's own handle
    HINSTANCE resource = nullptr;  // resources load from here; the module itself until set
    CWinApp* app = nullptr;
};

// This shared object's own module state (one per object linking mlframework).
AFX_MODULE_STATE* AfxGetStaticModuleState();

// The calling thread's current module state: the one its innermost
// AFX_MANAGE_STATE switched to, else the program's own.
ML_PLATFORM_API AFX_MODULE_STATE* AfxGetModuleState();
ML_PLATFORM_API void AfxSetModuleState(AFX_MODULE_STATE* state);

HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE resource);

class AFX_MAINTAIN_STATE2 {
  public:
    explicit AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* state);
    ~AFX_MAINTAIN_STATE2();
    AFX_MAINTAIN_STATE2(const AFX_MAINTAIN_STATE2&) = delete;
    AFX_MAINTAIN_STATE2& operator=(const AFX_MAINTAIN_STATE2&) = delete;

  private:
    AFX_MODULE_STATE* previous_;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE2 ml_afx_manage_state_(p)

class CWinApp {
  public:
    explicit CWinApp(LPCWSTR appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance();  // TRUE
    virtual int ExitInstance();   // 0
};

// Runs the application's InitInstance when constructed (module load) and its
// ExitInstance when destroyed (module unload), with the module state of this
// shared object current; records the module's instance handle first.
class AfxModuleAttach {
  public:
    explicit AfxModuleAttach(CWinApp& app);
    ~AfxModuleAttach();
    AfxModuleAttach(const AfxModuleAttach&) = delete;
    AfxModuleAttach& operator=(const AfxModuleAttach&) = delete;

  private:
    CWinApp& app_;
};

#define ML_MODULE_APP(app) static AfxModuleAttach ml_module_attach_(app)

#endif  // ML_PLATFORM_FRAMEWORK_H_
