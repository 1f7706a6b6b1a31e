// The library's diagnostic texts: SC_DIAG(format, ...) hands one to the hook
// installed with SmartCardSetDiagnosticHook, with the library's fixed leading
// arguments. Nothing is formatted when no hook is installed.
#ifndef ML_MLSMARTCARDX_DIAGNOSTIC_H_
#define ML_MLSMARTCARDX_DIAGNOSTIC_H_

#include "mlsmartcardx/mlsmartcard.h"

namespace mlsmartcard {

SmartCardDiagnosticHook CurrentDiagnosticHook();

}  // namespace mlsmartcard

#define SC_DIAG(...)                                                                    \
    do {                                                                                \
        if (SmartCardDiagnosticHook sc_hook = ::mlsmartcard::CurrentDiagnosticHook()) { \
            sc_hook(0, "mlsmartcard", __LINE__, "smartcard.lib", __VA_ARGS__);          \
        }                                                                               \
    } while (0)

#endif  // ML_MLSMARTCARDX_DIAGNOSTIC_H_
