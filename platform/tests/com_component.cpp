// A small in-process component for the activation tests: one class that
// greets, behind an interface of its own.
#include <atomic>

#include "platform/com.h"
#include "platform/tests/com_test_interface.h"

namespace {

std::atomic<int> g_objects{0};

class Greeter final : public ITestGreeter {
  public:
    Greeter() { ++g_objects; }
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ITestGreeter) {
            *object = static_cast<ITestGreeter*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT Greet(const OLECHAR* name, BSTR* greeting) override {
        if (greeting == nullptr)
            return E_POINTER;
        std::u16string text = u"Hello, ";
        text += name != nullptr ? name : u"nobody";
        *greeting = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *greeting != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    int Objects() override { return g_objects; }

  private:
    ~Greeter() { --g_objects; }
    std::atomic<ULONG> refs_{1};
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT MlCreateInstance(const CLSID& clsid,
                                                                           const IID& iid,
                                                                           void** object) {
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_TestGreeter))
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* greeter = new Greeter;
    HRESULT hr = greeter->QueryInterface(iid, object);
    greeter->Release();
    return hr;
}
