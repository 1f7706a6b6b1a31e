// The module's globals for the frame's test programs, which run start-up and
// shutdown by hand (the module defines them in frame/module.cpp, together
// with the object that runs start-up at load).
#include <atomic>

#include "frame/mlcardmanx_app.h"
#include "infrastructure/log_file.h"

CMlcardmanxApp theApp;
CDebugFile theDebugFile;
CErrorFile theErrorFile;
std::atomic<DWORD> g_dwLanguageID{0};
