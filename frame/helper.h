// CHelper: the module's language library at start-up and its message boxes.
//
// Message boxes are not drawn by the module: MessageBoxNoIcon asks the
// dialog-manager component of the logon system (ILogonDM, found through
// component activation under CLSID_LogonDM, components/dialog/logondm.h) to
// show them. When the component cannot be created, refuses the request or
// cannot show a box, nothing is shown and the result is -1; there is no
// local fallback.
//
// Threads: MessageBoxNoIcon blocks the calling thread until the box is
// answered; it initialises the component service on that thread for the
// call and balances it. SetResourceHandle belongs to the loading thread.
#ifndef ML_FRAME_HELPER_H_
#define ML_FRAME_HELPER_H_

#include <string>

#include "platform/windef.h"

class CHelper {
  public:
    CHelper();
    virtual ~CHelper();

    // Makes the language library of the configured language the module's
    // resource library; a missing library is reported and changes nothing.
    static void SetResourceHandle(HINSTANCE p_hInstance);

    // Shows `p_strText` with `p_strCaption` and the buttons and icon of
    // `p_nType` (a Windows message-box type value). The identifier of the
    // button pressed (IDOK 1, IDCANCEL 2, ...), or -1 when no box was shown.
    LONG MessageBoxNoIcon(HWND p_hwndParent, std::u16string p_strText, std::u16string p_strCaption,
                          UINT p_nType);
};

class CHelperFunctions {
  public:
    // The identification value that goes with `p_dwChallenge` in a request
    // to the dialog manager. Sets the error text empty and the number 0; on
    // an internal failure they describe it and the result is 0.
    static DWORD IdentMLDM(DWORD p_dwChallenge, WORD p_wLanguage, std::u16string& p_strErrorText,
                           DWORD& p_dwErrorNumber);
};

#endif  // ML_FRAME_HELPER_H_
