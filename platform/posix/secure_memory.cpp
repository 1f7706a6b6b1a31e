#include "platform/secure_memory.h"

#include <string.h>

extern "C" {
PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
    // explicit_bzero is never removed as a dead store.
    if (ptr != nullptr && cnt != 0) {
        ::explicit_bzero(ptr, cnt);
    }
    return ptr;
}
}
