// The scripted dialog manager (see scripted_logondm.h).
#include "frame/tests/scripted_logondm.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "components/dialog/logondm.h"
#include "platform/com.h"

#define ML_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_mutex;
std::deque<LONG> g_script;
std::vector<ScriptedBox> g_boxes;
bool g_refuse = false;
ScriptedBoxHook g_hook = nullptr;
void* g_hookContext = nullptr;
std::atomic<int> g_objects{0};

void CopyBstr(BSTR text, char16_t* target, size_t capacity) {
    size_t n = text == nullptr ? 0 : std::min<size_t>(SysStringLen(text), capacity - 1);
    std::copy_n(text, n, target);
    target[n] = 0;
}

class ScriptedLogonDM final : public ComObject<ScriptedLogonDM, ILogonDM, IID_ILogonDM> {
  public:
    ScriptedLogonDM() { ++g_objects; }
    ~ScriptedLogonDM() { --g_objects; }

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
        if (result == nullptr)
            return E_POINTER;
        *result = -1;
        ScriptedBox box{};
        CopyBstr(text, box.text, std::size(box.text));
        CopyBstr(caption, box.caption, std::size(box.caption));
        box.type = type;
        box.timeoutSeconds = timeoutSeconds;
        box.identified = LogonDMIdentification(challenge) == identification;
        ScriptedBoxHook hook = nullptr;
        void* context = nullptr;
        LONG answer = IDOK;
        int index = 0;
        {
            std::lock_guard lock(g_mutex);
            index = static_cast<int>(g_boxes.size());
            g_boxes.push_back(box);
            if (g_refuse || !box.identified)
                return LOGONDM_E_IDENTIFICATION;
            if (!g_script.empty()) {
                answer = g_script.front();
                g_script.pop_front();
            }
            hook = g_hook;
            context = g_hookContext;
        }
        if (answer == kScriptedNoTerminal)
            return LOGONDM_E_NOTERMINAL;
        if (hook != nullptr)
            hook(index, context);
        *result = answer;
        return S_OK;
    }
};

}  // namespace

ML_TEST_EXPORT HRESULT MlCreateInstance(const CLSID& clsid, const IID& iid, void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_LogonDM))
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* dm = new (std::nothrow) ScriptedLogonDM();
    if (dm == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = dm->QueryInterface(iid, object);
    dm->Release();
    return hr;
}

ML_TEST_EXPORT void ScriptedReset() {
    std::lock_guard lock(g_mutex);
    g_script.clear();
    g_boxes.clear();
    g_refuse = false;
    g_hook = nullptr;
    g_hookContext = nullptr;
}

ML_TEST_EXPORT void ScriptedAnswer(LONG answer) {
    std::lock_guard lock(g_mutex);
    g_script.push_back(answer);
}

ML_TEST_EXPORT void ScriptedRefuse(bool refuse) {
    std::lock_guard lock(g_mutex);
    g_refuse = refuse;
}

ML_TEST_EXPORT void ScriptedHook(ScriptedBoxHook hook, void* context) {
    std::lock_guard lock(g_mutex);
    g_hook = hook;
    g_hookContext = context;
}

ML_TEST_EXPORT const ScriptedBox* ScriptedBoxes(int* count) {
    std::lock_guard lock(g_mutex);
    *count = static_cast<int>(g_boxes.size());
    return g_boxes.data();
}

ML_TEST_EXPORT int ScriptedObjects() {
    return g_objects.load();
}
