// Path forming: the install directory, data directories and settings files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "infrastructure/data_path.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "infrastructure/testing/test_environment.h"
#include "platform/codepage.h"

namespace {

using mltest::InfraEnvironment;

std::u16string U(const std::string& text) {
    return ml::FromUtf8(text);
}

TEST(InstallPath, RegistryValueGetsOneTrailingSeparator) {
    InfraEnvironment env;
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), U(env.InstallDir() + "/"));
    env.SetInstallPath(env.InstallDir() + "/");
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), U(env.InstallDir() + "/"));
}

TEST(InstallPath, MissingOrEmptyValueGivesNoInstallDirectory) {
    InfraEnvironment env;
    env.RemoveInstallPath();
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), u"");
    std::u16string path = u"unchanged";
    EXPECT_FALSE(CResHandler::GetINIFile(mlconfigx::c_szMLSettingsINI, path));
    EXPECT_EQ(path, u"unchanged");
    EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), u"");

    // An empty value must not turn into the current directory.
    env.SetInstallPath("");
    EXPECT_EQ(CResHandler::GetMorlindLogonInstallPath(), u"");
    EXPECT_FALSE(CResHandler::GetINIFile(mlconfigx::c_szMLSettingsINI, path));
}

TEST(DataPath, DefaultsBelowTheCommonDocumentsFolder) {
    InfraEnvironment env;
    std::u16string path;
    ASSERT_TRUE(CResHandler::GetINIFile(mlconfigx::c_szMLDebugINI, path));
    EXPECT_EQ(path, U(env.SettingsDir() + "mldebug.ini"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), U(env.DiagnosticsDir()));
    EXPECT_EQ(CResHandler::GetDataPath(u"Logging"),
              U(env.DocumentsDir() + "/Kestrel/MorlindLogon/Logging/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Settings"), U(env.SettingsDir()));
    // Categories compare exactly; anything else is the main directory, whose
    // key in this installation's file is "Kestrel/MorlindLogon/".
    EXPECT_EQ(CResHandler::GetDataPath(u"diagnostics"),
              U(env.DocumentsDir() + "/Kestrel/MorlindLogon/"));
}

TEST(DataPath, SubPathsFromTheInstallSettingsAreNormalised) {
    InfraEnvironment env;
    env.WriteInstallSettings(
        "[ProductSubpath]\n"
        "Settings=Conf//Here\n"
        "Diagnostics=/Logs///Diag/\n"
        "Main=Main\n");
    std::u16string path;
    ASSERT_TRUE(CResHandler::GetINIFile(u"mlsettings.ini", path));
    EXPECT_EQ(path, U(env.DocumentsDir() + "/Conf/Here/mlsettings.ini"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Diagnostics"), U(env.DocumentsDir() + "/Logs/Diag/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Other"), U(env.DocumentsDir() + "/Main/"));
    EXPECT_EQ(CResHandler::GetDataPath(u"Logging"),
              U(env.DocumentsDir() + "/Kestrel/MorlindLogon/Logging/"));
}

TEST(DataPath, UnreadableInstallSettingsFail) {
    InfraEnvironment env;
    env.WriteInstallSettings("; no section at all\n");
    std::u16string path = u"unchanged";
    EXPECT_FALSE(CResHandler::GetINIFile(u"mlsettings.ini", path));
    EXPECT_EQ(path, u"unchanged");
    EXPECT_EQ(CResHandler::GetDataPath(u"Settings"), u"");
}

TEST(DataPath, NetworkPrefixKeepsTwoSeparators) {
    EXPECT_EQ(ml_infra::CollapseSeparators(u"//server//share///x/", u'/', u'/', 2),
              u"//server/share/x/");
    EXPECT_EQ(ml_infra::CollapseSeparators(u"////server/x", u'/', u'/', 2), u"//server/x");
    EXPECT_EQ(ml_infra::CollapseSeparators(u"/var//lib", u'/', u'/', 2), u"/var/lib");
    // The Windows form: a leading run of backslashes becomes "//".
    EXPECT_EQ(ml_infra::CollapseSeparators(u"\\\\srv\\\\a\\b", u'\\', u'/', 1), u"//srv/a/b");
    EXPECT_EQ(ml_infra::CollapseSeparators(u"//srv/a/b/", u'/', u'\\', 2), u"\\\\srv\\a\\b\\");
}

TEST(DataPath, InitKnowsTheProgramAndFailsWithoutDocumentsFolder) {
    InfraEnvironment env;
    CDataPath dataPath;
    ASSERT_TRUE(dataPath.Init(u"Sub"));
    EXPECT_EQ(dataPath.GetDataDirectory(), U(env.DocumentsDir() + "/Sub/"));
    EXPECT_EQ(dataPath.GetProgramName(), u"paths_test");
    EXPECT_FALSE(dataPath.GetProgramDirectory().empty());
    EXPECT_EQ(dataPath.GetProgramDirectory().back(), u'/');

    // A documents folder longer than the platform allows cannot be used.
    setenv("ML_COMMON_DOCUMENTS", ("/" + std::string(400, 'd')).c_str(), 1);
    CDataPath tooLong;
    EXPECT_FALSE(tooLong.Init(u"Sub"));
    EXPECT_EQ(tooLong.GetDataDirectory(), u"");
}

}  // namespace
