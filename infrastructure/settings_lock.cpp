#include "infrastructure/settings_lock.h"

#include "infrastructure/error_handler.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/trace.h"
#include "platform/handle.h"
#include "platform/lasterror.h"
#include "platform/named_objects.h"

CMLGlobalMutexLock::CMLGlobalMutexLock(LPCWSTR p_szName) : m_hMutex(nullptr) {
    // No access list: the mutex is open to every user and session.
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    DWORD lastError = GetLastError();
    m_hMutex = CreateMutexW(&attributes, FALSE, p_szName);
    if (m_hMutex == nullptr) {
        // A damaged or foreign lock file, for instance: the read goes on
        // unlocked, and the error log says why.
        DWORD error = GetLastError();
        Trace(u"CMLGlobalMutexLock::CMLGlobalMutexLock()", FALSE, TRUE,
              {TraceParam(u"szName", 3, u"[ERROR]", p_szName),
               TraceParam(u"dwLastError", 0, u"[ERROR]", error),
               TraceParam(u"strLastError", 3, u"[ERROR]",
                          CCmnErrorHandler::GetSystemErrorText(error))});
    } else {
        // WAIT_OBJECT_0 also for an abandoned mutex; a failed wait leaves
        // the read unlocked, as a failed creation does.
        if (WaitForSingleObject(m_hMutex, INFINITE) != WAIT_OBJECT_0) {
            CloseHandle(m_hMutex);
            m_hMutex = nullptr;
        }
    }
    SetLastError(lastError);
}

CMLGlobalMutexLock::~CMLGlobalMutexLock() {
    if (m_hMutex != nullptr) {
        DWORD lastError = GetLastError();
        ReleaseMutex(m_hMutex);
        CloseHandle(m_hMutex);
        m_hMutex = nullptr;
        SetLastError(lastError);
    }
}

CMLMutexSettingsINI::CMLMutexSettingsINI() : CMLGlobalMutexLock(mlconfigx::c_szMutexSettingsINI) {}
CMLMutexSettingsINI::~CMLMutexSettingsINI() = default;

CMLMutexDebugINI::CMLMutexDebugINI() : CMLGlobalMutexLock(mlconfigx::c_szMutexDebugINI) {}
CMLMutexDebugINI::~CMLMutexDebugINI() = default;

CMLCriticalSection::CMLCriticalSection(CRITICAL_SECTION* p_pCriticalSection)
    : m_pCriticalSection(p_pCriticalSection) {
    if (m_pCriticalSection != nullptr) {
        EnterCriticalSection(m_pCriticalSection);
    }
}

CMLCriticalSection::~CMLCriticalSection() {
    if (m_pCriticalSection != nullptr) {
        LeaveCriticalSection(m_pCriticalSection);
        m_pCriticalSection = nullptr;
    }
}
