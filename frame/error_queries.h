// The questions to the user after a failed card operation.
//
// QueryUserOnReadError (after a failed read) and QueryUserOnWriteError (after
// a failed write) log the failure, show the matching message through
// CHelper::MessageBoxNoIcon in the language of SetLanguage (else the
// configured one) and tell the caller whether to try again:
//
//   failure                                            read  write  box
//   SCARD_W_REMOVED_CARD or CT_NOCARD                   18    58    OK/Cancel
//   SCARD_W_UNRESPONSIVE_CARD or CT_FOULCARD            19    19    OK/Cancel
//   SCARD_E_UNKNOWN_CARD or CT_WRONGVERSION             20    20    OK
//   anything else                                       57    14    OK
//
// The caption is message 24. `p_strErrorText` becomes "<number> <text>",
// with -1 as the number when the user cancelled; after an exception inside
// the query it is the general failure text (FailureText), never empty. The result is true (try
// again) only for an OK/Cancel question not answered with Cancel; a question
// that could not be shown counts as OK, and `p_pbNotShown` (optional) tells
// the caller so, so that it can bound such retries.
//
// The failure arrives as a PC/SC result or as a CT result code, the other
// one 0. While the box is up the supervision timer of the card object
// concerned is stopped; right after it, that object runs one supervision
// pass, which re-arms its timer.
//
// Threads: the thread that loaded the module (it owns the card objects'
// timers). Blocks while the box is up.
#ifndef ML_FRAME_ERROR_QUERIES_H_
#define ML_FRAME_ERROR_QUERIES_H_

#include <string>

#include "platform/windef.h"

bool QueryUserOnReadError(LONG lSCardError, int nCTResult, std::u16string& strErrorText,
                          bool* p_pbNotShown = nullptr);
bool QueryUserOnWriteError(LONG lSCardError, int nCTResult, std::u16string& strErrorText,
                           bool* p_pbNotShown = nullptr);

namespace ml_frame {

// Message numbers of the user texts (language libraries).
inline constexpr UINT kMsgReadNoCard = 18;
inline constexpr UINT kMsgWriteNoCard = 58;
inline constexpr UINT kMsgUnusableCard = 19;
inline constexpr UINT kMsgUnknownCard = 20;
inline constexpr UINT kMsgReadFailed = 57;
inline constexpr UINT kMsgWriteFailed = 14;
inline constexpr UINT kMsgCaption = 24;
// SetLoginData on the PC/SC path: a value longer than its card field.
inline constexpr UINT kMsgUserNameTooLong = 25;
inline constexpr UINT kMsgDomainTooLong = 26;
inline constexpr UINT kMsgPasswordTooLong = 27;

// Message-box types: the retry question (system modal, exclamation, OK and
// Cancel) and the notice (system modal, stop icon, OK).
inline constexpr UINT kTypeRetryQuestion = 0x1031;
inline constexpr UINT kTypeNotice = 0x1010;

// The language of the dialog texts: the low 16 bits of the SetLanguage
// value, else the configured language.
WORD DialogLanguage();

// "%d %s" of a number and a text.
std::u16string ErrorText(int p_nNumber, const std::u16string& p_strText);

// The error text of the general failure of a read (57) or a write (14), for
// a call that ended in an exception. Never empty and never throws: without
// its text it is the number alone ("14 ").
std::u16string FailureText(bool p_bWrite) noexcept;

}  // namespace ml_frame

#endif  // ML_FRAME_ERROR_QUERIES_H_
