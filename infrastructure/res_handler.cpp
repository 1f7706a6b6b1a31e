#include "infrastructure/res_handler.h"

#include <vector>

#include "infrastructure/data_path.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/ini_file.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler_internal.h"
#include "infrastructure/settings_lock.h"
#include "infrastructure/trace.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/library.h"
#include "platform/string_table.h"

namespace {

constexpr int kStringChars = 1024;

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

}  // namespace

size_t ml_infra::LanguageLetterPosition(const std::u16string& p_strPath) {
    const std::u16string suffix = CResHandler::LibrarySuffix();
    if (p_strPath.size() <= suffix.size()) {
        return std::u16string::npos;
    }
    size_t start = p_strPath.size() - suffix.size();
    for (size_t i = 0; i < suffix.size(); ++i) {
        if (FoldAscii(p_strPath[start + i]) != FoldAscii(suffix[i])) {
            return std::u16string::npos;
        }
    }
    return start - 1;
}

CLanguageTable CResHandler::GetLanguageTable() {
    std::u16string install = GetMorlindLogonInstallPath();
    if (install.empty()) {
        return CLanguageTable();
    }
    return ml_infra::ReadLanguageTable(install + mlconfigx::c_szLanguagesINI);
}

char16_t CResHandler::GetMorlindLangID_From_WindowsLangID(WORD p_wWindowsLangID) {
    try {
        CLanguageTable table = GetLanguageTable();
        size_t count = std::min(table.languageIds.size(), table.letters.size());
        for (size_t i = 0; i < count; ++i) {
            if (PRIMARYLANGID(table.languageIds[i]) == PRIMARYLANGID(p_wWindowsLangID)) {
                return table.letters[i];
            }
        }
    } catch (...) {
    }
    return mlconfigx::c_chDefaultLanguageLetter;
}

std::u16string CResHandler::GetLanguageName_From_WindowsLangID(WORD p_wWindowsLangID) {
    try {
        CLanguageTable table = GetLanguageTable();
        size_t count = std::min(table.languageIds.size(), table.names.size());
        for (size_t i = 0; i < count; ++i) {
            if (PRIMARYLANGID(table.languageIds[i]) == PRIMARYLANGID(p_wWindowsLangID)) {
                return table.names[i];
            }
        }
    } catch (...) {
    }
    return mlconfigx::c_szDefaultLanguageName;
}

void CResHandler::GetCurrentLanguage(std::u16string& p_strLanguageName, WORD& p_wWindowsLangID,
                                     char16_t& p_cMorlindLangID, WORD& p_wPrimaryLangID) {
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        int32_t languageId = mlconfigx::c_wDefaultLanguageID;
        std::u16string path;
        std::u16string errorText;
        DWORD errorNumber = 0;
        if (!GetINIFile(mlconfigx::c_szMLSettingsINI, path)) {
            errorNumber = GetLastError();
            errorText = u"CResHandler::GetCurrentLanguage() - CResHandler::GetINIFile() - ERROR";
        } else {
            CIniFile ini;
            ini.SetPath(path, false);
            bool read = false;
            {
                CMLMutexSettingsINI lock;
                read = ini.ReadFile();
                errorNumber = GetLastError();
            }
            if (!read) {
                errorText = u"CResHandler::GetCurrentLanguage() - CIniFile::ReadFile() - ERROR";
            } else {
                languageId =
                    ini.GetValueInt(mlconfigx::c_szSectionConfig, mlconfigx::c_szKeyCurrentLanguage,
                                    mlconfigx::c_wDefaultLanguageID);
            }
        }
        if (!errorText.empty()) {
            Trace(errorText, debug, TRUE,
                  {TraceParam(u"szINIFile", 3, u"[ERROR]", path),
                   TraceParam(u"dwErrorNumber", 0, u"[ERROR]", errorNumber),
                   TraceParam(u"strErrorText", 3, u"[ERROR]",
                              CCmnErrorHandler::GetSystemErrorText(errorNumber))});
        }
        p_wWindowsLangID = static_cast<WORD>(languageId);
        p_wPrimaryLangID = PRIMARYLANGID(p_wWindowsLangID);
        p_cMorlindLangID = GetMorlindLangID_From_WindowsLangID(p_wWindowsLangID);
        p_strLanguageName = GetLanguageName_From_WindowsLangID(p_wWindowsLangID);
        Trace(u"CResHandler::GetCurrentLanguage()", debug, FALSE,
              {TraceParam(u"p_wWINDOWS_LANG_ID", 0, u"[INFO]", p_wWindowsLangID),
               TraceParam(u"p_wWINDOWS_PLID", 0, u"[INFO]", p_wPrimaryLangID),
               TraceParam(u"p_cMorlind_LANG_ID", 3, u"[INFO]", std::u16string(1, p_cMorlindLangID)),
               TraceParam(u"p_strLanguageName", 3, u"[INFO]", p_strLanguageName)});
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CResHandler::GetCurrentLanguage() - Exception ***");
    }
}

std::u16string CResHandler::GetDLLPathName(HMODULE p_hModule) {
    try {
        return ml_infra::ModulePath(p_hModule);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CResHandler::GetDLLPathName() - Exception ***");
        return std::u16string();
    }
}

