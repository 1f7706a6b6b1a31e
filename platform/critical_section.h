// In-process critical sections, re-entrant as on Windows: the owning thread
// may enter again and must leave as often as it entered.
#ifndef ML_PLATFORM_CRITICAL_SECTION_H_
#define ML_PLATFORM_CRITICAL_SECTION_H_

#include <mutex>

#include "platform/windef.h"

struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};

inline void InitializeCriticalSection(CRITICAL_SECTION*) {}
inline void DeleteCriticalSection(CRITICAL_SECTION*) {}
inline void EnterCriticalSection(CRITICAL_SECTION* cs) {
    cs->mutex.lock();
}
inline void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    cs->mutex.unlock();
}

#endif  // ML_PLATFORM_CRITICAL_SECTION_H_
