// CResHandler: where the install and data directories are, and the module's
// language (language table, language libraries beside the module, single
// texts from them).
//
// All operations are static, read what they need on every call (nothing is
// cached) and report through Trace. They never throw. Any thread, except
// SetResourceHandle4MFCApplication/SetResourcehandle4MFCDLL, which change the
// module's resource handle and belong to the module's loading thread.
//
// Language libraries are named after the module: the "x" in front of the
// shared-library suffix becomes the language letter (libmlcardmanx.so ->
// libmlcardmanb.so for English); the case of the rest of the path is kept.
#ifndef ML_INFRASTRUCTURE_RES_HANDLER_H_
#define ML_INFRASTRUCTURE_RES_HANDLER_H_

#include <string>

#include "infrastructure/language_table.h"
#include "platform/windef.h"

class CResHandler {
  public:
    // ---- directories and settings files ----

    // The registry value "Path" of the installation with a trailing
    // separator; empty when unknown.
    static std::u16string GetMorlindLogonInstallPath();
    // The full path of settings file `p_strFile` in the settings data
    // directory. False (out path unchanged, last error set) when the install
    // directory, its "mlsettings.ini" or the data folder is unknown.
    static bool GetINIFile(const std::u16string& p_strFile, std::u16string& p_strPath);
    // The data directory of a category ("Diagnostics", "Logging",
    // "Settings", anything else: main); empty on failure.
    static std::u16string GetDataPath(const std::u16string& p_strCategory);

    // ---- language ----

    // The configured language: "CurrentLanguage" of section "Config" in
    // "mlsettings.ini" (0x409 when absent or unreadable, the latter
    // reported), its primary language, letter and name.
    static void GetCurrentLanguage(std::u16string& p_strLanguageName, WORD& p_wWindowsLangID,
                                   char16_t& p_cMorlindLangID, WORD& p_wPrimaryLangID);
    // First table entry with the same primary language (low 10 bits); "b"
    // and "English" when there is none.
    static char16_t GetMorlindLangID_From_WindowsLangID(WORD p_wWindowsLangID);
    static std::u16string GetLanguageName_From_WindowsLangID(WORD p_wWindowsLangID);
    // The table of the install directory's "languages.ini".
    static CLanguageTable GetLanguageTable();

    // The full path of a loaded module; empty on failure.
    static std::u16string GetDLLPathName(HMODULE p_hModule);
    // The language library's path for the module at `p_strModulePath`.
    static std::u16string MakeLanguageDLLFromDLL(const std::u16string& p_strModulePath,
                                                 WORD p_wWindowsLangID);
    static std::u16string GetNameOfLanguageDLL4DLL(HMODULE p_hModule, WORD p_wWindowsLangID);
    // Loads the library; on failure the English library beside it
    // (`p_strPath` is changed to its name). Null when neither loads. The
    // caller frees a returned handle.
    static HMODULE LoadResourceDLL(std::u16string& p_strPath, BOOL p_bDebug);
    // Text `p_nStringID` (at most 1023 characters) of the module's language
    // library; empty when there is none. Loads and frees the library.
    static std::u16string LoadString4DLL(HMODULE p_hModule, WORD p_wWindowsLangID,
                                         UINT p_nStringID);
    // Loads the language library (English when it fails) and makes it the
    // module's resource library; the library stays loaded. Null when neither
    // loads; the previous resource handle then stays.
    static HMODULE SetResourcehandle4MFCDLL(HMODULE p_hModule, WORD p_wWindowsLangID);
    static HMODULE SetResourceHandle4MFCApplication(const std::u16string& p_strPath);

    // The shared-library suffix of the platform (".so", ".dll").
    static std::u16string LibrarySuffix();
};

#endif  // ML_INFRASTRUCTURE_RES_HANDLER_H_
