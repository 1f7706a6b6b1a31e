#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

using ml::test::ScopedEnv;
using ml::test::TempDir;
using ml::test::WriteFile;

class Registry : public ::testing::Test {
  protected:
    Registry() : env_("ML_REGISTRY_ROOT", root_.path()) {}
    void Put(const std::string& path, const std::string& content) {
        WriteFile(root_ / ("HKEY_LOCAL_MACHINE/" + path), content);
    }
    LONG Read(const std::u16string& key, const std::u16string& value, std::u16string& out) {
        return ml::RegReadString(HKEY_LOCAL_MACHINE, key, value, out);
    }

    TempDir root_;
    ScopedEnv env_;
};

TEST_F(Registry, ReadsAStringAndRemovesOneTrailingNewline) {
    Put("SOFTWARE/Kestrel/APPSW/MorlindLogon/Path", "/opt/morlind\n");
    Put("SOFTWARE/Kestrel/APPSW/MorlindLogon/Release", "4.2\n\n");
    Put("SOFTWARE/Kestrel/APPSW/MorlindLogon/User", "M\xC3\xBCller");
    std::u16string value;
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel\\APPSW\\MorlindLogon", u"Path", value), ERROR_SUCCESS);
    EXPECT_EQ(value, u"/opt/morlind");
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel\\APPSW\\MorlindLogon", u"Release", value), ERROR_SUCCESS);
    EXPECT_EQ(value, u"4.2\n");
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel\\APPSW\\MorlindLogon", u"User", value), ERROR_SUCCESS);
    EXPECT_EQ(value, u"M\u00fcller");
}

TEST_F(Registry, MissingKeysAndValues) {
    Put("SOFTWARE/Kestrel/Other", "x");
    std::u16string value = u"unchanged";
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel", u"Path", value), ENOENT);
    EXPECT_EQ(Read(u"SOFTWARE\\Nowhere", u"Path", value), ENOENT);
    // A value is not a key, a key is not a value.
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel\\Other", u"x", value), ENOENT);
    EXPECT_EQ(Read(u"SOFTWARE", u"Kestrel", value), ENOENT);
    EXPECT_EQ(value, u"unchanged");
}

TEST_F(Registry, RefusesNamesThatLeaveTheTree) {
    Put("SOFTWARE/Kestrel/Path", "x");
    WriteFile(root_ / "secret", "outside");
    std::u16string value;
    const LONG refused = static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Read(u"SOFTWARE\\..\\..", u"secret", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE\\\\Kestrel", u"Path", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel\\", u"Path", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE/Kestrel", u"Path", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel", u"../../secret", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel", u"..", value), refused);
    EXPECT_EQ(Read(std::u16string(u"SOFTWARE\0x", 10), u"Path", value), refused);
    EXPECT_EQ(Read(u"SOFTWARE\\Kestrel", std::u16string(u"Pa\0th", 5), value), refused);
}

TEST_F(Registry, DefaultValueIsTheAtFile) {
    Put("CLSID/{1}/InprocServer32/@", "/usr/lib/thing.so\n");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"CLSID\\{1}\\InprocServer32", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u""}) {
        char16_t buffer[64];
        DWORD size = sizeof buffer, type = 0;
        ASSERT_EQ(
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(std::u16string(buffer), u"/usr/lib/thing.so");
        EXPECT_EQ(size, (17 + 1) * 2u);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), static_cast<LONG>(ML_ERROR_INVALID_HANDLE));
}

TEST_F(Registry, BufferSizes) {
    Put("K/V", "abcdef");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    char16_t small[3] = {u'x', u'x', u'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
              static_cast<LONG>(ML_ERROR_MORE_DATA));
    EXPECT_EQ(size, 14u);
    RegCloseKey(key);
}

}  // namespace
