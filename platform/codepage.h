/* Code pages: UTF-16 to and from the process's "ANSI" code page and UTF-8.
 *
 * POSIX: the ANSI code page is the character set of the process locale,
 * taken from LC_ALL, LC_CTYPE or LANG (the first one set and not empty) at
 * each call, without setlocale, which a library must not change. A locale
 * without a character set in its name ("de_DE") has the set of the
 * installed locale, or else the one Debian's list of supported locales
 * gives it. Every set a Debian locale can name is known; one Windows has no
 * number for gets one of this module's own (59001 and up). The "C" and
 * "POSIX" locales count as UTF-8 (their 7-bit set would turn every
 * non-English name in the logs into question marks); an unknown set counts
 * as UTF-8 too and is reported by UnknownAnsiCharset. Conversion uses iconv. Characters without a
 * mapping in the target set become "?" (the default character); invalid input (a lone surrogate, a
 * bad byte sequence) also becomes "?" resp. U+FFFD.
 *
 * Code page numbers as on Windows: CP_ACP (0) is the ANSI code page, CP_UTF8
 * 65001, and explicit ones such as 1252, 932 (Shift_JIS), 936 (GBK), 949
 * (EUC-KR/UHC), 950 (Big5), 28591 (ISO 8859-1) are accepted too.
 *
 * IsDBCSLeadByte is true only in the double-byte sets 932, 936, 949, 950,
 * 951 (Big5-HKSCS) and 54936 (GB18030, whose four-byte sequences are two
 * such pairs);
 * UTF-8 and single-byte sets have no lead bytes, as Windows treats its UTF-8
 * code page.
 *
 * Thread safety: all functions may be called from any thread.
 *
 * Windows: the system's conversions and its ANSI code page (GetACP).
 */
#ifndef ML_PLATFORM_CODEPAGE_H_
#define ML_PLATFORM_CODEPAGE_H_

#include "platform/windef.h"

#define CP_ACP 0u
#define CP_UTF8 65001u

ML_EXTERN_C_BEGIN
/* The Windows number of the ANSI code page (65001 for UTF-8). */
ML_PLATFORM_API UINT WINAPI GetACP(void);
ML_PLATFORM_API BOOL WINAPI IsDBCSLeadByte(BYTE testChar);
ML_PLATFORM_API BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE testChar);
/* Windows semantics: srcLen -1 converts up to and including the terminator;
 * dstLen 0 returns the size needed; a destination too small fails with
 * ML_ERROR_INSUFFICIENT_BUFFER and returns 0. `defaultChar` and
 * `usedDefaultChar` may be NULL; a default character other than "?" is
 * honoured for single-byte sets only. Flags are ignored. */
ML_PLATFORM_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen,
                                               LPSTR dst, int dstLen, LPCSTR defaultChar,
                                               BOOL* usedDefaultChar);
ML_PLATFORM_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen,
                                               LPWSTR dst, int dstLen);
ML_EXTERN_C_END

#ifdef __cplusplus
#include <string>
#include <string_view>
namespace ml {
ML_PLATFORM_API std::string ToUtf8(std::u16string_view text);
ML_PLATFORM_API std::u16string FromUtf8(std::string_view text);
// To and from the ANSI code page (CP_ACP).
ML_PLATFORM_API std::string ToAnsi(std::u16string_view text);
// The same, false when the text cannot be converted at all (as opposed to
// characters replaced by "?").
ML_PLATFORM_API bool ToAnsi(std::u16string_view text, std::string& out);
// The character set the locale variables name when it is not known here
// (the ANSI code page is then UTF-8); empty when it is known.
ML_PLATFORM_API std::string UnknownAnsiCharset();
ML_PLATFORM_API std::u16string FromAnsi(std::string_view text);
}  // namespace ml
#endif

#endif /* ML_PLATFORM_CODEPAGE_H_ */
