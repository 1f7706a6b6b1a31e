#include "frame/helper.h"

#include <random>

#include "components/dialog/logondm.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/log_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/trace.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/lasterror.h"

namespace {

// In-process server, in-process handler, local server, remote server.
constexpr DWORD kLogonDMContext = 0x17;

// A fresh challenge: two 15-bit values of a generator seeded from the
// platform clock's seconds, the first shifted left by 16 bits. The generator
// is the module's own, so the host's rand() sequence is left alone.
DWORD MakeChallenge() {
    std::minstd_rand0 generator(static_cast<std::minstd_rand0::result_type>(
        (GetTickCount64() / 1000) % std::minstd_rand0::modulus));
    DWORD high = static_cast<DWORD>(generator() & 0x7FFF);
    DWORD low = static_cast<DWORD>(generator() & 0x7FFF);
    return (high << 16) | low;
}

// A BSTR copy of a string, freed when the object goes.
class CBstr {
  public:
    explicit CBstr(const std::u16string& p_strText)
        : m_bstr(SysAllocStringLen(p_strText.c_str(), static_cast<UINT>(p_strText.size()))) {}
    ~CBstr() { SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR Get() const { return m_bstr; }

  private:
    BSTR m_bstr;
};

}  // namespace

CHelper::CHelper() = default;
CHelper::~CHelper() = default;

void CHelper::SetResourceHandle(HINSTANCE p_hInstance) {
    const std::u16string strMethodError = u"*** CHelper::SetResourceHandle() - Error ***";
    const std::u16string strMethodException = u"*** CHelper::SetResourceHandle() - Exception ***";
    try {
        std::u16string strLanguageName = mlconfigx::c_szDefaultLanguageName;
        WORD wWindowsLangID = mlconfigx::c_wDefaultLanguageID;
        char16_t cMorlindLangID = mlconfigx::c_chDefaultLanguageLetter;
        WORD wPrimaryLangID = 9;
        CResHandler::GetCurrentLanguage(strLanguageName, wWindowsLangID, cMorlindLangID,
                                        wPrimaryLangID);
        if (CResHandler::SetResourcehandle4MFCDLL(p_hInstance, wWindowsLangID) == nullptr) {
            std::u16string strError = ml_infra::FormatS(
                u"Resource-DLL not found! (Language ID: %s, '%s')",
                {ml_infra::FormatDec(wWindowsLangID),
                 CResHandler::GetNameOfLanguageDLL4DLL(p_hInstance, wWindowsLangID)});
            CCmnErrorHandler::LogError(strMethodError, strError, 0);
        }
    } catch (...) {
        CCmnErrorHandler::LogLastError(strMethodException);
    }
}

LONG CHelper::MessageBoxNoIcon(HWND p_hwndParent, std::u16string p_strText,
                               std::u16string p_strCaption, UINT p_nType) {
    const std::u16string strMethod = u"CHelper::MessageBoxNoIcon()";
    LONG lDlgRetVal = -1;
    HRESULT hr = S_OK;
    ILogonDM* pILogonDM = nullptr;
    HRESULT hrInit = E_FAIL;
    try {
        BOOL bTrace = theDebugFile.IsTraceOn();
        ml_trace::Separator(bTrace, false);
        Trace(strMethod, bTrace, FALSE,
              {{u"p_hwndParent", ml_trace::kInt, u"[IN]", reinterpret_cast<intptr_t>(p_hwndParent)},
               {u"p_strText", ml_trace::kText, u"[IN]", p_strText},
               {u"p_strCaption", ml_trace::kText, u"[IN]", p_strCaption},
               {u"p_nType", ml_trace::kInt, u"[IN]", p_nType}});

        hrInit = CoInitialize(nullptr);
        hr = CoCreateInstance(CLSID_LogonDM, nullptr, kLogonDMContext, IID_ILogonDM,
                              reinterpret_cast<void**>(&pILogonDM));
        if (SUCCEEDED(hr) && pILogonDM != nullptr) {
            std::u16string strErrorText;
            DWORD dwErrorNumber = 0;
            DWORD dwChallenge = MakeChallenge();
            DWORD dwIdent =
                CHelperFunctions::IdentMLDM(dwChallenge, 0, strErrorText, dwErrorNumber);
            if (dwErrorNumber == 0) {
                CBstr bstrText(p_strText);
                CBstr bstrCaption(p_strCaption);
                hr = pILogonDM->ShowMessageBox(dwChallenge, dwIdent, -1, p_hwndParent,
                                               bstrText.Get(), bstrCaption.Get(), p_nType,
                                               &lDlgRetVal);
            } else {
                bTrace = theDebugFile.IsTraceOn();
                ml_trace::Separator(bTrace, false);
                Trace(
                    u"*** CHelper::MessageBoxNoIcon() - CHelperFunctions::IdentMLDM() - "
                    u"Error ***",
                    bTrace, TRUE,
                    {{u"dwErrorNumber", ml_trace::kInt, ml_trace::kError, dwErrorNumber},
                     {u"HRESULT", ml_trace::kHex, ml_trace::kError, hr}});
            }
        } else {
            pILogonDM = nullptr;
            bTrace = theDebugFile.IsTraceOn();
            ml_trace::Separator(bTrace, false);
            Trace(u"*** CHelper::MessageBoxNoIcon() - pILogonDM.CoCreateInstance() - Error ***",
                  bTrace, TRUE, {{u"HRESULT", ml_trace::kHex, ml_trace::kError, hr}});
        }

        bTrace = theDebugFile.IsTraceOn();
        ml_trace::Separator(bTrace, false);
        Trace(strMethod, bTrace, FALSE,
              {{u"HRESULT", ml_trace::kHex, ml_trace::kInfo, hr},
               {u"lDlgRetVal", ml_trace::kInt, u"[RET]", lDlgRetVal}});
    } catch (...) {
        CCmnErrorHandler::LogLastError(u"*** CHelper::MessageBoxNoIcon() - Exception ***");
    }
    if (pILogonDM != nullptr) {
        pILogonDM->Release();
    }
    if (SUCCEEDED(hrInit)) {
        CoUninitialize();
    }
    return lDlgRetVal;
}

DWORD CHelperFunctions::IdentMLDM(DWORD p_dwChallenge, WORD p_wLanguage,
                                  std::u16string& p_strErrorText, DWORD& p_dwErrorNumber) {
    try {
        p_strErrorText.clear();
        p_dwErrorNumber = 0;
        return LogonDMIdentification(p_dwChallenge);
    } catch (...) {
        p_dwErrorNumber = GetLastError();
        p_strErrorText = CCmnErrorHandler::GetSystemErrorText(p_dwErrorNumber, p_wLanguage);
        CCmnErrorHandler::LogLastError(u"*** CHelperFunctions::IdentMLDM() - Exception ***");
        return 0;
    }
}
