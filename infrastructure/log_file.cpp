#include "infrastructure/log_file.h"

#include "infrastructure/ini_file.h"
#include "infrastructure/log_file_internal.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/settings_lock.h"
#include "infrastructure/trace.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/handle.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "platform/session.h"

namespace {

constexpr LONGLONG kRotateAbove = 0x100000;
constexpr size_t kMaxEntryChars = 0x3FFFFFFF;
constexpr char16_t kDebugBanner[] =
    u"***************** MLCARDMANX - Debugfile ***********************\r\n";

// Restores the thread's last error when the scope ends, so that logging
// never changes what a caller reads from GetLastError.
class KeepLastError {
  public:
    KeepLastError() : error_(GetLastError()) {}
    ~KeepLastError() { SetLastError(error_); }
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

  private:
    DWORD error_;
};

HANDLE OpenLog(const std::u16string& path) {
    // Appending: entries of other processes writing the same log at the
    // same moment never overwrite each other.
    return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Plain ASCII is the same in every ANSI code page; only other text goes
// through the code-page conversion. False when that conversion fails.
bool ToAnsiBytes(const std::u16string& text, std::string& bytes) {
    bytes.assign(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0x80) {
            return ml::ToAnsi(text, bytes);
        }
        bytes[i] = static_cast<char>(text[i]);
    }
    return true;
}

// Copies the file to its old name and removes it; the file stays when the
// copy fails, so that no entry is lost.
void MoveFileToOld(const std::u16string& path) {
    std::u16string old = ml_infra::OldLogName(path);
    if (old != path && CopyFileW(path.c_str(), old.c_str(), FALSE)) {
        DeleteFileW(path.c_str());
    }
}

}  // namespace

namespace ml_infra {

std::u16string SessionLogName(DWORD p_dwSession, const std::u16string& p_strName) {
    return Concat({u"s", FormatDec(static_cast<int32_t>(p_dwSession)), u"_", p_strName});
}

std::u16string OldLogName(const std::u16string& p_strPath) {
    static constexpr std::u16string_view kLog = u".log";
    std::u16string result;
    size_t start = 0;
    for (size_t found; (found = p_strPath.find(kLog, start)) != std::u16string::npos;
         start = found + kLog.size()) {
        result.append(p_strPath, start, found - start);
        result.append(u"_old.log");
    }
    result.append(p_strPath, start, std::u16string::npos);
    return result;
}

void AppendLogDateTime(std::u16string& p_strEntry) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    auto two = [](unsigned value, char16_t* out) {
        out[0] = static_cast<char16_t>(u'0' + value / 10 % 10);
        out[1] = static_cast<char16_t>(u'0' + value % 10);
    };
    char16_t text[17] = {0, 0, u'/', 0, 0, u'/', 0, 0, u' ', 0, 0, u':', 0, 0, u':', 0, 0};
    two(now.wMonth, text);
    two(now.wDay, text + 3);
    two(now.wYear % 100u, text + 6);
    two(now.wHour, text + 9);
    two(now.wMinute, text + 12);
    two(now.wSecond, text + 15);
    p_strEntry.append(text, 17);
}

BOOL AppendLogEntry(const std::u16string& p_strPath, const std::u16string& p_strEntry) {
    if (p_strPath.empty() || p_strEntry.size() > kMaxEntryChars) {
        return FALSE;
    }
    std::string bytes;
    if (!ToAnsiBytes(p_strEntry, bytes) || bytes.size() > 0xFFFFFFFFu) {
        return FALSE;
    }
    HANDLE file = OpenLog(p_strPath);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    // Moving to the end gives the size as well.
    LONGLONG size = 0;
    BOOL ok = SetFilePointerEx(file, 0, &size, FILE_END);
    if (ok && size > kRotateAbove) {
        CloseHandle(file);
        MoveFileToOld(p_strPath);
        file = OpenLog(p_strPath);
        if (file == INVALID_HANDLE_VALUE) {
            return FALSE;
        }
        ok = SetFilePointerEx(file, 0, &size, FILE_END);
        if (ok && size > kRotateAbove) {
            // The log could not move aside: it starts again from empty, so
            // that neither its size nor the cost of an entry keeps growing.
            ok = SetFilePointerEx(file, 0, nullptr, FILE_BEGIN) && SetEndOfFile(file);
        }
    }
    if (ok) {
        DWORD written = 0;
        ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
             written == bytes.size();
    }
    CloseHandle(file);
    return ok;
}

// ---- what both logs share ----

CLogFile::CLogFile() : m_bInitialised(false) {}

CLogFile::~CLogFile() = default;

void CLogFile::Start(const std::u16string& p_strFileName, const std::u16string& p_strStampPrefix,
                     const std::u16string& p_strLineIndent) {
    std::u16string directory = GetDirectory();
    m_strLogPath = directory.empty() ? std::u16string() : directory + p_strFileName;
    m_strStampPrefix = p_strStampPrefix;
    m_strLineIndent = p_strLineIndent;
    m_bInitialised = true;
}

BOOL CLogFile::Write(const std::u16string& p_strHeader, const std::u16string& p_strLine,
                     BOOL p_bLeadingEmptyLine) {
    KeepLastError keep;
    try {
        CMLCriticalSection lock(&m_cs);
        if (!m_bInitialised) {
            return FALSE;
        }
        std::u16string entry;
        entry.reserve(48 + m_strStampPrefix.size() + p_strHeader.size() + m_strLineIndent.size() +
                      p_strLine.size());
        if (p_bLeadingEmptyLine) {
            entry += u"\r\n";
        }
        entry += m_strStampPrefix;
        AppendLogDateTime(entry);
        entry += u" - ";
        entry += p_strHeader;
        entry += m_strLineIndent;
        entry += p_strLine;
        return AppendLogEntry(m_strLogPath, entry);
    } catch (...) {
        return FALSE;
    }
}

