// CMlcardmanxApp: the application object of the card module.
//
// The module's whole life hangs on one object, `theApp`. When the host loads
// libmlcardmanx.so, InitInstance runs on the loading thread: it opens the
// debug and error logs, makes the language library of the configured
// language the module's resource library, resolves the paths of
// "mldebug.ini" and "mlsettings.ini" and creates the one card object of the
// configured device:
//   "CardreaderName" of section "LogonDevice" not empty -> a CSmartCard for
//                                                          the reader of that
//                                                          name (as stored,
//                                                          not trimmed);
//   empty, missing, or the file unreadable              -> a CTCOSCard, the
//                                                          CT-API terminal.
// The card object then polls its device with thread timers of the loading
// thread and posts its notices there. When the host unloads the module,
// ExitInstance destroys the card object and closes the logs.
//
// Threads: InitInstance and ExitInstance run on the thread that loads and
// unloads the module. GetSettingsINIFile may be called from any thread.
#ifndef ML_FRAME_MLCARDMANX_APP_H_
#define ML_FRAME_MLCARDMANX_APP_H_

#include <atomic>
#include <string>

#include "platform/critical_section.h"
#include "platform/framework.h"
#include "platform/windef.h"

class CSmartCard;

class CMlcardmanxApp : public CWinApp {
  public:
    CMlcardmanxApp();
    ~CMlcardmanxApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    // Copy of the full path of "mlsettings.ini" resolved at start-up (empty
    // when it could not be resolved). Any thread.
    std::u16string GetSettingsINIFile();
    // The same for "mldebug.ini".
    std::u16string GetDebugINIFile();

    // The reader object created at start-up; null when start-up chose the
    // terminal, and after shutdown. Owned by the application object.
    CSmartCard* GetSmartCard() const { return m_pSmartCard; }

  private:
    CSmartCard* m_pSmartCard;
    CRITICAL_SECTION m_csINIFiles;
    std::u16string m_strDebugINIFile;
    std::u16string m_strSettingsINIFile;
};

// The module's globals. The module defines them in one translation unit, in
// this order, before the object that runs start-up (frame/module.cpp).
extern CMlcardmanxApp theApp;
// The language of the dialog texts set through SetLanguage; 0 = the
// configured language. Written by any thread, read by the loading thread.
extern std::atomic<DWORD> g_dwLanguageID;

namespace ml_frame {

// Reads "CardreaderName" of section "LogonDevice" from "mlsettings.ini"
// (path from theApp) under the settings lock. The reader name as stored, or
// empty when the key is missing or the file cannot be read; in the latter
// case an "[ERROR]" entry with `p_strMethod` is written.
std::u16string ReadCardreaderName(const std::u16string& p_strMethod);

}  // namespace ml_frame

#endif  // ML_FRAME_MLCARDMANX_APP_H_
