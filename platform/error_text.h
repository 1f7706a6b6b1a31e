/* System error texts (stand-in for FormatMessageW from the system table).
 *
 * Known codes: errno values (strerror_r's text), the PC/SC results of
 * scard.h (the texts Windows gives them), the ML_ERROR_* codes of lasterror.h (for the two
 * loader codes: the loader's text of the thread's last failure), and the
 * HRESULTs of windef.h and com.h. An unknown code fails, so that callers can
 * fall back as they see fit.
 *
 * Windows: the system's table (FormatMessageW of kernel32); it has no texts
 * for the PC/SC codes under Wine.
 */
#ifndef ML_PLATFORM_ERROR_TEXT_H_
#define ML_PLATFORM_ERROR_TEXT_H_

#include <stdarg.h>

#include "platform/windef.h"

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

ML_EXTERN_C_BEGIN
/* Only FORMAT_MESSAGE_FROM_SYSTEM (with or without IGNORE_INSERTS and
 * MAX_WIDTH_MASK) is supported; source and arguments are ignored. Every
 * language is answered with the same (English) texts. Copies the text of
 * `messageId` into `buffer` (at most size - 1 characters and a terminator);
 * with MAX_WIDTH_MASK line breaks become blanks, otherwise the text ends with
 * "\r\n" as on Windows. Returns the number of characters written, 0 on
 * failure (unknown code: ERROR_MR_MID_NOT_FOUND's stand-in
 * ML_ERROR_INVALID_PARAMETER; buffer too small: ML_ERROR_INSUFFICIENT_BUFFER). */
ML_PLATFORM_API DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId,
                                            DWORD languageId, LPWSTR buffer, DWORD size,
                                            va_list* arguments);
ML_EXTERN_C_END

#endif /* ML_PLATFORM_ERROR_TEXT_H_ */
