// ILogonDM: the dialog manager of the logon system, as its callers see it.
//
// The dialog manager is a component found through component activation
// (platform/com.h) under CLSID_LogonDM; it hands out ILogonDM. This header is
// the whole contract between the component and its callers: the identifiers,
// the method table and the identification that every dialog request carries.
//
// Identification. Each request carries a challenge (any 32-bit value the
// caller picks, normally a fresh random one) and the identification value
// LogonDMIdentification(challenge). The component refuses a request whose
// pair does not match with LOGONDM_E_IDENTIFICATION and shows nothing. The
// pair tells the component that the caller was built against this contract;
// it is not a secret and no protection against a hostile process of the
// same user.
//
// Method table (positions count from 1, IUnknown's three methods first):
//    1 QueryInterface  2 AddRef  3 Release
//    4 ShowLogonDialog           10 ShowChangePasswordDialog
//    5 CloseLogonDialog          11 ShowUserSelection
//    6 ShowProgress              12 ShowInputBox
//    7 UpdateProgress            13 ShowLockNotice
//    8 CloseProgress             14 SetLanguage
//    9 ShowStatusText            15 ShowMessageBox
// Positions never change; new methods go to the end.
//
// Threading: an ILogonDM may be used from any thread; every Show... call
// blocks its caller until the dialog is answered. Dialogs of one process are
// shown one after the other.
#ifndef ML_COMPONENTS_DIALOG_LOGONDM_H_
#define ML_COMPONENTS_DIALOG_LOGONDM_H_

#include <cstdint>

#include "platform/com.h"
#include "platform/windef.h"

// {3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}
inline constexpr CLSID CLSID_LogonDM = {
    0x3F6A2C91, 0x5B7E, 0x4D08, {0xA1, 0xC4, 0x7E, 0x92, 0xB0, 0x5D, 0x1F, 0x36}};

// {8C14E7A2-0D39-4B6F-9E21-5A7C3D08B4E9}
inline constexpr IID IID_ILogonDM = {
    0x8C14E7A2, 0x0D39, 0x4B6F, {0x9E, 0x21, 0x5A, 0x7C, 0x3D, 0x08, 0xB4, 0xE9}};

// The two constants of the identification, shared by component and callers.
inline constexpr uint32_t kLogonDMIdentXor = 0x6D3A95C7u;
inline constexpr uint32_t kLogonDMIdentAnd = 0x1F40B26Eu;

// The identification value that goes with `challenge`.
constexpr uint32_t LogonDMIdentification(uint32_t challenge) {
    return (challenge ^ kLogonDMIdentXor) | (challenge & kLogonDMIdentAnd);
}

// Results of the component besides the usual ones (E_POINTER, E_INVALIDARG,
// E_NOTIMPL, E_OUTOFMEMORY). Interface-specific codes of FACILITY_ITF.
// The challenge and identification do not match: nothing was shown.
#define LOGONDM_E_IDENTIFICATION ((HRESULT)0x80040201u)
// No terminal to show the dialog on (no controlling terminal, or the
// process is not in its foreground): nothing was shown.
#define LOGONDM_E_NOTERMINAL ((HRESULT)0x80040202u)
// The dialog could not be written to the terminal: nothing was answered.
#define LOGONDM_E_TERMINAL ((HRESULT)0x80040203u)

// Message-box type values (the Windows ones) understood by ShowMessageBox.
// Left alone when a caller's headers define them already.
#ifndef MB_OK
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_CANCELTRYCONTINUE 0x00000006u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONMASK 0x000000F0u
#define MB_DEFBUTTON1 0x00000000u
#define MB_DEFBUTTON2 0x00000100u
#define MB_DEFBUTTON3 0x00000200u
#define MB_DEFBUTTON4 0x00000300u
#define MB_DEFMASK 0x00000F00u
#define MB_SYSTEMMODAL 0x00001000u
#endif

// Button identifiers returned by ShowMessageBox (the Windows ones).
#ifndef IDOK
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDTRYAGAIN 10
#define IDCONTINUE 11
#endif

