// The scripted dialog manager (see scripted_logondm.h).
#include "frame/tests/scripted_logondm.h"

#include <algorithm>

#include "components/dialog/logondm.h"
#include "platform/com.h"

#define ML_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

ScriptedDialog g_state{};

void CopyBstr(BSTR text, char16_t* target, size_t capacity) {
    size_t n = text == nullptr ? 0 : std::min<size_t>(SysStringLen(text), capacity - 1);
    std::copy_n(text, n, target);
    target[n] = 0;
}

class ScriptedLogonDM final : public ComObject<ScriptedLogonDM, ILogonDM, IID_ILogonDM> {
  public:
    ScriptedLogonDM() { ++g_state.objects; }
    ~ScriptedLogonDM() { --g_state.objects; }

    HRESULT ShowLogonDialog(DWORD, DWORD, HWND, BSTR, BSTR, BSTR*, BSTR*, BSTR*, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT CloseLogonDialog(DWORD, DWORD) override { return E_NOTIMPL; }
    HRESULT ShowProgress(DWORD, DWORD, HWND, BSTR, BSTR, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT UpdateProgress(DWORD, DWORD, LONG, LONG, BSTR) override { return E_NOTIMPL; }
    HRESULT CloseProgress(DWORD, DWORD, LONG) override { return E_NOTIMPL; }
    HRESULT ShowStatusText(DWORD, DWORD, BSTR) override { return E_NOTIMPL; }
    HRESULT ShowChangePasswordDialog(DWORD, DWORD, HWND, BSTR, BSTR*, BSTR*, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT ShowUserSelection(DWORD, DWORD, HWND, BSTR, BSTR, LONG*) override { return E_NOTIMPL; }
    HRESULT ShowInputBox(DWORD, DWORD, HWND, BSTR, BSTR, BOOL, BSTR*, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT ShowLockNotice(DWORD, DWORD, BSTR) override { return E_NOTIMPL; }
    HRESULT SetLanguage(DWORD, DWORD, DWORD) override { return E_NOTIMPL; }

    HRESULT ShowMessageBox(DWORD challenge, DWORD identification, LONG timeoutSeconds, HWND,
                           BSTR text, BSTR caption, UINT type, LONG* result) override {
        if (result == nullptr || g_state.shown == static_cast<int>(std::size(g_state.boxes)))
            return E_POINTER;
        *result = -1;
        ScriptedBox& box = g_state.boxes[g_state.shown++];
        CopyBstr(text, box.text, std::size(box.text));
        CopyBstr(caption, box.caption, std::size(box.caption));
        box.type = type;
        box.timeoutSeconds = timeoutSeconds;
        if (g_state.refuse || LogonDMIdentification(challenge) != identification)
            return LOGONDM_E_IDENTIFICATION;
        LONG answer = g_state.next < g_state.answers ? g_state.script[g_state.next++] : IDOK;
        if (answer == kScriptedNoTerminal)
            return LOGONDM_E_NOTERMINAL;
        if (g_state.hook != nullptr)
            g_state.hook(g_state.context);
        *result = answer;
        return S_OK;
    }
};

}  // namespace

ML_TEST_EXPORT HRESULT MlCreateInstance(const CLSID& clsid, const IID& iid, void** object) {
    *object = nullptr;
    if (!(clsid == CLSID_LogonDM))
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* dm = new ScriptedLogonDM();
    HRESULT hr = dm->QueryInterface(iid, object);
    dm->Release();
    return hr;
}

ML_TEST_EXPORT ScriptedDialog* ScriptedDialogState() {
    return &g_state;
}
