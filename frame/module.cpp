// The module's globals and the object that runs start-up at load and
// shutdown at unload. They live in this one translation unit so that their
// order is fixed: the application object, the two log objects and the
// language override are constructed before start-up runs and destroyed
// after shutdown. (g_pTCOSCard is a constant-initialised pointer of the
// terminal library.)
#include <atomic>

#include "frame/mlcardmanx_app.h"
#include "infrastructure/log_file.h"
#include "platform/framework.h"

CMlcardmanxApp theApp;
CDebugFile theDebugFile;
CErrorFile theErrorFile;
std::atomic<DWORD> g_dwLanguageID{0};

ML_MODULE_APP(theApp);