std::u16string CResHandler::MakeLanguageDLLFromDLL(const std::u16string& p_strModulePath,
                                                   WORD p_wWindowsLangID) {
    try {
        char16_t letter = FoldAscii(GetMorlindLangID_From_WindowsLangID(p_wWindowsLangID));
        // A letter that cannot stand in a file name falls back to English.
        if (letter == u'\0' || letter == u'/' || letter == u'\\' || letter == ml::PathSeparator()) {
            letter = mlconfigx::c_chDefaultLanguageLetter;
        }
        // The "x" in front of the library suffix at the end of the path, in
        // any case, becomes the letter; the rest of the path keeps its case
        // (file names are case-sensitive) and folders are never renamed.
        std::u16string result = p_strModulePath;
        size_t position = ml_infra::LanguageLetterPosition(result);
        if (position != std::u16string::npos && FoldAscii(result[position]) == u'x') {
            result[position] = letter;
        }
        return result;
    } catch (...) {
        CCmnErrorHandler::LogLastError(
            u"*** CResHandler::MakeLanguageDLLFromDLL() - Exception ***");
        return std::u16string();
    }
}

std::u16string CResHandler::GetNameOfLanguageDLL4DLL(HMODULE p_hModule, WORD p_wWindowsLangID) {
    try {
        return MakeLanguageDLLFromDLL(GetDLLPathName(p_hModule), p_wWindowsLangID);
    } catch (...) {
        CCmnErrorHandler::LogLastError(
            u"*** CResHandler::GetNameOfLanguageDLL4DLL() - Exception ***");
        return std::u16string();
    }
}

HMODULE CResHandler::LoadResourceDLL(std::u16string& p_strPath, BOOL p_bDebug) {
    try {
        HMODULE library = LoadLibraryW(p_strPath.c_str());
        if (library != nullptr) {
            TraceSeparator(p_bDebug, 0);
            Trace(u"CResHandler::LoadResourceDLL() - Language DLL loaded successfully", p_bDebug,
                  FALSE, {TraceParam(u"p_strResourceDLL", 3, u"[INFO]", p_strPath)});
            return library;
        }
        DWORD error = GetLastError();
        TraceSeparator(p_bDebug, 0);
        Trace(u"CResHandler::LoadResourceDLL()", p_bDebug, FALSE,
              {TraceParam(u"", 3, u"[INFO]",
                          ml_infra::FormatS(u"Language DLL not loadable: '%s' -> default language "
                                            u"'b' used (LANG_ENGLISH)",
                                            {p_strPath})),
               TraceParam(u"dwLastError", 0, u"[INFO]", error),
               TraceParam(u"strLastError", 3, u"[INFO]",
                          CCmnErrorHandler::GetSystemErrorText(error))});
        size_t letter = ml_infra::LanguageLetterPosition(p_strPath);
        if (letter != std::u16string::npos) {
            p_strPath[letter] = mlconfigx::c_chDefaultLanguageLetter;
        }
        library = LoadLibraryW(p_strPath.c_str());
        if (library != nullptr) {
            return library;
        }
        error = GetLastError();
        TraceSeparator(p_bDebug, 1);
        Trace(u"CResHandler::LoadResourceDLL()", p_bDebug, TRUE,
              {TraceParam(u"", 3, u"[ERROR]",
                          ml_infra::FormatS(u"Neither language DLL nor default language DLL "
                                            u"loadable; default language DLL: '%s'",
                                            {p_strPath})),
               TraceParam(u"dwLastError", 0, u"[ERROR]", error),
               TraceParam(u"strLastError", 3, u"[ERROR]",
                          CCmnErrorHandler::GetSystemErrorText(error))});
        return nullptr;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CResHandler::LoadResourceDLL() - Exception ***");
        return nullptr;
    }
}

std::u16string CResHandler::LoadString4DLL(HMODULE p_hModule, WORD p_wWindowsLangID,
                                           UINT p_nStringID) {
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        std::u16string path = GetNameOfLanguageDLL4DLL(p_hModule, p_wWindowsLangID);
        HMODULE library = LoadResourceDLL(path, debug);
        std::u16string text;
        if (library != nullptr) {
            std::vector<WCHAR> buffer(kStringChars, u'\0');
            int length = LoadStringW(library, p_nStringID, buffer.data(), kStringChars);
            if (length <= 0) {
                DWORD error = GetLastError();
                TraceSeparator(debug, 1);
                Trace(u"*** CResHandler::LoadString4DLL() - Error -> no text available ***", debug,
                      TRUE,
                      {TraceParam(u"dwLastError", 0, u"[ERROR]", error),
                       TraceParam(u"strLastError", 3, u"[ERROR]",
                                  CCmnErrorHandler::GetSystemErrorText(error))});
            } else {
                text.assign(buffer.data(), std::min(length, kStringChars - 1));
            }
            FreeLibrary(library);
        }
        return text;
    } catch (const CComError& error) {
        CCmnErrorHandler::LogComError(u"*** CResHandler::LoadString4DLL() - COM-Exception ***",
                                      error);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CResHandler::LoadString4DLL() - Exception ***");
    }
    return std::u16string();
}
