#include "infrastructure/data_path.h"
#include "infrastructure/error_handler.h"
#include "infrastructure/ini_file.h"
#include "infrastructure/mlconfigx.h"
#include "infrastructure/res_handler.h"
#include "platform/folders.h"
#include "platform/lasterror.h"
#include "platform/registry.h"

namespace {

// The install directory's "mlsettings.ini" (read without a lock).
bool ReadInstallSettings(CIniFile& p_ini) {
    std::u16string install = CResHandler::GetMorlindLogonInstallPath();
    if (install.empty()) {
        SetLastError(2 /* no such file */);
        return false;
    }
    p_ini.SetPath(install + mlconfigx::c_szMLSettingsINI, false);
    return p_ini.ReadFile();
}

}  // namespace

std::u16string CResHandler::LibrarySuffix() {
    return u"" ML_SHARED_LIBRARY_SUFFIX;
}

std::u16string CResHandler::GetMorlindLogonInstallPath() {
    try {
        std::u16string path;
        if (ml::RegReadString(HKEY_LOCAL_MACHINE, mlconfigx::c_szRegKeyMorlindLogon,
                              mlconfigx::c_szRegValuePath, path) != ERROR_SUCCESS) {
            return std::u16string();
        }
        // An empty value names no directory (it would make every read
        // relative to the current directory).
        if (path.empty()) {
            return path;
        }
        if (path.back() != ml::PathSeparator()) {
            path.push_back(ml::PathSeparator());
        }
        return path;
    } catch (...) {
        CCmnErrorHandler::LogLastError(
            u"*** CResHandler::GetMorlindLogonInstallPath() - Exception ***");
        return std::u16string();
    }
}

bool CResHandler::GetINIFile(const std::u16string& p_strFile, std::u16string& p_strPath) {
    CIniFile ini;
    if (!ReadInstallSettings(ini)) {
        return false;
    }
    std::u16string subPath =
        ini.GetValue(mlconfigx::c_szSectionProductSubpath, mlconfigx::c_szCategorySettings,
                     mlconfigx::c_szDefaultSubpathSettings);
    CDataPath dataPath;
    if (!dataPath.Init(subPath)) {
        return false;
    }
    p_strPath = dataPath.GetDataDirectory() + p_strFile;
    return true;
}

std::u16string CResHandler::GetDataPath(const std::u16string& p_strCategory) {
    CIniFile ini;
    if (!ReadInstallSettings(ini)) {
        return std::u16string();
    }
    std::u16string key = mlconfigx::c_szCategoryMain;
    std::u16string defaultSubPath = mlconfigx::c_szDefaultSubpathMain;
    if (p_strCategory == mlconfigx::c_szCategoryDiagnostics) {
        key = mlconfigx::c_szCategoryDiagnostics;
        defaultSubPath = mlconfigx::c_szDefaultSubpathDiagnostics;
    } else if (p_strCategory == mlconfigx::c_szCategoryLogging) {
        key = mlconfigx::c_szCategoryLogging;
        defaultSubPath = mlconfigx::c_szDefaultSubpathLogging;
    } else if (p_strCategory == mlconfigx::c_szCategorySettings) {
        key = mlconfigx::c_szCategorySettings;
        defaultSubPath = mlconfigx::c_szDefaultSubpathSettings;
    }
    std::u16string subPath =
        ini.GetValue(mlconfigx::c_szSectionProductSubpath, key, defaultSubPath);
    CDataPath dataPath;
    if (!dataPath.Init(subPath)) {
        return std::u16string();
    }
    return dataPath.GetDataDirectory();
}
