// The system's SecureZeroMemory is an inline of <windows.h>, which would
// clash with this definition; these are the same volatile stores.
#include "platform/secure_memory.h"

extern "C" {
PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(ptr);
    while (bytes != nullptr && cnt-- > 0) {
        *bytes++ = 0;
    }
    return ptr;
}
}
