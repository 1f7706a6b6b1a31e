// The exported functions GetLoginData, SetLoginData and SetLanguage.
//
// Both login-data functions read "CardreaderName" again on every call: a
// name selects the PC/SC path (the card library, directly), no name the
// terminal path (the terminal object of start-up). A failure goes to the
// error queries, which ask the user whether to try again.
//
// SetLoginData works on the caller's strings without copying them; the
// login data that pass through GetLoginData are wiped before it returns.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

#include "frame/error_queries.h"
#include "frame/mlcardmanx_app.h"
#include "include/mlcardmanx.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/trace.h"
#include "mlsmartcardx/mlsmartcard.h"
#include "platform/clock.h"
#include "platform/framework.h"
#include "platform/scard.h"
#include "platform/secure_memory.h"
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace {

// A retry question that could not be shown counts as OK. So that a lasting
// failure does not retry without end while nobody can answer, such retries
// pause and stop after a few in a row.
constexpr int kMaxUnshownQuestions = 3;
constexpr DWORD kUnshownRetryPauseMs = 1000;

// The fields of the login record on a PC/SC card: at most so many
// characters, and the message that refuses a longer value.
struct CardField {
    const char16_t* szName;
    size_t nMaxChars;
    UINT nMessage;
};
constexpr CardField kCardUserName{u"nUserName", 21, ml_frame::kMsgUserNameTooLong};
constexpr CardField kCardDomain{u"nDomain", 16, ml_frame::kMsgDomainTooLong};
constexpr CardField kCardPassword{u"nPassword", 50, ml_frame::kMsgPasswordTooLong};

class CUnshownRetries {
  public:
    explicit CUnshownRetries(std::u16string p_strMethod) : m_strMethod(std::move(p_strMethod)) {}

    // After a question that asked to try again: true to go on (after a
    // pause when it could not be shown), false to give up.
    bool Allow(bool p_bNotShown) {
        if (!p_bNotShown) {
            m_nInARow = 0;
            return true;
        }
        if (++m_nInARow >= kMaxUnshownQuestions) {
            Trace(m_strMethod, theDebugFile.IsTraceOn(), TRUE,
                  {{u"", ml_trace::kText, ml_trace::kError,
                    u"The question could not be shown; giving up."},
                   {u"nUnshownQuestions", ml_trace::kInt, ml_trace::kError, m_nInARow}});
            return false;
        }
        Sleep(kUnshownRetryPauseMs);
        return true;
    }

  private:
    std::u16string m_strMethod;
    int m_nInARow = 0;
};

size_t BoundedLength(const WCHAR* p_sz, size_t p_nMax) {
    size_t n = 0;
    if (p_sz != nullptr) {
        while (n < p_nMax && p_sz[n] != 0) {
            ++n;
        }
    }
    return n;
}

// Copies a text into a caller buffer of ML_LOGIN_BUFFER_CHARS units.
void CopyOut(WCHAR* p_szBuffer, const WCHAR* p_szValue, size_t p_nLength) {
    if (p_szBuffer == nullptr) {
        return;
    }
    size_t n = std::min(p_nLength, static_cast<size_t>(ML_LOGIN_BUFFER_CHARS - 1));
    std::copy_n(p_szValue, n, p_szBuffer);
    p_szBuffer[n] = 0;
}

void CopyOut(WCHAR* p_szBuffer, const std::u16string& p_strValue) {
    CopyOut(p_szBuffer, p_strValue.data(), p_strValue.size());
}

// A terminated array, copied without a temporary string (a password leaves
// no copy in freed memory).
template <size_t N>
void CopyOut(WCHAR* p_szBuffer, const WCHAR (&p_szValue)[N]) {
    CopyOut(p_szBuffer, p_szValue, BoundedLength(p_szValue, N));
}

// Copies a terminated string handed out by the card library into an array
// of `N` units (cut, always terminated), wipes and releases it.
template <size_t N>
bool TakeString(WCHAR* p_szHandedOut, WCHAR (&p_szTarget)[N]) {
    if (p_szHandedOut == nullptr) {
        return false;
    }
    size_t n = BoundedLength(p_szHandedOut, N - 1);
    std::copy_n(p_szHandedOut, n, p_szTarget);
    p_szTarget[n] = 0;
    // The texts (a password among them) leave nothing behind in freed memory.
    SecureZeroMemory(p_szHandedOut, BoundedLength(p_szHandedOut, SIZE_MAX) * sizeof(WCHAR));
    std::free(p_szHandedOut);
    return true;
}

// The error text of a message of the dialog language.
std::u16string MessageText(UINT p_nMessage) {
    return ml_frame::ErrorText(static_cast<int>(p_nMessage),
                               CResHandler::LoadString4DLL(AfxGetInstanceHandle(),
                                                           ml_frame::DialogLanguage(), p_nMessage));
}

// SetLoginData without one of its three values: refused before anything
// else, so that the card is not touched.
bool AllGiven(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword,
              std::u16string& strError) {
    if (p_szUserName != nullptr && p_szDomain != nullptr && p_szPassword != nullptr) {
        return true;
    }
    Trace(u"SetLoginData()", theDebugFile.IsTraceOn(), TRUE,
          {{u"", ml_trace::kText, ml_trace::kError,
            u"A value is missing (null pointer); nothing is written."},
           {u"bUserName", ml_trace::kInt, ml_trace::kError, p_szUserName != nullptr},
           {u"bDomain", ml_trace::kInt, ml_trace::kError, p_szDomain != nullptr},
           {u"bPassword", ml_trace::kInt, ml_trace::kError, p_szPassword != nullptr}});
    strError = MessageText(ml_frame::kMsgWriteFailed);
    return false;
}

// On the PC/SC path a value longer than its field is refused, not cut: a
// cut password would make every later logon fail. The text names the field
// and its limit; the entry gives the lengths, never the value.
bool FitsCardField(const CardField& p_field, LPCWSTR p_szValue, std::u16string& strError) {
    size_t nLength = std::char_traits<char16_t>::length(p_szValue);
    if (nLength <= p_field.nMaxChars) {
        return true;
    }
    Trace(u"SetLoginData()", theDebugFile.IsTraceOn(), TRUE,
          {{u"", ml_trace::kText, ml_trace::kError,
            u"Value longer than its card field; nothing is written."},
           {p_field.szName, ml_trace::kInt, ml_trace::kError, static_cast<int64_t>(nLength)},
           {u"nMaxCharacters", ml_trace::kInt, ml_trace::kError,
            static_cast<int64_t>(p_field.nMaxChars)}});
    strError = MessageText(p_field.nMessage);
    return false;
}

// A terminal path without the terminal object (start-up chose the reader):
// the failure is reported as CT_ERROR.
int NoTerminalObject(const std::u16string& p_strMethod) {
    Trace(p_strMethod, theDebugFile.IsTraceOn(), TRUE,
          {{u"", ml_trace::kText, ml_trace::kError,
            u"The settings name no card reader, but start-up chose the reader: no terminal "
            u"object."}});
    return CT_ERROR;
}

void ReadLoginData(WCHAR (&szUserName)[43], WCHAR (&szDomain)[33], WCHAR (&szPassword)[101],
                   std::u16string& strError) {
    std::u16string strReaderName =
        ml_frame::ReadCardreaderName(u"GetLoginData() - CIniFile::ReadFile() - ERROR");
    CUnshownRetries retries(u"GetLoginData()");
    bool bNotShown = false;
    if (!strReaderName.empty()) {
        for (;;) {
            LPWSTR pUserName = nullptr;
            LPWSTR pDomain = nullptr;
            LPWSTR pPassword = nullptr;
            DWORD dwPasswordCapacity = 0;
            LONG lResult = SmartCardReadFiles(strReaderName.c_str(), &pUserName, &pDomain,
                                              &pPassword, &dwPasswordCapacity, nullptr);
            if (lResult == 0) {
                strError.clear();
                bool bUser = TakeString(pUserName, szUserName);
                bool bDomain = TakeString(pDomain, szDomain);
                bool bPassword = TakeString(pPassword, szPassword);
                if (bUser && bDomain && bPassword) {
                    return;
                }
                lResult = SCARD_E_UNEXPECTED;
            }
            if (!QueryUserOnReadError(lResult, 0, strError, &bNotShown) ||
                !retries.Allow(bNotShown)) {
                return;
            }
        }
    }
    for (;;) {
        int nResult = CT_ERROR;
        if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
            nResult = pTCOSCard->ResetCard();
            if (nResult == CT_OK) {
                nResult = pTCOSCard->ReadFiles(szUserName, szDomain, szPassword);
            }
        } else {
            nResult = NoTerminalObject(u"GetLoginData()");
        }
        if (nResult == CT_OK) {
            strError.clear();
            return;
        }
        if (!QueryUserOnReadError(0, nResult, strError, &bNotShown) || !retries.Allow(bNotShown)) {
            return;
        }
    }
}

