// Start-up and shutdown of the module, and the choice of the card device.
#include "frame/mlcardmanx_app.h"

#include "frame/helper.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/ini_file.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/settings_lock.h"
#include "infrastructure/trace.h"
#include "mlsmartcardx/smart_card.h"
#include "platform/lasterror.h"
#include "terminal/tcos_card.h"

namespace {

// What the terminal's start-up timer reads "CurrentPort" from.
std::u16string SettingsINIFileOfTheApp() {
    return theApp.GetSettingsINIFile();
}

// Resolves one settings file's path; on failure writes the start-up's
// "[ERROR]" entry for it and leaves the path empty.
std::u16string ResolveINIFile(const char16_t* p_szFile, const char16_t* p_szConstantName,
                              const std::u16string& p_strMethod) {
    std::u16string path;
    if (CResHandler::GetINIFile(p_szFile, path)) {
        return path;
    }
    DWORD dwLastError = GetLastError();
    Trace(p_strMethod, theDebugFile.IsTraceOn(), TRUE,
          {{p_szConstantName, ml_trace::kText, ml_trace::kError, p_szFile},
           {u"dwLastError", ml_trace::kInt, ml_trace::kError, dwLastError},
           {u"strErrorText", ml_trace::kText, ml_trace::kError,
            CCmnErrorHandler::GetSystemErrorText(dwLastError)}});
    return std::u16string();
}

}  // namespace

namespace ml_frame {

std::u16string ReadCardreaderName(const std::u16string& p_strMethod) {
    std::u16string strReaderName;
    std::u16string strINIFile = theApp.GetSettingsINIFile();
    bool bRead = false;
    DWORD dwErrorNumber = 0;
    {
        CIniFile ini;
        ini.SetPath(strINIFile, false);
        {
            CMLMutexSettingsINI lock;
            bRead = ini.ReadFile();
            if (!bRead) {
                dwErrorNumber = GetLastError();
            }
        }
        if (bRead) {
            strReaderName = ini.GetValue(mlconfigx::c_szSectionLogonDevice,
                                         mlconfigx::c_szKeyCardreaderName, std::u16string());
        }
    }
    if (!bRead) {
        Trace(p_strMethod, theDebugFile.IsTraceOn(), TRUE,
              {{u"szINIFile", ml_trace::kText, ml_trace::kError, strINIFile},
               {u"dwErrorNumber", ml_trace::kInt, ml_trace::kError, dwErrorNumber},
               {u"strErrorText", ml_trace::kText, ml_trace::kError,
                CCmnErrorHandler::GetSystemErrorText(dwErrorNumber)}});
    }
    return strReaderName;
}

}  // namespace ml_frame

CMlcardmanxApp::CMlcardmanxApp() : CWinApp(nullptr), m_pSmartCard(nullptr) {
    InitializeCriticalSection(&m_csINIFiles);
}

CMlcardmanxApp::~CMlcardmanxApp() {
    DeleteCriticalSection(&m_csINIFiles);
}

std::u16string CMlcardmanxApp::GetSettingsINIFile() {
    CMLCriticalSection guard(&m_csINIFiles);
    return m_strSettingsINIFile;
}

std::u16string CMlcardmanxApp::GetDebugINIFile() {
    CMLCriticalSection guard(&m_csINIFiles);
    return m_strDebugINIFile;
}

BOOL CMlcardmanxApp::InitInstance() {
    try {
        InitDebugLog();
        InitErrorLog();
        CHelper::SetResourceHandle(AfxGetInstanceHandle());

        std::u16string strDebugINI = ResolveINIFile(
            mlconfigx::c_szMLDebugINI, u"c_szMLDebugINI",
            u"CMlcardmanxApp::InitInstance() - CResHandler::GetINIFile(mlconfigx::c_szMLDebugINI) "
            u"- ERROR");
        std::u16string strSettingsINI =
            ResolveINIFile(mlconfigx::c_szMLSettingsINI, u"c_szMLSettingsINI",
                           u"CMlcardmanxApp::InitInstance() - "
                           u"CResHandler::GetINIFile(mlconfigx::c_szMLSettingsINI) - ERROR");
        {
            CMLCriticalSection guard(&m_csINIFiles);
            m_strDebugINIFile = strDebugINI;
            m_strSettingsINIFile = strSettingsINI;
        }

        std::u16string strReaderName = ml_frame::ReadCardreaderName(
            u"CMlcardmanxApp::InitInstance() - CIniFile::ReadFile() - ERROR");

        // The name is taken as stored: any non-empty value, even blanks,
        // names a PC/SC reader.
        if (!strReaderName.empty()) {
            m_pSmartCard = new CSmartCard(strReaderName);
        } else {
            SetTCOSSettingsINIFileSource(&SettingsINIFileOfTheApp);
            g_pTCOSCard = new CTCOSCard();
        }
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CMlcardmanxApp::InitInstance() - Exception ***");
    }
    return CWinApp::InitInstance();
}

int CMlcardmanxApp::ExitInstance() {
    try {
        if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
            delete pTCOSCard;
            g_pTCOSCard = nullptr;
        }
        if (m_pSmartCard != nullptr) {
            delete m_pSmartCard;
            m_pSmartCard = nullptr;
        }
        SetTCOSSettingsINIFileSource(nullptr);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CMlcardmanxApp::ExitInstance() - Exception ***");
    }
    theDebugFile.Cleanup();
    theErrorFile.Cleanup();
    return CWinApp::ExitInstance();
}
