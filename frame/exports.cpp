// The exported functions GetLoginData, SetLoginData and SetLanguage.
//
// Both login-data functions read "CardreaderName" again on every call: a
// name selects the PC/SC path (the card library, directly), no name the
// terminal path (the terminal object of start-up). A failure goes to the
// error queries, which ask the user whether to try again.
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
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace {

// A retry question that could not be shown counts as OK. So that a lasting
// failure does not retry without end while nobody can answer, such retries
// pause and stop after a few in a row.
constexpr int kMaxUnshownQuestions = 3;
constexpr DWORD kUnshownRetryPauseMs = 1000;

// Field lengths of the login files on a TCOS card, in characters.
constexpr size_t kCardUserNameChars = 21;
constexpr size_t kCardDomainChars = 16;
constexpr size_t kCardPasswordChars = 50;

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
                  {{u"", 3, u"[ERROR]", u"The question could not be shown; giving up."},
                   {u"nUnshownQuestions", 0, u"[ERROR]", m_nInARow}});
            return false;
        }
        Sleep(kUnshownRetryPauseMs);
        return true;
    }

  private:
    std::u16string m_strMethod;
    int m_nInARow = 0;
};

// Zeroes characters in a way the compiler keeps.
void Wipe(WCHAR* p_sz, size_t p_nCount) {
    volatile WCHAR* p = p_sz;
    for (size_t i = 0; i < p_nCount; ++i) {
        p[i] = 0;
    }
}

size_t BoundedLength(const WCHAR* p_sz, size_t p_nMax) {
    size_t n = 0;
    if (p_sz != nullptr) {
        while (n < p_nMax && p_sz[n] != 0) {
            ++n;
        }
    }
    return n;
}

// Copies a string into a caller buffer of ML_LOGIN_BUFFER_CHARS units.
void CopyOut(WCHAR* p_szBuffer, const std::u16string& p_strValue) {
    if (p_szBuffer == nullptr) {
        return;
    }
    size_t n = std::min(p_strValue.size(), static_cast<size_t>(ML_LOGIN_BUFFER_CHARS - 1));
    std::copy_n(p_strValue.data(), n, p_szBuffer);
    p_szBuffer[n] = 0;
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
    Wipe(p_szHandedOut, BoundedLength(p_szHandedOut, SIZE_MAX));
    std::free(p_szHandedOut);
    return true;
}

std::u16string Input(LPCWSTR p_sz) {
    return p_sz == nullptr ? std::u16string() : std::u16string(p_sz);
}

// Cuts one value to its card field on the terminal path, as the card would
// store it, and reports the cut (never the value).
std::u16string CutToField(const std::u16string& p_strValue, size_t p_nMax,
                          const char16_t* p_szName) {
    if (p_strValue.size() <= p_nMax) {
        return p_strValue;
    }
    Trace(u"SetLoginData()", theDebugFile.IsTraceOn(), TRUE,
          {{u"", 3, u"[INFO]", u"Value longer than its card file; it is cut."},
           {p_szName, 0, u"[INFO]", static_cast<int64_t>(p_strValue.size())},
           {u"nStoredCharacters", 0, u"[INFO]", static_cast<int64_t>(p_nMax)}});
    return p_strValue.substr(0, p_nMax);
}

// A terminal path without the terminal object (start-up chose the reader):
// the failure is reported as CT_ERROR.
int NoTerminalObject(const std::u16string& p_strMethod) {
    Trace(p_strMethod, theDebugFile.IsTraceOn(), TRUE,
          {{u"", 3, u"[ERROR]",
            u"The settings name no card reader, but start-up chose the reader: no terminal "
            u"object."}});
    return CT_ERROR;
}

// The error text after an exception: the general failure message.
std::u16string ExceptionText(bool p_bWrite) {
    int nNumber = static_cast<int>(p_bWrite ? ml_frame::kMsgWriteFailed : ml_frame::kMsgReadFailed);
    try {
        return ml_frame::ErrorText(
            nNumber, CResHandler::LoadString4DLL(AfxGetInstanceHandle(), ml_frame::DialogLanguage(),
                                                 static_cast<UINT>(nNumber)));
    } catch (...) {
        return std::u16string(u"-1 ");
    }
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

void WriteLoginData(const std::u16string& strUserName, const std::u16string& strDomain,
                    const std::u16string& strPassword, std::u16string& strError) {
    std::u16string strReaderName =
        ml_frame::ReadCardreaderName(u"SetLoginData() - CIniFile::ReadFile() - ERROR");
    CUnshownRetries retries(u"SetLoginData()");
    bool bNotShown = false;
    if (!strReaderName.empty()) {
        for (;;) {
            strError.clear();
            // One session that updates the record in place where it can, so
            // that a card pulled meanwhile never holds a torn record.
            LONG lResult = SmartCardStoreFiles(strReaderName.c_str(), strUserName.c_str(),
                                               strDomain.c_str(), strPassword.c_str(),
                                               static_cast<DWORD>(strPassword.size()), nullptr);
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
    std::u16string strCardUserName = CutToField(strUserName, kCardUserNameChars, u"nUserName");
    std::u16string strCardDomain = CutToField(strDomain, kCardDomainChars, u"nDomain");
    std::u16string strCardPassword = CutToField(strPassword, kCardPasswordChars, u"nPassword");
    for (;;) {
        strError.clear();
        int nResult = CT_ERROR;
        if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
            nResult = pTCOSCard->GetCardState();
            if (nResult == CT_OK || nResult == CT_NOFILE || nResult == CT_EMPTYFILE) {
                nResult = pTCOSCard->WriteLoginData(strCardUserName.c_str(), strCardDomain.c_str(),
                                                    strCardPassword.c_str());
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
        strError = ExceptionText(false);
    }
    CopyOut(userName, szUserName);
    CopyOut(domain, szDomain);
    CopyOut(password, szPassword);
    CopyOut(errorText, strError);
    // The password leaves no copy behind on the stack.
    Wipe(szPassword, std::size(szPassword));
}

void WINAPI SetLoginData(LPCWSTR userName, LPCWSTR domain, LPCWSTR password, LPWSTR errorText) {
    CopyOut(errorText, std::u16string());
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    std::u16string strError;
    try {
        WriteLoginData(Input(userName), Input(domain), Input(password), strError);
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** SetLoginData() - Exception ***");
        strError = ExceptionText(true);
    }
    CopyOut(errorText, strError);
}

void WINAPI SetLanguage(DWORD languageId) {
    g_dwLanguageID.store(languageId);
}
