// Component activation and BSTRs.
#include "platform/com.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/codepage.h"
#include "platform/tests/com_test_interface.h"
#include "platform/tests/test_support.h"

namespace {

using namespace std::string_literals;

HRESULT Create(void** object, DWORD context = CLSCTX_INPROC_SERVER, REFIID iid = IID_IUnknown,
               IUnknown* outer = nullptr) {
    return CoCreateInstance(CLSID_TestGreeter, outer, context, iid, object);
}

class Activation : public ::testing::Test {
  protected:
    Activation() : env_("ML_REGISTRY_ROOT", root_.path()) {}
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override { CoUninitialize(); }
    void Register(const std::string& library) {
        ml::test::WriteFile(
            root_ / ("HKEY_CLASSES_ROOT/CLSID/" + ml::ToUtf8(GuidToString(CLSID_TestGreeter)) +
                     "/InprocServer32/@"),
            library + "\n");
    }

    ml::test::TempDir root_;
    ml::test::ScopedEnv env_;
};

TEST_F(Activation, WorkingComponent) {
    EXPECT_EQ(GuidToString(CLSID_TestGreeter), u"{3F6A2C91-5B7E-4D08-A1C4-7E92B05D1F36}");
    Register(ML_TEST_COM_COMPONENT);
    ITestGreeter* greeter = nullptr;
    ASSERT_EQ(Create(reinterpret_cast<void**>(&greeter), 0x17, IID_ITestGreeter), S_OK);
    ASSERT_NE(greeter, nullptr);
    BSTR greeting = nullptr;
    EXPECT_EQ(greeter->Greet(u"Ada", &greeting), S_OK);
    EXPECT_EQ(std::u16string(greeting), u"Hello, Ada");
    SysFreeString(greeting);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(greeter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(greeter->Release(), 0u);

    // An interface the class lacks: the factory's answer comes through.
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(Create(&other, CLSCTX_INPROC_SERVER, CLSID_TestGreeter), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(Activation, UnregisteredClassMissingFactoryAndBadArguments) {
    void* object = nullptr;
    EXPECT_EQ(Create(&object), REGDB_E_CLASSNOTREG);
    Register("/nonexistent/libgreeter.so");
    EXPECT_EQ(Create(&object), CO_E_DLLNOTFOUND);
    Register(ML_TEST_PLAIN_LIBRARY);  // a library without the factory
    EXPECT_EQ(Create(&object), CO_E_ERRORINDLL);
    EXPECT_EQ(object, nullptr);
    Register(ML_TEST_COM_COMPONENT);
    EXPECT_EQ(Create(&object, CLSCTX_LOCAL_SERVER), REGDB_E_CLASSNOTREG);  // in-process only
    EXPECT_EQ(
        Create(&object, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<IUnknown*>(&object)),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(Create(nullptr), E_POINTER);
}

TEST_F(Activation, InitialisationCountsPerThread) {
    Register(ML_TEST_COM_COMPONENT);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // nested
    CoUninitialize();
    std::thread([] {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(Create(&object), CO_E_NOTINITIALIZED);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        IUnknown* unknown = nullptr;
        EXPECT_EQ(Create(reinterpret_cast<void**>(&unknown)), S_OK);
        if (unknown)
            unknown->Release();
        CoUninitialize();
        EXPECT_EQ(Create(&object), CO_E_NOTINITIALIZED);
    }).join();
}

// The length prefix and terminator that Windows callers rely on; embedded
// NULs are kept.
TEST(Bstr, LengthPrefixAndTerminator) {
    for (auto [text, expected] : {std::pair{SysAllocString(u"abc"), u"abc"s},
                                  {SysAllocStringLen(u"a\0c", 3), u"a\0c"s},
                                  {SysAllocStringLen(nullptr, 3), u"\0\0\0"s}}) {
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(SysStringLen(text), 3u);
        uint32_t bytes;
        std::memcpy(&bytes, reinterpret_cast<char*>(text) - 4, 4);
        EXPECT_EQ(bytes, 6u);
        EXPECT_EQ(text[3], 0);
        EXPECT_EQ(std::u16string(text, 3), expected);
        SysFreeString(text);
    }
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
}

}  // namespace
