// The CT-API driver as the terminal object binds it: entry point types and
// the fixed values of every call.
//
// The entry points are those of the driver we ship (components/ctapi,
// ct32.so) and of the published CT-API header <ctapi.h>: 16-bit terminal and
// port numbers, a 16-bit command length and a 16-bit response length `lenr`
// (the size of the response buffer on entry, the response length on return),
// and a signed 8-bit result (0 = OK). The result type is spelled int8_t, not
// char, so that the driver's negative codes compare as they are meant on
// every platform.
#ifndef ML_TERMINAL_CT_DRIVER_H_
#define ML_TERMINAL_CT_DRIVER_H_

#include <cstddef>
#include <cstdint>

#include "platform/windef.h"

using PFN_CT_init = int8_t(WINAPI*)(uint16_t ctn, uint16_t pn);
using PFN_CT_data = int8_t(WINAPI*)(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc,
                                    uint8_t* command, uint16_t* lenr, uint8_t* response);
using PFN_CT_close = int8_t(WINAPI*)(uint16_t ctn);
// Not part of the published CT-API; optional.
using PFN_CT_SetTraceOptions = void(WINAPI*)(int level, int destination);
// Extensions of our driver, optional: the card commands between the two calls
// run without another application's commands between them.
using PFN_CT_Transaction = int8_t(WINAPI*)(uint16_t ctn);

namespace ml_ct {

// The terminal number every call uses.
inline constexpr int kTerminalNumber = 1;

// Addresses: the card (ICC 1), the terminal itself, the host.
inline constexpr uint8_t kDadCard = 0;
inline constexpr uint8_t kDadTerminal = 1;
inline constexpr uint8_t kSadHost = 2;

// Buffers of every CT_data call.
inline constexpr size_t kCommandBufferSize = 300;
inline constexpr size_t kResponseBufferSize = 500;

// The driver's file name without the library suffix ("ct32.so", "ct32.dll").
inline constexpr char16_t kDriverBaseName[] = u"ct32";

}  // namespace ml_ct

#endif  // ML_TERMINAL_CT_DRIVER_H_
