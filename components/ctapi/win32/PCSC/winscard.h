/* The smart-card service of Windows under the name the driver includes on
 * Linux (pcsc-lite's <PCSC/winscard.h>, whose API is WinSCard's). */
#ifndef ML_COMPONENTS_CTAPI_WIN32_PCSC_WINSCARD_H_
#define ML_COMPONENTS_CTAPI_WIN32_PCSC_WINSCARD_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winscard.h>

#endif
