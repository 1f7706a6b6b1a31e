// Names of the configuration: settings files, their sections and keys, the
// registry key of the installation, the machine-wide lock names and the log
// file names. Header only; every name is a constant.
#ifndef ML_INFRASTRUCTURE_MLCONFIGX_H_
#define ML_INFRASTRUCTURE_MLCONFIGX_H_

namespace mlconfigx {

// Settings files in the settings data directory.
inline constexpr char16_t c_szMLSettingsINI[] = u"mlsettings.ini";
inline constexpr char16_t c_szMLDebugINI[] = u"mldebug.ini";
// The language table in the install directory.
inline constexpr char16_t c_szLanguagesINI[] = u"languages.ini";

// Registry key of the installation under HKEY_LOCAL_MACHINE and its values.
inline constexpr char16_t c_szRegKeyMorlindLogon[] = u"SOFTWARE\\Kestrel\\APPSW\\MorlindLogon";
inline constexpr char16_t c_szRegValuePath[] = u"Path";
inline constexpr char16_t c_szRegValueRelease[] = u"Release";

// Sections and keys.
inline constexpr char16_t c_szSectionLogonDevice[] = u"LogonDevice";
inline constexpr char16_t c_szKeyCardreaderName[] = u"CardreaderName";
inline constexpr char16_t c_szKeyCurrentPort[] = u"CurrentPort";
inline constexpr char16_t c_szKeyDebug[] = u"Debug";
inline constexpr char16_t c_szSectionConfig[] = u"Config";
inline constexpr char16_t c_szKeyCurrentLanguage[] = u"CurrentLanguage";
inline constexpr char16_t c_szSectionProductSubpath[] = u"ProductSubpath";

// Data directory categories (keys of section "ProductSubpath") and their
// default sub-paths below the common documents folder.
inline constexpr char16_t c_szCategoryDiagnostics[] = u"Diagnostics";
inline constexpr char16_t c_szCategoryLogging[] = u"Logging";
inline constexpr char16_t c_szCategorySettings[] = u"Settings";
inline constexpr char16_t c_szCategoryMain[] = u"Main";
inline constexpr char16_t c_szDefaultSubpathDiagnostics[] = u"Kestrel/MorlindLogon/Diagnostics/";
inline constexpr char16_t c_szDefaultSubpathLogging[] = u"Kestrel/MorlindLogon/Logging/";
inline constexpr char16_t c_szDefaultSubpathSettings[] = u"Kestrel/MorlindLogon/Settings/";
inline constexpr char16_t c_szDefaultSubpathMain[] = u"Kestrel/MorlindLogon/";

// Machine-wide locks around the reads of the two settings files.
inline constexpr char16_t c_szMutexSettingsINI[] = u"Global\\MLSettingsINIMutex";
inline constexpr char16_t c_szMutexDebugINI[] = u"Global\\MLDebugINIMutex";

// Log files (prefixed with the session: "s%d_%s").
inline constexpr char16_t c_szDebugLogName[] = u"mlcardmanx_debug.log";
inline constexpr char16_t c_szErrorLogName[] = u"mlcardmanx_error.log";

// The default language: its Windows language identifier, letter and name.
inline constexpr unsigned short c_wDefaultLanguageID = 0x409;
inline constexpr char16_t c_chDefaultLanguageLetter = u'b';
inline constexpr char16_t c_szDefaultLanguageName[] = u"English";

}  // namespace mlconfigx

#endif  // ML_INFRASTRUCTURE_MLCONFIGX_H_