// Every method takes the challenge and identification first. BSTR arguments
// are borrowed for the call (the caller frees them); NULL is the empty
// string. Results written through pointers are written only on S_OK unless
// a method says otherwise.
struct ILogonDM : public IUnknown {
    // The logon dialog: asks for user name, domain and password; the answer
    // comes back in the three BSTRs (the caller frees them) and `result`
    // holds IDOK or IDCANCEL.
    virtual HRESULT STDMETHODCALLTYPE ShowLogonDialog(DWORD challenge, DWORD identification,
                                                      HWND owner, BSTR userName, BSTR domain,
                                                      BSTR* userOut, BSTR* domainOut,
                                                      BSTR* passwordOut, LONG* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseLogonDialog(DWORD challenge, DWORD identification) = 0;
    // A progress window with a text and a range; `handle` names it.
    virtual HRESULT STDMETHODCALLTYPE ShowProgress(DWORD challenge, DWORD identification,
                                                   HWND owner, BSTR caption, BSTR text, LONG range,
                                                   LONG* handle) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateProgress(DWORD challenge, DWORD identification,
                                                     LONG handle, LONG position, BSTR text) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseProgress(DWORD challenge, DWORD identification,
                                                    LONG handle) = 0;
    // A one-line status text of the logon screen (NULL clears it).
    virtual HRESULT STDMETHODCALLTYPE ShowStatusText(DWORD challenge, DWORD identification,
                                                     BSTR text) = 0;
    // Asks for the old and a new password of `userName`.
    virtual HRESULT STDMETHODCALLTYPE ShowChangePasswordDialog(DWORD challenge,
                                                               DWORD identification, HWND owner,
                                                               BSTR userName, BSTR* oldPassword,
                                                               BSTR* newPassword, LONG* result) = 0;
    // Lets the user pick one of `users` (names separated by "\n"); `index`
    // receives the position picked, -1 for none.
    virtual HRESULT STDMETHODCALLTYPE ShowUserSelection(DWORD challenge, DWORD identification,
                                                        HWND owner, BSTR caption, BSTR users,
                                                        LONG* index) = 0;
    // Asks for one line of text; `hidden` asks for no echo.
    virtual HRESULT STDMETHODCALLTYPE ShowInputBox(DWORD challenge, DWORD identification,
                                                   HWND owner, BSTR caption, BSTR prompt,
                                                   BOOL hidden, BSTR* answer, LONG* result) = 0;
    // The notice that the workstation is locked for `userName`.
    virtual HRESULT STDMETHODCALLTYPE ShowLockNotice(DWORD challenge, DWORD identification,
                                                     BSTR userName) = 0;
    // The language of the dialogs' own texts (a Windows language identifier;
    // 0 = the system's).
    virtual HRESULT STDMETHODCALLTYPE SetLanguage(DWORD challenge, DWORD identification,
                                                  DWORD languageId) = 0;

    // A message box with `text`, `caption` and the buttons of `type` (a
    // Windows message-box type value: button set in the low four bits,
    // icon, default button). Blocks until it is answered.
    //   timeoutSeconds  > 0: the box closes after that many seconds without
    //                   an answer, answered as described below for a box
    //                   that gets no answer; 0 or negative (the usual -1):
    //                   no time limit.
    //   owner           the window the box belongs to; may be NULL.
    //   result          set to -1 on entry; on S_OK the identifier of the
    //                   button pressed (IDOK, IDCANCEL, ...). On failure it
    //                   stays -1 and nothing was answered.
    // Results: S_OK; E_POINTER (result NULL); E_INVALIDARG (a button set
    // that Windows does not define, 7 to 15); LOGONDM_E_IDENTIFICATION;
    // LOGONDM_E_NOTERMINAL; LOGONDM_E_TERMINAL; E_OUTOFMEMORY.
    virtual HRESULT STDMETHODCALLTYPE ShowMessageBox(DWORD challenge, DWORD identification,
                                                     LONG timeoutSeconds, HWND owner, BSTR text,
                                                     BSTR caption, UINT type, LONG* result) = 0;

  protected:
    ~ILogonDM() = default;
};

#endif  // ML_COMPONENTS_DIALOG_LOGONDM_H_