std::u16string CLogFile::GetDirectory() {
    return CResHandler::GetDataPath(mlconfigx::c_szCategoryDiagnostics);
}

// The log of a former start moves aside, whatever happens.
void CLogFile::MoveToOld(const std::u16string& p_strFileName) {
    KeepLastError keep;
    try {
        std::u16string directory = GetDirectory();
        if (!directory.empty()) {
            MoveFileToOld(directory + p_strFileName);
        }
    } catch (...) {
    }
}

// No entry is written after this.
void CLogFile::Cleanup() {
    try {
        CMLCriticalSection lock(&m_cs);
        m_bInitialised = false;
    } catch (...) {
    }
    DeleteCriticalSection(&m_cs);
}

std::u16string CLogFile::GetLogPath() {
    CMLCriticalSection lock(&m_cs);
    return m_strLogPath;
}

}  // namespace ml_infra

// ---- CDebugFile ----

CDebugFile::CDebugFile() : m_nTraceOn(0), m_ftSettings{0, 0} {}

CDebugFile::~CDebugFile() = default;

void CDebugFile::Init(const std::u16string& p_strFileName, const std::u16string& p_strSection,
                      const std::u16string& p_strKey) {
    KeepLastError keep;
    try {
        InitializeCriticalSection(&m_cs);
        CMLCriticalSection lock(&m_cs);
        m_strSection = p_strSection;
        m_strKey = p_strKey;
        std::u16string release;
        if (ml::RegReadString(HKEY_LOCAL_MACHINE, mlconfigx::c_szRegKeyMorlindLogon,
                              mlconfigx::c_szRegValueRelease, release) != ERROR_SUCCESS) {
            release.clear();
        }
        std::u16string settings;
        m_strDebugSettingsPath.clear();
        if (CResHandler::GetINIFile(mlconfigx::c_szMLDebugINI, settings)) {
            m_strDebugSettingsPath = settings;
        }
        m_nTraceOn = 0;
        m_ftSettings = FILETIME{0, 0};
        Start(p_strFileName, u"\r\n[" + release + u"] ", u"\r\n\t\t\t\t\t\t");
    } catch (...) {
    }
}

BOOL CDebugFile::IsTraceOn() {
    KeepLastError keep;
    try {
        CMLCriticalSection lock(&m_cs);
        if (!m_bInitialised || m_strDebugSettingsPath.empty()) {
            return m_bInitialised ? m_nTraceOn : FALSE;
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(m_strDebugSettingsPath.c_str(), GetFileExInfoStandard, &data) ||
            CompareFileTime(&data.ftLastWriteTime, &m_ftSettings) <= 0) {
            return m_nTraceOn;
        }
        m_ftSettings = data.ftLastWriteTime;
        std::u16string path;
        if (!CResHandler::GetINIFile(mlconfigx::c_szMLDebugINI, path)) {
            return m_nTraceOn;
        }
        CIniFile ini;
        ini.SetPath(path, false);
        bool read = false;
        {
            CMLMutexDebugINI mutex;
            read = ini.ReadFile();
        }
        if (read) {
            m_nTraceOn = ini.GetValueInt(m_strSection, m_strKey, 0) != 0 ? 1 : 0;
        }
        return m_nTraceOn;
    } catch (...) {
        return m_nTraceOn;
    }
}

std::u16string CDebugFile::GetDebugSettingsPath() {
    CMLCriticalSection lock(&m_cs);
    return m_strDebugSettingsPath;
}

// ---- CErrorFile ----

CErrorFile::CErrorFile() = default;

CErrorFile::~CErrorFile() = default;

void CErrorFile::Init(const std::u16string& p_strFileName) {
    KeepLastError keep;
    try {
        InitializeCriticalSection(&m_cs);
        CMLCriticalSection lock(&m_cs);
        Start(p_strFileName, u"\r\n", u"\r\n\t\t\t");
    } catch (...) {
    }
}

// ---- session and start-up ----

DWORD CMLSessionFunctions::GetSessionIDFromProcessID(DWORD p_dwProcessID) {
    DWORD session = 0;
    if (ProcessIdToSessionId(p_dwProcessID, &session)) {
        return session;
    }
    return GetActiveConsoleSessionId();
}

DWORD CMLSessionFunctions::GetActiveConsoleSessionId() {
    return WTSGetActiveConsoleSessionId();
}

void InitDebugLog() {
    DWORD session = CMLSessionFunctions::GetSessionIDFromProcessID(GetCurrentProcessId());
    std::u16string name = ml_infra::SessionLogName(session, mlconfigx::c_szDebugLogName);
    theDebugFile.MoveToOld(name);
    theDebugFile.Init(name, mlconfigx::c_szSectionLogonDevice, mlconfigx::c_szKeyDebug);
    if (theDebugFile.IsTraceOn()) {
        theDebugFile.Write(kDebugBanner, std::u16string(), FALSE);
    }
}

void InitErrorLog() {
    DWORD session = CMLSessionFunctions::GetSessionIDFromProcessID(GetCurrentProcessId());
    std::u16string name = ml_infra::SessionLogName(session, mlconfigx::c_szErrorLogName);
    theErrorFile.MoveToOld(name);
    theErrorFile.Init(name);
    // A locale whose character set is unknown: the logs are written in UTF-8.
    std::string charset = ml::UnknownAnsiCharset();
    if (!charset.empty()) {
        Trace(u"InitErrorLog()", FALSE, TRUE,
              {TraceParam(u"", 3, u"[ERROR]",
                          u"Character set of the locale unknown, UTF-8 used: '" +
                              ml::FromUtf8(charset) + u"'")});
    }
}
