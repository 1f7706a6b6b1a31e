// A private machine for one test (one at a time per process): registry,
// documents folder, installation and object namespace of its own, removed
// with the logs stopped by the destructor.
#ifndef ML_INFRASTRUCTURE_TESTING_TEST_ENVIRONMENT_H_
#define ML_INFRASTRUCTURE_TESTING_TEST_ENVIRONMENT_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mltest {

class InfraEnvironment {
  public:
    static constexpr char kRelease[] = "7.4.1";
    static constexpr char kInstallKey[] = "SOFTWARE\\Kestrel\\APPSW\\MorlindLogon";

    InfraEnvironment();
    ~InfraEnvironment();
    InfraEnvironment(const InfraEnvironment&) = delete;
    InfraEnvironment& operator=(const InfraEnvironment&) = delete;

    const std::string& Root() const { return root_; }
    // `path` with "/" turned into the system's separator.
    static std::string Native(std::string path);
    // The install directory (registry value "Path"), without trailing "/".
    std::string InstallDir() const { return root_ + Native("/install"); }
    std::string DocumentsDir() const { return root_ + Native("/documents"); }
    // The default data directories, with trailing "/".
    std::string SettingsDir() const {
        return DocumentsDir() + Native("/Kestrel/MorlindLogon/Settings/");
    }
    std::string DiagnosticsDir() const {
        return DocumentsDir() + Native("/Kestrel/MorlindLogon/Diagnostics/");
    }

    // Registry values under HKEY_LOCAL_MACHINE; `key` with "\" separators.
    void SetRegistryValue(const std::string& key, const std::string& name,
                          const std::string& value);
    void RemoveRegistryValue(const std::string& key, const std::string& name);
    void SetInstallPath(const std::string& value) { SetRegistryValue(kInstallKey, "Path", value); }
    void RemoveInstallPath() { RemoveRegistryValue(kInstallKey, "Path"); }

    void WriteInstallSettings(std::string_view content) {
        WriteFile(InstallDir() + "/mlsettings.ini", content);
    }
    void WriteSettingsIni(std::string_view content) {
        WriteFile(SettingsDir() + "mlsettings.ini", content);
    }
    // "mldebug.ini" with Debug=0 or 1, stamped `stamp` seconds after an epoch.
    void WriteDebugIni(bool on, long stamp);

    // Starts both logs as the module's start-up does, and shuts them down.
    void StartLogs();
    void StopLogs();
    // The paths the logs of this process write to.
    std::string DebugLogPath() const;
    std::string ErrorLogPath() const;

    static void WriteFile(const std::string& path, std::string_view content);
    static std::string ReadFile(const std::string& path);
    static bool Exists(const std::string& path);
    static void SetModificationTime(const std::string& path, long stamp);

  private:
    // The parts that differ between the systems.
    void SetUp();
    void TearDown();
    std::string root_;
    std::string namespace_;
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

}  // namespace mltest

#endif  // ML_INFRASTRUCTURE_TESTING_TEST_ENVIRONMENT_H_
