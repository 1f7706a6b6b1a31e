// A small in-process component for the activation tests: one class that
// greets, behind an interface of its own.
#include <atomic>

#include "platform/com.h"
#include "platform/tests/com_test_interface.h"

namespace {

std::atomic<int> g_objects{0};

class Greeter final : public ComObject<Greeter, ITestGreeter, IID_ITestGreeter> {
  public:
    Greeter() { ++g_objects; }
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
    friend ComObject;
    ~Greeter() { --g_objects; }
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
