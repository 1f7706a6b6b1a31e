// The system's message box, called with fixed-width types (system_box.cpp
// is the only file of the component that includes <windows.h>).
#ifndef ML_COMPONENTS_DIALOG_WIN32_SYSTEM_BOX_H_
#define ML_COMPONENTS_DIALOG_WIN32_SYSTEM_BOX_H_

#include <cstdint>

namespace logondm::win32 {

// What ShowSystemBox returns when the time limit closed the box.
inline constexpr int kTimedOut = 32000;

// Shows the box on the interactive desktop and returns the button pressed,
// kTimedOut, or 0 when no box could be shown. `timeoutMs` 0: no limit.
int ShowSystemBox(const char16_t* text, const char16_t* caption, uint32_t type, uint32_t timeoutMs);

// The component's registration under HKEY_CLASSES_ROOT "CLSID\{...}": the
// library's path as InprocServer32 with ThreadingModel "Both". Results are
// HRESULTs.
int32_t RegisterServer(const char16_t* clsid, const char16_t* name);
int32_t UnregisterServer(const char16_t* clsid);

}  // namespace logondm::win32

#endif  // ML_COMPONENTS_DIALOG_WIN32_SYSTEM_BOX_H_
