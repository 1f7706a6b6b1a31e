// Path forming: the install directory, data directories and settings files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "infrastructure/data_path.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/codepage.h"
#include "platform/tests/scoped_env.h"

namespace {

using ml::FromUtf8;

class Paths : public ::testing::Test {
  protected:
    // GetINIFile's answer, or "failed" with the path left alone.
    std::u16string IniFile(const std::u16string& name) {
        std::u16string path = u"unchanged";
        bool ok = CResHandler::GetINIFile(name, path);
        return ok ? path : path == u"unchanged" ? u"failed" : u"failed, path changed";
    }
    // A path written with "/", in the system's form.
    static std::u16string Native(const std::string& path) {
        return FromUtf8(mltest::InfraEnvironment::Native(path));
    }
    std::u16string Documents(const std::string& sub) { return Native(env_.DocumentsDir() + sub); }
    mltest::InfraEnvironment env_;
};

TEST_F(Paths, InstallDirectoryGetsOneTrailingSeparator) {
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), Native(env_.InstallDir() + "/"));
    env_.SetInstallPath(env_.InstallDir() + mltest::InfraEnvironment::Native("/"));
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), Native(env_.InstallDir() + "/"));
    // Missing or empty (which must not turn into the current directory): none.
    for (bool empty : {false, true}) {
        empty ? env_.SetInstallPath("") : env_.RemoveInstallPath();
        EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), u"");
        EXPECT_EQ(IniFile(mlconfigx::c_szMLSettingsINI), u"failed");
        EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), u"");
    }
}

TEST_F(Paths, DataPathCategoriesBelowTheCommonDocumentsFolder) {
    EXPECT_EQ(IniFile(mlconfigx::c_szMLDebugINI), FromUtf8(env_.SettingsDir() + "mldebug.ini"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), FromUtf8(env_.DiagnosticsDir()));
    EXPECT_EQ(CResHandler::GetDataPath(u"Logging"), Documents("/Kestrel/MorlindLogon/Logging/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Settings"), FromUtf8(env_.SettingsDir()));
    // Categories compare exactly; anything else is the main directory.
    EXPECT_EQ(CResHandler::GetDataPath(u"diagnostics"), Documents("/Kestrel/MorlindLogon/"));

    // Sub-paths from the install settings are normalised.
    env_.WriteInstallSettings(
        "[ProductSubpath]\nSettings=Conf\\\\Here\\\nDiagnostics=/Logs/\\/Diag/\nMain=Main\n");
    EXPECT_EQ(IniFile(u"mlsettings.ini"), Documents("/Conf/Here/mlsettings.ini"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), Documents("/Logs/Diag/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Other"), Documents("/Main/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Logging"), Documents("/Kestrel/MorlindLogon/Logging/"));

    // A documents folder longer than the platform allows, and unreadable
    // install settings, fail.
    {
        ml::test::ScopedEnv tooLong("ML_COMMON_DOCUMENTS", "/" + std::string(400, 'd'));
        EXPECT_EQ(CResHandler::GetDataPath(u"Settings"), u"");
    }
    env_.WriteInstallSettings("; no section at all\n");
    EXPECT_EQ(IniFile(u"mlsettings.ini"), u"failed");
    EXPECT_EQ(CResHandler::GetDataPath(u"Settings"), u"");
}

TEST_F(Paths, NetworkPrefixKeepsTwoSeparators) {
    using ml_infra::CollapseSeparators;
    EXPECT_EQ(CollapseSeparators(u"//server//share///x/", u'/', u'/', 2), u"//server/share/x/");
    EXPECT_EQ(CollapseSeparators(u"////server/x", u'/', u'/', 2), u"//server/x");
    EXPECT_EQ(CollapseSeparators(u"/var//lib", u'/', u'/', 2), u"/var/lib");
    // The Windows form: a leading run of backslashes becomes "//".
    EXPECT_EQ(CollapseSeparators(u"\\\\srv\\\\a\\b", u'\\', u'/', 1), u"//srv/a/b");
    EXPECT_EQ(CollapseSeparators(u"//srv/a/b/", u'/', u'\\', 2), u"\\\\srv\\a\\b\\");
}

}  // namespace
