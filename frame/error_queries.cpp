#include "frame/error_queries.h"

#include "components/dialog/logondm.h"
#include "frame/helper.h"
#include "frame/mlcardmanx_app.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/trace.h"
#include "mlsmartcardx/smart_card.h"
#include "platform/framework.h"
#include "platform/scard.h"
#include "terminal/ct_result.h"
#include "terminal/tcos_card.h"

namespace {

constexpr char16_t kCTResultTable[] =
    u"(CT_ERROR=-1, CT_OK=0, CT_NOCARD=1, CT_FOULCARD=2, CT_NOFILE=4, CT_EMPTYFILE=5, "
    u"CT_FILEERROR=6, CT_NODELETE=7, CT_FILEEXISTS=8, CT_FILETOOSHORT=10, "
    u"CT_WRONGVERSION=11)";

// U.S. English, the language of the PC/SC error texts in the debug log.
constexpr DWORD kLanguageUSEnglish = 1033;

struct Choice {
    UINT nMessage;
    UINT nType;
};

Choice ChooseMessage(bool p_bWrite, LONG lSCardError, int nCTResult) {
    using namespace ml_frame;
    if (lSCardError == SCARD_W_REMOVED_CARD || nCTResult == CT_NOCARD) {
        return {p_bWrite ? kMsgWriteNoCard : kMsgReadNoCard, kTypeRetryQuestion};
    }
    if (lSCardError == SCARD_W_UNRESPONSIVE_CARD || nCTResult == CT_FOULCARD) {
        return {kMsgUnusableCard, kTypeRetryQuestion};
    }
    if (lSCardError == SCARD_E_UNKNOWN_CARD || nCTResult == CT_WRONGVERSION) {
        return {kMsgUnknownCard, kTypeNotice};
    }
    return {p_bWrite ? kMsgWriteFailed : kMsgReadFailed, kTypeNotice};
}

bool QueryUser(bool p_bWrite, LONG lSCardError, int nCTResult, std::u16string& strErrorText,
               bool* p_pbNotShown) {
    const std::u16string strMethod =
        p_bWrite ? u"QueryUserOnWriteError()" : u"QueryUserOnReadError()";
    bool bResult = false;
    if (p_pbNotShown != nullptr) {
        *p_pbNotShown = false;
    }
    try {
        if (lSCardError != 0) {
            if (CSmartCard* pSmartCard = g_pSmartCard) {
                pSmartCard->StopSuperviseTimer();
            }
            BOOL bTrace = theDebugFile.IsTraceOn();
            ml_trace::Separator(bTrace, false);
            std::u16string strSystemText = CCmnErrorHandler::GetSystemErrorText(
                static_cast<DWORD>(lSCardError), kLanguageUSEnglish);
            Trace(strMethod, bTrace, FALSE,
                  {{u"Error Number (SmartCard)", ml_trace::kHex, ml_trace::kInfo, lSCardError},
                   {u"Error Text   (SmartCard)", ml_trace::kText, ml_trace::kInfo, strSystemText}});
        }
        if (nCTResult != 0) {
            if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
                pTCOSCard->StopSuperviseTimer();
            }
            BOOL bTrace = theDebugFile.IsTraceOn();
            ml_trace::Separator(bTrace, false);
            Trace(strMethod, bTrace, FALSE,
                  {{u"Error Number (TCOSCard)", ml_trace::kInt, ml_trace::kInfo, nCTResult},
                   {u"", ml_trace::kText, ml_trace::kInfo, kCTResultTable}});
        }

        WORD wLanguage = ml_frame::DialogLanguage();
        Choice choice = ChooseMessage(p_bWrite, lSCardError, nCTResult);
        HINSTANCE hInstance = AfxGetInstanceHandle();
        std::u16string strText = CResHandler::LoadString4DLL(hInstance, wLanguage, choice.nMessage);
        std::u16string strCaption =
            CResHandler::LoadString4DLL(hInstance, wLanguage, ml_frame::kMsgCaption);

        CHelper helper;
        LONG lAnswer = helper.MessageBoxNoIcon(nullptr, strText, strCaption, choice.nType);
        int nNumber = static_cast<int>(choice.nMessage);
        if (choice.nType == ml_frame::kTypeRetryQuestion) {
            if (lAnswer == IDCANCEL) {
                nNumber = -1;
            } else {
                bResult = true;
                if (lAnswer == -1 && p_pbNotShown != nullptr) {
                    *p_pbNotShown = true;
                }
            }
        }
        strErrorText = ml_frame::ErrorText(nNumber, strText);
    } catch (...) {
        // An empty text would tell the host that the operation succeeded.
        bResult = false;
        strErrorText = ml_frame::FailureText(p_bWrite);
        CCmnErrorHandler::LogLastError(u"*** " + strMethod.substr(0, strMethod.size() - 2) +
                                       u"() - Exception ***");
    }

    // The card object concerned looks at its device at once; its pass
    // re-arms the polling timer.
    if (lSCardError != 0) {
        if (CSmartCard* pSmartCard = g_pSmartCard) {
            pSmartCard->SuperviseCard();
        }
    }
    if (nCTResult != 0) {
        if (CTCOSCard* pTCOSCard = g_pTCOSCard) {
            pTCOSCard->TCOSSuperviseCard();
        }
    }
    return bResult;
}

}  // namespace

namespace ml_frame {

WORD DialogLanguage() {
    WORD wLanguage = mlconfigx::c_wDefaultLanguageID;
    DWORD dwOverride = g_dwLanguageID.load();
    if (dwOverride != 0) {
        wLanguage = static_cast<WORD>(dwOverride & 0xFFFF);
    } else {
        std::u16string strName = mlconfigx::c_szDefaultLanguageName;
        char16_t cLetter = mlconfigx::c_chDefaultLanguageLetter;
        WORD wPrimary = 9;
        CResHandler::GetCurrentLanguage(strName, wLanguage, cLetter, wPrimary);
    }
    return wLanguage;
}

std::u16string ErrorText(int p_nNumber, const std::u16string& p_strText) {
    return ml_infra::FormatDec(p_nNumber) + u" " + p_strText;
}

std::u16string FailureText(bool p_bWrite) noexcept {
    const UINT nNumber = p_bWrite ? kMsgWriteFailed : kMsgReadFailed;
    try {
        return ErrorText(
            static_cast<int>(nNumber),
            CResHandler::LoadString4DLL(AfxGetInstanceHandle(), DialogLanguage(), nNumber));
    } catch (...) {
        // Short enough to need no allocation.
        return p_bWrite ? u"14 " : u"57 ";
    }
}

}  // namespace ml_frame

bool QueryUserOnReadError(LONG lSCardError, int nCTResult, std::u16string& strErrorText,
                          bool* p_pbNotShown) {
    return QueryUser(false, lSCardError, nCTResult, strErrorText, p_pbNotShown);
}

bool QueryUserOnWriteError(LONG lSCardError, int nCTResult, std::u16string& strErrorText,
                           bool* p_pbNotShown) {
    return QueryUser(true, lSCardError, nCTResult, strErrorText, p_pbNotShown);
}
