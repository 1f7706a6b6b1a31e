// Component activation (stand-in for CoInitialize, CoCreateInstance and BSTR).
//
// A component is a library whose path is the default value of the registry
// key HKEY_CLASSES_ROOT "CLSID\{class id}\InprocServer32" (class id in the
// registry form "{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}", upper-case hex).
// The library exports one factory function, ML_COM_FACTORY_SYMBOL, with C
// linkage:
//
//     extern "C" HRESULT MlCreateInstance(const CLSID& clsid, const IID& iid, void** object);
//
// Interfaces are C++ abstract classes that derive from IUnknown, so that the
// three methods of IUnknown come first and every method keeps its position
// in the method table, as on Windows.
//
// A component library, once loaded, stays loaded until the process ends
// (objects it made may outlive the thread's COM initialisation).
//
// CoInitialize counts per thread: S_OK for the first call on a thread,
// S_FALSE for a nested one; each successful call is balanced by one
// CoUninitialize. CoCreateInstance without initialisation on the calling
// thread fails with CO_E_NOTINITIALIZED.
//
// Windows: the system's COM. A component is a real in-process server: the
// registered library's DllGetClassObject hands out a class factory
// (ML_COM_FACTORY_SYMBOL is not used); BSTRs are the system's.
#ifndef ML_PLATFORM_COM_H_
#define ML_PLATFORM_COM_H_

#include <atomic>
#include <string>

#include "platform/windef.h"

#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154u)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111u)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0u)
#define CO_E_DLLNOTFOUND ((HRESULT)0x8004018Fu)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9u)

#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_REMOTE_SERVER 0x10u

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// The calling convention of interface methods: the standard one, as COM
// has it on 32-bit Windows (nothing elsewhere). Every implementation of a
// method repeats it.
#define STDMETHODCALLTYPE WINAPI

struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

  protected:
    ~IUnknown() = default;
};

ML_PLATFORM_API extern const IID IID_IUnknown;

// The IUnknown methods of a component class that implements one interface:
//
//     class Greeter final : public ComObject<Greeter, IGreeter, IID_IGreeter> { ... };
//
// QueryInterface hands out the interface for IUnknown and kIid (E_POINTER
// for a null target, E_NOINTERFACE with a null result for any other id);
// an object starts with one reference, and the Release that drops the last
// one deletes it.
template <typename Derived, typename Interface, const IID& kIid>
class ComObject : public Interface {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == kIid) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete static_cast<Derived*>(this);
        return left;
    }

  protected:
    ComObject() = default;
    ~ComObject() = default;

  private:
    std::atomic<ULONG> refs_{1};
};

using MlCreateInstanceFn = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
#define ML_COM_FACTORY_SYMBOL "MlCreateInstance"

ML_PLATFORM_API HRESULT CoInitialize(LPVOID reserved);
ML_PLATFORM_API void CoUninitialize();
// Only in-process servers exist here: the context must include
// CLSCTX_INPROC_SERVER. Results: S_OK; REGDB_E_CLASSNOTREG (no registration);
// CO_E_DLLNOTFOUND (library not loadable); CO_E_ERRORINDLL (no factory);
// CLASS_E_NOAGGREGATION (outer given); whatever the factory returns.
ML_PLATFORM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                         void** object);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex.
ML_PLATFORM_API std::u16string GuidToString(const GUID& guid);

// Length-prefixed strings as on Windows: the length (in bytes) is stored in
// front of the characters and a terminator follows them. NULL stands for the
// empty string. SysAllocString(NULL) returns NULL.
using OLECHAR = WCHAR;
using BSTR = OLECHAR*;
ML_PLATFORM_API BSTR SysAllocString(const OLECHAR* text);
ML_PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
ML_PLATFORM_API void SysFreeString(BSTR text);
ML_PLATFORM_API UINT SysStringLen(BSTR text);

#endif  // ML_PLATFORM_COM_H_
