// explicit_bzero, which the C library of Windows lacks: a wipe through a
// volatile pointer, which the compiler keeps. Included ahead of every file
// of the host on Windows.
#ifndef ML_HOST_WIN32_WIPE_H_
#define ML_HOST_WIN32_WIPE_H_

#include <stddef.h>

static inline void explicit_bzero(void* data, size_t size) {
    volatile unsigned char* bytes = (volatile unsigned char*)data;
    while (size-- > 0)
        *bytes++ = 0;
}

#endif  // ML_HOST_WIN32_WIPE_H_
