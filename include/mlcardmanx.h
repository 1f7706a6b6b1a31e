/* mlcardmanx: the smart-card module of Morlind Logon, as a host sees it.
 *
 * A host loads the module (libmlcardmanx.so) on one thread and runs a message
 * loop on that thread for as long as the module stays loaded:
 *
 *     HMODULE module = LoadLibraryW(u"/usr/lib/mlcardmanx/libmlcardmanx.so");
 *     MSG msg;
 *     while (GetMessageW(&msg, NULL, 0, 0) > 0) {
 *         if (msg.message == WM_COMMAND) { ...handle the notice... }
 *         DispatchMessageW(&msg);   // drives the module's timers
 *     }
 *     FreeLibrary(module);
 *
 * The module watches its card device with thread timers of that thread and
 * posts a WM_COMMAND thread message to it for every change:
 *
 *   wParam           lParam
 *   CARD_INSERTED    address of the module's LoginDataBlock: copy the three
 *                    strings at once, while handling the notice; do not keep
 *                    or free the address (the block is rewritten by later
 *                    passes, and it goes with the module: notices still
 *                    queued when the module is unloaded must be dropped)
 *   CARD_REMOVED     0
 *   CARD_ERROR       0   the card could not be read
 *   CARD_UNKNOWN     0   a card of an unknown kind is present
 *
 * With CARD_INSERTED the module sets the machine-wide manual-reset event
 * ML_EVENT_LOGON_IN_PROCESS, with CARD_REMOVED the event
 * ML_EVENT_LOGOFF_IN_PROCESS. While either is set, further insert and remove
 * notices wait (CARD_ERROR and CARD_UNKNOWN do not). Whoever completes the
 * logon or logoff resets its event (OpenEventW/CreateEventW, ResetEvent,
 * CloseHandle); the module only ever sets them.
 *
 * The exported functions are called on the loading thread. Their string
 * buffers hold ML_LOGIN_BUFFER_CHARS UTF-16 units; the outcome is the error
 * text: empty on success, else "<message number> <message text>" with -1 as
 * the number when the user cancelled.
 *
 * GetLoginData and SetLoginData may block: after a failed card operation
 * they ask the user in a message box and wait for the answer. A card that
 * is missing or does not answer gets an OK/Cancel question; OK tries again,
 * for as long as the user answers OK. Any other failure gets a notice with
 * OK alone and ends the call. A question that cannot be shown (no dialog
 * component, or neither a desktop nor a terminal to show it on) counts as
 * OK: the call pauses 1 s and tries again, and gives up at the third such
 * question in a row.
 *
 * Null buffers: a null output buffer of GetLoginData (any of the four) or
 * a null error-text buffer of SetLoginData is left alone; the call runs as
 * usual and only that text is not handed out. A text longer than a buffer
 * is cut to ML_LOGIN_BUFFER_CHARS - 1 units; every text handed out is
 * terminated.
 */
#ifndef MLCARDMANX_H_
#define MLCARDMANX_H_

#include "platform/handle.h"
#include "platform/library.h"
#include "platform/message.h"
#include "platform/named_objects.h"
#include "platform/windef.h"

/* wParam of the WM_COMMAND notices. */
#define CARD_INSERTED 0x0401
#define CARD_REMOVED 0x0402
#define CARD_ERROR 0x0403
#define CARD_UNKNOWN 0x0404

#define ML_EVENT_LOGON_IN_PROCESS u"Global\\mlevent_logoninprocess"
#define ML_EVENT_LOGOFF_IN_PROCESS u"Global\\mlevent_logoffinprocess"

/* Capacity of each caller buffer of GetLoginData and SetLoginData's error
 * text, in UTF-16 units including the terminator. */
#define ML_LOGIN_BUFFER_CHARS 1024

/* The login data of one card, each field terminated. */
typedef struct LoginDataBlock {
    WCHAR szUserName[43];
    WCHAR szDomain[33];
    WCHAR szPassword[101];
} LoginDataBlock;

#if defined(MLCARDMANX_BUILD)
#define MLCARDMANX_API ML_EXPORT
#else
#define MLCARDMANX_API
#endif

ML_EXTERN_C_BEGIN
/* Reads the login data from the card. */
MLCARDMANX_API void WINAPI GetLoginData(LPWSTR userName, LPWSTR domain, LPWSTR password,
                                        LPWSTR errorText);
/* Writes new login data to the card. Nothing is written when a value is
 * missing (null; error text of message 14) or, on a PC/SC reader, longer
 * than its card field: 21, 16 and 50 characters (messages 25, 26 and 27). A
 * CT-API terminal cuts longer values to its files and logs the cut. */
MLCARDMANX_API void WINAPI SetLoginData(LPCWSTR userName, LPCWSTR domain, LPCWSTR password,
                                        LPWSTR errorText);
/* Sets the language of the module's dialogs (a Windows language identifier
 * such as 1033 or 1031; 0 = the configured language). */
MLCARDMANX_API void WINAPI SetLanguage(DWORD languageId);
ML_EXTERN_C_END

/* For hosts that bind the exports at run time (GetProcAddress). */
typedef void(WINAPI* PFN_GetLoginData)(LPWSTR, LPWSTR, LPWSTR, LPWSTR);
typedef void(WINAPI* PFN_SetLoginData)(LPCWSTR, LPCWSTR, LPCWSTR, LPWSTR);
typedef void(WINAPI* PFN_SetLanguage)(DWORD);

#endif /* MLCARDMANX_H_ */
