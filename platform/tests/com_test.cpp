// Component activation and BSTRs.
#include "platform/com.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/tests/com_test_interface.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;
using ml::test::TempDir;

class Activation : public ::testing::Test {
  protected:
    Activation() : env_("ML_REGISTRY_ROOT", root_.path()) {}
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
    void Register(const std::string& library) {
        ml::test::WriteFile(
            root_ /
                "HKEY_CLASSES_ROOT/CLSID/{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}/InprocServer32/@",
            library + "\n");
    }

    TempDir root_;
    ScopedEnv env_;
};

TEST_F(Activation, WorkingComponent) {
    Register(ML_TEST_COM_COMPONENT);
    ITestGreeter* greeter = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, 0x17, IID_ITestGreeter,
                               reinterpret_cast<void**>(&greeter)),
              S_OK);
    ASSERT_NE(greeter, nullptr);
    BSTR greeting = nullptr;
    EXPECT_EQ(greeter->Greet(u"Ada", &greeting), S_OK);
    EXPECT_EQ(std::u16string(greeting), u"Hello, Ada");
    EXPECT_EQ(SysStringLen(greeting), 10u);
    SysFreeString(greeting);

    IUnknown* unknown = nullptr;
    EXPECT_EQ(greeter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(greeter->Objects(), 1);
    EXPECT_EQ(greeter->Release(), 0u);

    // An interface the class lacks: the factory's answer comes through.
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, CLSID_TestGreeter,
                               &other),
              E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(Activation, UnregisteredClassAndMissingLibraries) {
    void* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        REGDB_E_CLASSNOTREG);
    Register("/nonexistent/libgreeter.so");
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CO_E_DLLNOTFOUND);
    // A library without the factory.
    Register(ML_TEST_PLAIN_LIBRARY);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        CO_E_ERRORINDLL);
    EXPECT_EQ(object, nullptr);
    // Only in-process servers exist.
    Register(ML_TEST_COM_COMPONENT);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
        REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, reinterpret_cast<IUnknown*>(&object),
                               CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
        E_POINTER);
}

TEST_F(Activation, InitialisationCountsPerThread) {
    Register(ML_TEST_COM_COMPONENT);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // nested
    CoUninitialize();
    std::thread([] {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   &object),
                  CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        IUnknown* unknown = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&unknown)),
                  S_OK);
        if (unknown)
            unknown->Release();
        CoUninitialize();
        EXPECT_EQ(CoCreateInstance(CLSID_TestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   &object),
                  CO_E_NOTINITIALIZED);
    }).join();
}

TEST(Bstr, LengthPrefixAndTerminator) {
    BSTR text = SysAllocString(u"abc");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<char*>(text) - 4, 4);
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(text[3], 0);
    SysFreeString(text);

    // Embedded NULs are kept; the length says where the string ends.
    BSTR withNul = SysAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(SysStringLen(withNul), 3u);
    EXPECT_EQ(withNul[2], u'b');
    SysFreeString(withNul);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[4], 0);
    SysFreeString(blank);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(GuidToString(CLSID_TestGreeter), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
}

}  // namespace
