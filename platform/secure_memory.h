/* Wiping memory that held a secret: a password, a PIN, a login record or a
 * card answer carrying one.
 *
 * SecureZeroMemory zeroes `cnt` bytes at `ptr` and returns `ptr`. Unlike a
 * memset, the compiler keeps it even when the memory is freed, goes out of
 * scope or ends its lifetime right after (a member wiped at the end of a
 * destructor, a buffer on the stack before the function returns). Every
 * secret the module holds is wiped with it before its memory is given back.
 *
 * Differences from Windows: none in behaviour. The system headers define
 * SecureZeroMemory as an inline function, which no file above the platform
 * layer may include; platform/win32/ gives the same stores through a
 * volatile pointer, as the system's inline does.
 *
 * Thread safety: as for any write to the memory given.
 */
#ifndef ML_PLATFORM_SECURE_MEMORY_H_
#define ML_PLATFORM_SECURE_MEMORY_H_

#include "platform/windef.h"

ML_EXTERN_C_BEGIN
ML_PLATFORM_API PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_SECURE_MEMORY_H_ */
