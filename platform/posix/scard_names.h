// Reader names between the smart-card service's UTF-16 and pcsc-lite's
// UTF-8. Internal to the pcsc-lite service. No allocation; thread-safe.
#ifndef ML_PLATFORM_POSIX_SCARD_NAMES_H_
#define ML_PLATFORM_POSIX_SCARD_NAMES_H_

#include <cstddef>

#include "platform/windef.h"

namespace ml {

// The terminated UTF-16 `text` as terminated UTF-8 in `out` (`capacity`
// bytes). False when `text` is not valid UTF-16 (a lone surrogate) or does
// not fit; `out` is then unspecified.
bool ReaderNameToUtf8(LPCWSTR text, char* out, size_t capacity);

// The UTF-8 `text` (`length` bytes, no terminator needed) as UTF-16 in `out`
// (`capacity` code units; null to count only), without terminator. A bad or
// cut sequence becomes U+FFFD. Returns the code units the whole text needs;
// only the first `capacity` of them are written.
size_t ReaderNameFromUtf8(const char* text, size_t length, WCHAR* out, size_t capacity);

}  // namespace ml

#endif  // ML_PLATFORM_POSIX_SCARD_NAMES_H_
