// Scoped locks: the machine-wide mutexes around the reads of the two settings
// files, and the guard of an in-process critical section.
//
// CMLMutexSettingsINI and CMLMutexDebugINI open (or create) their named mutex
// and wait for it without time-out in the constructor; the destructor
// releases and closes it. The mutexes are open to every user and session of
// the machine. When the mutex cannot be created the object holds nothing and
// the caller proceeds unlocked, with an "[ERROR]" entry in the error log. An abandoned mutex counts
// as acquired. Hold one only around one read of its file; never hold both.
//
// Objects are bound to the thread that made them (the mutex is owned by that
// thread) and cannot be copied.
#ifndef ML_INFRASTRUCTURE_SETTINGS_LOCK_H_
#define ML_INFRASTRUCTURE_SETTINGS_LOCK_H_

#include "platform/critical_section.h"
#include "platform/windef.h"

class CMLGlobalMutexLock {
  public:
    virtual ~CMLGlobalMutexLock();
    CMLGlobalMutexLock(const CMLGlobalMutexLock&) = delete;
    CMLGlobalMutexLock& operator=(const CMLGlobalMutexLock&) = delete;

    // True when the mutex was created and is held.
    bool IsHeld() const { return m_hMutex != nullptr; }

  protected:
    explicit CMLGlobalMutexLock(LPCWSTR p_szName);

  private:
    HANDLE m_hMutex;
};

// "Global\MLSettingsINIMutex": every read of the data directory's
// "mlsettings.ini".
class CMLMutexSettingsINI : public CMLGlobalMutexLock {
  public:
    CMLMutexSettingsINI();
    ~CMLMutexSettingsINI() override;
};

// "Global\MLDebugINIMutex": the read of "mldebug.ini".
class CMLMutexDebugINI : public CMLGlobalMutexLock {
  public:
    CMLMutexDebugINI();
    ~CMLMutexDebugINI() override;
};

// Enters the caller's critical section (when not null) for the object's life.
class CMLCriticalSection {
  public:
    explicit CMLCriticalSection(CRITICAL_SECTION* p_pCriticalSection);
    virtual ~CMLCriticalSection();
    CMLCriticalSection(const CMLCriticalSection&) = delete;
    CMLCriticalSection& operator=(const CMLCriticalSection&) = delete;

  private:
    CRITICAL_SECTION* m_pCriticalSection;
};

#endif  // ML_INFRASTRUCTURE_SETTINGS_LOCK_H_
