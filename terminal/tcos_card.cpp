// CTCOSCard: finding, loading and binding the CT-API driver, opening and
// resetting the terminal, and the one error report of every operation.
#include "terminal/tcos_card.h"

#include <atomic>
#include <vector>

#include "infrastructure/error_handler.h"
#include "infrastructure/ini_file.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/settings_lock.h"
#include "infrastructure/trace.h"
#include "platform/folders.h"
#include "platform/framework.h"
#include "platform/lasterror.h"
#include "platform/library.h"
#include "platform/registry.h"

namespace {

constexpr char16_t kRegKeyVireo[] = u"SOFTWARE\\Kestrel\\APPSW\\Vireo";
constexpr char16_t kRegValuePath[] = u"Path";
constexpr char16_t kDriverSubdirectory[] = u"bin";
constexpr char16_t kMethodConstructor[] = u"CTCOSCard::CTCOSCard()";
// Texts of ReportError are always English, whatever the user's language.
constexpr WORD kReportLanguage = 1033;
// The error code that ReportError writes as information, not as an error.
constexpr int kInfoErrorCode = 14;

std::atomic<SettingsINIFileSource> g_settingsSource{nullptr};

// The directory (with trailing separator) of the module that holds this
// code; empty when the loader cannot name it.
std::u16string ModuleDirectory() {
    std::vector<WCHAR> buffer(4096, u'\0');
    DWORD length = GetModuleFileNameW(AfxGetInstanceHandle(), buffer.data(),
                                      static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return std::u16string();
    }
    std::u16string path(buffer.data(), length);
    size_t slash = path.rfind(ml::PathSeparator());
    if (slash == std::u16string::npos) {
        return std::u16string();
    }
    return path.substr(0, slash + 1);
}

template <typename Fn>
Fn Bind(HMODULE p_hDriver, const char* p_szName) {
    return reinterpret_cast<Fn>(GetProcAddress(p_hDriver, p_szName));
}

}  // namespace

void SetTCOSSettingsINIFileSource(SettingsINIFileSource source) {
    g_settingsSource.store(source);
}

std::u16string CTCOSCard::GetDriverPath() {
    const char16_t separator = ml::PathSeparator();
    std::u16string directory;
    std::u16string value;
    // An empty value names no directory; like a missing one it leads to the
    // module's own directory, never to a path relative to the current
    // directory of the process.
    if (ml::RegReadString(HKEY_LOCAL_MACHINE, kRegKeyVireo, kRegValuePath, value) ==
            ERROR_SUCCESS &&
        !value.empty()) {
        directory = value;
        if (directory.back() != separator) {
            directory.push_back(separator);
        }
        directory += kDriverSubdirectory;
        directory.push_back(separator);
    } else {
        directory = ModuleDirectory();
        if (directory.empty()) {
            return std::u16string();
        }
    }
    return directory + ml_ct::kDriverBaseName + CResHandler::LibrarySuffix();
}

void CTCOSCard::SetUpDriver() {
    if (m_hDriver != nullptr) {
        return;  // set up once per object
    }
    std::u16string path = GetDriverPath();
    HMODULE driver = path.empty() ? nullptr : LoadLibraryW(path.c_str());
    if (driver == nullptr) {
        DWORD error = path.empty() ? ML_ERROR_MOD_NOT_FOUND : GetLastError();
        ReportError(kMethodConstructor, 1, 1, static_cast<int>(error));
    } else {
        m_hDriver = driver;
        m_pfnCT_init = Bind<PFN_CT_init>(m_hDriver, "CT_init");
        if (m_pfnCT_init == nullptr) {
            ReportError(kMethodConstructor, 2, 2, static_cast<int>(GetLastError()));
        }
        m_pfnCT_data = Bind<PFN_CT_data>(m_hDriver, "CT_data");
        if (m_pfnCT_data == nullptr) {
            ReportError(kMethodConstructor, 3, 3, static_cast<int>(GetLastError()));
        }
        m_pfnCT_close = Bind<PFN_CT_close>(m_hDriver, "CT_close");
        if (m_pfnCT_close == nullptr) {
            ReportError(kMethodConstructor, 4, 4, static_cast<int>(GetLastError()));
        }
        m_pfnCT_SetTraceOptions = Bind<PFN_CT_SetTraceOptions>(m_hDriver, "CT_SetTraceOptions");
        if (m_pfnCT_SetTraceOptions == nullptr) {
            ReportError(kMethodConstructor, 4, 4, static_cast<int>(GetLastError()));
        } else {
            m_pfnCT_SetTraceOptions(0, 0);
        }
        // Both or neither.
        m_pfnCT_BeginTransaction = Bind<PFN_CT_Transaction>(m_hDriver, "CT_BeginTransaction");
        m_pfnCT_EndTransaction = Bind<PFN_CT_Transaction>(m_hDriver, "CT_EndTransaction");
        if (m_pfnCT_BeginTransaction == nullptr || m_pfnCT_EndTransaction == nullptr) {
            m_pfnCT_BeginTransaction = nullptr;
            m_pfnCT_EndTransaction = nullptr;
        }
    }

    // The settings are read even without a driver, as the port number is
    // part of the set-up's report.
    int port = ReadCurrentPort();

    if (m_hDriver != nullptr) {
        InitCom(ml_ct::kTerminalNumber, port);
        ResetTerminal();
    }
}