// The three values are the caller's own strings, never copied.
void WriteLoginData(LPCWSTR p_szUserName, LPCWSTR p_szDomain, LPCWSTR p_szPassword,
                    std::u16string& strError) {
    if (!AllGiven(p_szUserName, p_szDomain, p_szPassword, strError)) {
        return;
    }
    std::u16string strReaderName =
        ml_frame::ReadCardreaderName(u"SetLoginData() - CIniFile::ReadFile() - ERROR");
    CUnshownRetries retries(u"SetLoginData()");
    bool bNotShown = false;
    if (!strReaderName.empty()) {
        if (!FitsCardField(kCardUserName, p_szUserName, strError) ||
            !FitsCardField(kCardDomain, p_szDomain, strError) ||
            !FitsCardField(kCardPassword, p_szPassword, strError)) {
            return;
        }
        DWORD dwPasswordLength =
            static_cast<DWORD>(std::char_traits<char16_t>::length(p_szPassword));
        for (;;) {
            strError.clear();
            // One session that updates the record in place where it can, so
            // that a card pulled meanwhile never holds a torn record.
            LONG lResult = SmartCardStoreFiles(strReaderName.c_str(), p_szUserName, p_szDomain,
                                               p_szPassword, dwPasswordLength, nullptr);
            if (lResult == 0) {
                strError.clear();
                return;
            }
            if (!QueryUserOnWriteError(lResult, 0, strError, &bNotShown) ||
                !retries.Allow(bNotShown)) {
                return;
            }
        }
    }
    for (;;) {
        strError.clear();
        int nResult = CT_ERROR;
        if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
            nResult = pTCOSCard->GetCardState();
            if (nResult == CT_OK || nResult == CT_NOFILE || nResult == CT_EMPTYFILE) {
                // The terminal cuts and reports a value longer than its file.
                nResult = pTCOSCard->WriteLoginData(p_szUserName, p_szDomain, p_szPassword);
            }
        } else {
            nResult = NoTerminalObject(u"SetLoginData()");
        }
        if (nResult == CT_OK) {
            strError.clear();
            return;
        }
        if (!QueryUserOnWriteError(0, nResult, strError, &bNotShown) || !retries.Allow(bNotShown)) {
            return;
        }
    }
}

}  // namespace

