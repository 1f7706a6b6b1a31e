// The interface of the test component (com_component.cpp).
#ifndef ML_PLATFORM_TESTS_COM_TEST_INTERFACE_H_
#define ML_PLATFORM_TESTS_COM_TEST_INTERFACE_H_

#include "platform/com.h"

inline constexpr CLSID CLSID_TestGreeter = {
    0x3F6A2C91, 0x5B7E, 0x4D08, {0xA1, 0xC4, 0x7E, 0x92, 0xB0, 0x5D, 0x1F, 0x36}};
inline constexpr IID IID_ITestGreeter = {
    0x9D1E4B27, 0x0C3A, 0x4F6E, {0x8B, 0x52, 0x1A, 0x6C, 0xD3, 0x90, 0xE4, 0x7F}};

struct ITestGreeter : IUnknown {
    virtual HRESULT Greet(const OLECHAR* name, BSTR* greeting) = 0;

  protected:
    ~ITestGreeter() = default;
};

#endif  // ML_PLATFORM_TESTS_COM_TEST_INTERFACE_H_