int CTCOSCard::ReadCurrentPort() {
    int port = 1;
    SettingsINIFileSource source = g_settingsSource.load();
    std::u16string path = source != nullptr ? source() : std::u16string();
    CIniFile ini;
    ini.SetPath(path, false);
    bool read = false;
    DWORD error = 0;
    {
        CMLMutexSettingsINI lock;
        read = ini.ReadFile();
        error = GetLastError();
    }
    if (read) {
        port = ini.GetValueInt(mlconfigx::c_szSectionLogonDevice, mlconfigx::c_szKeyCurrentPort, 1);
    } else {
        BOOL debug = theDebugFile.IsTraceOn();
        Trace(u"CTCOSCard::TCOSInitTimer() - CIniFile::ReadFile() - ERROR", debug, TRUE,
              {TraceParam(u"szINIFile", ml_trace::kText, ml_trace::kError, path),
               TraceParam(u"dwErrorNumber", ml_trace::kInt, ml_trace::kError, error),
               TraceParam(u"strErrorText", ml_trace::kText, ml_trace::kError,
                          CCmnErrorHandler::GetSystemErrorText(error))});
    }
    return port;
}

bool CTCOSCard::InitCom(int p_nCtn, int p_nPort) {
    try {
        if (m_hDriver == nullptr || m_pfnCT_init == nullptr) {
            ReportError(u"CTCOSCard::InitCom()", 1, 1, 0);
            return false;
        }
        // The driver takes 16-bit numbers; a value beyond them would open
        // some other port.
        if (p_nCtn < 0 || p_nCtn > 0xFFFF || p_nPort < 0 || p_nPort > 0xFFFF) {
            ReportError(u"CTCOSCard::InitCom()", 5, 5, p_nPort);
            return false;
        }
        int8_t result = m_pfnCT_init(static_cast<uint16_t>(p_nCtn), static_cast<uint16_t>(p_nPort));
        if (result == 0) {
            m_nCtn = p_nCtn;
            return true;
        }
        ReportError(u"CTCOSCard::InitCom()", 5, 5, result);
        return false;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::InitCom() - Exception ***");
        return false;
    }
}

bool CTCOSCard::ResetTerminal() {
    try {
        if (m_hDriver == nullptr) {
            ReportError(u"CTCOSCard::ResetTerminal()", 4, 4, 0);
            return false;
        }
        BYTE command[ml_ct::kCommandBufferSize] = {0x20, 0x10, 0x00, 0x00, 0x00};
        if (m_pfnCT_data == nullptr) {
            return false;
        }
        Exchange exchange;
        Transmit(ml_ct::kDadTerminal, command, 5, exchange);
        if (exchange.result != 0) {
            ReportError(u"CTCOSCard::ResetTerminal()", 6, 6, exchange.result);
            return false;
        }
        return true;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::ResetTerminal() - Exception ***");
        return false;
    }
}

void CTCOSCard::ReportError(const std::u16string& p_strMethod, int p_nMessage, int p_nErrorCode,
                            int p_nRawValue) {
    try {
        if (p_nErrorCode == m_nLastErrorCode) {
            return;
        }
        std::u16string text = CResHandler::LoadString4DLL(AfxGetInstanceHandle(), kReportLanguage,
                                                          static_cast<UINT>(p_nMessage));
        BOOL debug = theDebugFile.IsTraceOn();
        if (p_nErrorCode == kInfoErrorCode) {
            ml_trace::Separator(debug, false);
            Trace(p_strMethod, debug, FALSE, {ml_trace::Info(text)});
        } else {
            ml_trace::Separator(debug, true);
            Trace(p_strMethod, debug, TRUE,
                  {TraceParam(u"Error", ml_trace::kText, ml_trace::kError, text),
                   TraceParam(u"raw Error", ml_trace::kInt, ml_trace::kError, p_nRawValue)});
        }
        m_nLastErrorCode = p_nErrorCode;
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CTCOSCard::ReportError() - Exception ***");
    }
}

void CTCOSCard::Transmit(uint8_t p_nDad, BYTE (&p_command)[ml_ct::kCommandBufferSize],
                         size_t p_nLength, Exchange& p_exchange) {
    std::fill(std::begin(p_exchange.response), std::end(p_exchange.response), BYTE{0});
    uint8_t dad = p_nDad;
    uint8_t sad = ml_ct::kSadHost;
    uint16_t lenr = static_cast<uint16_t>(ml_ct::kResponseBufferSize);
    p_exchange.result =
        m_pfnCT_data(static_cast<uint16_t>(m_nCtn), &dad, &sad, static_cast<uint16_t>(p_nLength),
                     p_command, &lenr, p_exchange.response);
    p_exchange.length = lenr;
}
