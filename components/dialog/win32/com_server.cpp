// The dialog manager as an in-process COM server: the class factory that
// the system's CoCreateInstance asks through DllGetClassObject, and the
// registration of the class under HKEY_CLASSES_ROOT (regsvr32).
#include <atomic>
#include <new>

#include "components/dialog/logondm.h"
#include "components/dialog/win32/system_box.h"
#include "platform/com.h"

extern "C" HRESULT MlCreateInstance(const CLSID& clsid, const IID& iid, void** object);

namespace {

const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Objects and locks alive; the library may be unloaded when both are 0.
std::atomic<long> g_locks{0};

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                                     void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;
};

// One factory for the library's lifetime; its references do not count.
class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        return MlCreateInstance(CLSID_LogonDM, iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++g_locks;
        else
            --g_locks;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_LogonDM))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

// The objects handed out keep no count of their own here, so the library
// stays loaded while the server is locked and otherwise lets COM decide.
extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return logondm::win32::RegisterServer(GuidToString(CLSID_LogonDM).c_str(),
                                          u"Morlind Logon dialog manager");
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return logondm::win32::UnregisterServer(GuidToString(CLSID_LogonDM).c_str());
}
