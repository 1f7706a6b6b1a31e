// The operations that make a language library the module's resource library
// (they need the framework's per-module state).
#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/res_handler_internal.h"
#include "infrastructure/trace.h"
#include "platform/framework.h"
#include "platform/library.h"

namespace {

constexpr DWORD kNoErrorNumber = 0x7FFFFFFF;

void ReportLoaded(BOOL p_bDebug, std::u16string_view p_strPattern,
                  const std::u16string& p_strPath) {
    Trace(u"CResHandler::SetResourceHandle4MFCApplication()", p_bDebug, FALSE,
          {TraceParam(u"", 3, u"[INFO]", ml_infra::FormatS(p_strPattern, {p_strPath}))});
}

}  // namespace

HMODULE CResHandler::SetResourcehandle4MFCDLL(HMODULE p_hModule, WORD p_wWindowsLangID) {
    try {
        return SetResourceHandle4MFCApplication(
            MakeLanguageDLLFromDLL(GetDLLPathName(p_hModule), p_wWindowsLangID));
    } catch (...) {
        CCmnErrorHandler::LogLastError(
            u"*** CResHandler::SetResourcehandle4MFCDLL() - Exception ***");
        return nullptr;
    }
}

HMODULE CResHandler::SetResourceHandle4MFCApplication(const std::u16string& p_strPath) {
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        std::u16string path = p_strPath;
        HMODULE library = LoadLibraryW(path.c_str());
        if (library != nullptr) {
            if (debug) {
                TraceErrorSeparator(1, 0);
                ReportLoaded(debug, u"Language DLL loaded successfully: '%s'", path);
            }
            AfxSetResourceHandle(library);
            return library;
        }
        CCmnErrorHandler::LogError(
            u"*** CResHandler::SetResourceHandle4MFCApplication() - Error ***",
            ml_infra::FormatS(
                u"Language DLL not loadable: '%s' -> default language 'b' used (LANG_ENGLISH)",
                {path}),
            kNoErrorNumber);
        // The English library lies beside it: its letter stands in front of
        // the library suffix.
        size_t letter = ml_infra::LanguageLetterPosition(path);
        if (letter != std::u16string::npos) {
            path[letter] = mlconfigx::c_chDefaultLanguageLetter;
        }
        library = LoadLibraryW(path.c_str());
        if (library != nullptr) {
            if (debug) {
                ReportLoaded(debug, u"Default language DLL loaded successfully: '%s'", path);
            }
            AfxSetResourceHandle(library);
            return library;
        }
        CCmnErrorHandler::LogError(
            u"*** CResHandler::SetResourceHandle4MFCApplication() - Error ***",
            ml_infra::FormatS(u"Also, default language DLL not loadable: '%s' -> old "
                              u"resource-handle still active",
                              {path}),
            kNoErrorNumber);
        return nullptr;
    } catch (...) {
        CCmnErrorHandler::LogLastError(
            u"*** CResHandler::SetResourceHandle4MFCApplication() - Exception ***");
        return nullptr;
    }
}