void WINAPI GetLoginData(LPWSTR userName, LPWSTR domain, LPWSTR password, LPWSTR errorText) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    WCHAR szUserName[43] = {};
    WCHAR szDomain[33] = {};
    WCHAR szPassword[101] = {};
    std::u16string strError;
    try {
        ReadLoginData(szUserName, szDomain, szPassword, strError);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** GetLoginData() - Exception ***");
        strError = ml_frame::FailureText(false);
    }
    CopyOut(userName, szUserName);
    CopyOut(domain, szDomain);
    CopyOut(password, szPassword);
    CopyOut(errorText, strError);
    // The login data leave no copy behind on the stack.
    SecureZeroMemory(szUserName, sizeof szUserName);
    SecureZeroMemory(szDomain, sizeof szDomain);
    SecureZeroMemory(szPassword, sizeof szPassword);
}

void WINAPI SetLoginData(LPCWSTR userName, LPCWSTR domain, LPCWSTR password, LPWSTR errorText) {
    CopyOut(errorText, u"");
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    std::u16string strError;
    try {
        WriteLoginData(userName, domain, password, strError);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** SetLoginData() - Exception ***");
        strError = ml_frame::FailureText(true);
    }
    CopyOut(errorText, strError);
}

void WINAPI SetLanguage(DWORD languageId) {
    g_dwLanguageID.store(languageId);
}
