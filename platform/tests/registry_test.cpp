#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/codepage.h"
#include "platform/lasterror.h"
#include "platform/tests/test_support.h"

namespace {

TEST(Registry, StringsMissingValuesAndRefusedNames) {
    ml::test::TempDir root;
    ml::test::ScopedEnv env("ML_REGISTRY_ROOT", root.path());
    const std::string key = root / "HKEY_LOCAL_MACHINE/SOFTWARE/Kestrel/";
    ml::test::WriteFile(key + "APPSW/MorlindLogon/Path", "/opt/morlind\n");
    ml::test::WriteFile(key + "APPSW/MorlindLogon/Release", "4.2\n\n");
    ml::test::WriteFile(key + "APPSW/MorlindLogon/User", "M\xC3\xBCller");
    ml::test::WriteFile(key + "Other", "x");
    ml::test::WriteFile(root / "secret", "outside");
    // One trailing newline is removed.
    const std::pair<const char16_t*, const char16_t*> values[] = {
        {u"Path", u"/opt/morlind"}, {u"Release", u"4.2\n"}, {u"User", u"M\u00fcller"}};
    for (const auto& [name, expected] : values) {
        std::u16string value;
        EXPECT_EQ(ml::RegReadString(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kestrel\\APPSW\\MorlindLogon",
                                    name, value),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, expected);
    }
    const LONG refused = static_cast<LONG>(ML_ERROR_INVALID_PARAMETER);
    const std::tuple<std::u16string, std::u16string, LONG> failures[] = {
        {u"SOFTWARE\\Kestrel", u"Path", ENOENT},
        {u"SOFTWARE\\Nowhere", u"Path", ENOENT},
        {u"SOFTWARE\\Kestrel\\Other", u"x", ENOENT},  // a value is not a key
        {u"SOFTWARE", u"Kestrel", ENOENT},            // a key is not a value
        {u"SOFTWARE\\..\\..", u"secret", refused},
        {u"SOFTWARE\\\\Kestrel", u"Other", refused},
        {u"SOFTWARE/Kestrel", u"Other", refused},
        {u"SOFTWARE\\Kestrel", u"../../secret", refused},
        {std::u16string(u"SOFTWARE\0x", 10), u"Other", refused},
    };
    for (const auto& [key, name, rc] : failures) {
        std::u16string value = u"unchanged";
        EXPECT_EQ(ml::RegReadString(HKEY_LOCAL_MACHINE, key, name, value), rc) << ml::ToUtf8(key);
        EXPECT_EQ(value, u"unchanged");
    }
}

}  // namespace
