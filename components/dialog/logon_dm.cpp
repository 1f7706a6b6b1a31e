// The dialog-manager component: ILogonDM on the user's terminal.
//
// Only ShowMessageBox is provided; the other dialogs of the interface answer
// E_NOTIMPL after the identification check. The library exports nothing but
// the factory of the component activation, MlCreateInstance.
#include <new>
#include <string>

#include "components/dialog/desktop_box.h"
#include "components/dialog/logondm.h"
#include "components/dialog/terminal_box.h"
#include "platform/com.h"

namespace logondm {
namespace {

bool Identified(DWORD challenge, DWORD identification) {
    return LogonDMIdentification(challenge) == identification;
}

HRESULT NotImplemented(DWORD challenge, DWORD identification) {
    return Identified(challenge, identification) ? E_NOTIMPL : LOGONDM_E_IDENTIFICATION;
}

std::u16string FromBstr(BSTR text) {
    return text == nullptr ? std::u16string() : std::u16string(text, SysStringLen(text));
}

class LogonDM final : public ComObject<LogonDM, ILogonDM, IID_ILogonDM> {
  public:
    HRESULT STDMETHODCALLTYPE ShowLogonDialog(DWORD c, DWORD i, HWND, BSTR, BSTR, BSTR*, BSTR*,
                                              BSTR*, LONG*) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE CloseLogonDialog(DWORD c, DWORD i) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowProgress(DWORD c, DWORD i, HWND, BSTR, BSTR, LONG,
                                           LONG*) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE UpdateProgress(DWORD c, DWORD i, LONG, LONG, BSTR) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE CloseProgress(DWORD c, DWORD i, LONG) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowStatusText(DWORD c, DWORD i, BSTR) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowChangePasswordDialog(DWORD c, DWORD i, HWND, BSTR, BSTR*, BSTR*,
                                                       LONG*) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowUserSelection(DWORD c, DWORD i, HWND, BSTR, BSTR,
                                                LONG*) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowInputBox(DWORD c, DWORD i, HWND, BSTR, BSTR, BOOL, BSTR*,
                                           LONG*) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE ShowLockNotice(DWORD c, DWORD i, BSTR) override {
        return NotImplemented(c, i);
    }
    HRESULT STDMETHODCALLTYPE SetLanguage(DWORD c, DWORD i, DWORD) override {
        return NotImplemented(c, i);
    }

    // The owner window is ignored: the box is a window of its own program,
    // or on a terminal.
    HRESULT STDMETHODCALLTYPE ShowMessageBox(DWORD challenge, DWORD identification,
                                             LONG timeoutSeconds, HWND, BSTR text, BSTR caption,
                                             UINT type, LONG* result) override {
        if (result == nullptr)
            return E_POINTER;
        *result = -1;
        if (!Identified(challenge, identification))
            return LOGONDM_E_IDENTIFICATION;
        try {
            BoxRequest request;
            request.caption = FromBstr(caption);
            request.text = FromBstr(text);
            request.type = type;
            request.timeoutSeconds = timeoutSeconds;
            // The desktop when the session has one, else the terminal.
            const std::string program = DesktopProgram();
            if (!program.empty()) {
                HRESULT hr = ShowDesktopBox(program, request, result);
                if (hr != LOGONDM_E_NOTERMINAL)
                    return hr;
            }
            return ShowTerminalBox(request, result);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

  private:
    friend ComObject;
    ~LogonDM() = default;
};

}  // namespace
}  // namespace logondm

extern "C" ML_EXPORT HRESULT MlCreateInstance(const CLSID& clsid, const IID& iid, void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_LogonDM))
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* dm = new (std::nothrow) logondm::LogonDM();
    if (dm == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = dm->QueryInterface(iid, object);
    dm->Release();
    return hr;
}
