// A small in-process component for the activation tests: one class that
// greets, behind an interface of its own.
#include "platform/com.h"
#include "platform/tests/com_test_interface.h"

namespace {

class Greeter final : public ComObject<Greeter, ITestGreeter, IID_ITestGreeter> {
  public:
    HRESULT Greet(const OLECHAR* name, BSTR* greeting) override {
        *greeting = SysAllocString((u"Hello, " + std::u16string(name)).c_str());
        return *greeting != nullptr ? S_OK : E_OUTOFMEMORY;
    }

  private:
    friend ComObject;
    ~Greeter() = default;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT MlCreateInstance(const CLSID& clsid,
                                                                           const IID& iid,
                                                                           void** object) {
    if (!(clsid == CLSID_TestGreeter))  // the caller has cleared *object
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* greeter = new Greeter;
    HRESULT hr = greeter->QueryInterface(iid, object);
    greeter->Release();
    return hr;
}
