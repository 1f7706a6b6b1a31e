// CDataPath: the data directory of one category below the common documents
// folder, and the host program's directory and name.
//
// Init forms "<common documents>/<sub-path>/" with runs of separators
// collapsed; a leading run of two or more is kept as two, so network paths
// keep their prefix. Every run of "\" in the sub-path counts as one "/",
// also on POSIX, so that a sub-path stored Windows-style names the same
// folder. Nothing is created on disk. Not thread-safe; callers build their
// own object.
#ifndef ML_INFRASTRUCTURE_DATA_PATH_H_
#define ML_INFRASTRUCTURE_DATA_PATH_H_

#include <string>

#include "platform/windef.h"

class CDataPath {
  public:
    CDataPath();
    virtual ~CDataPath();

    // False when the program path or the common documents folder is unknown.
    bool Init(const std::u16string& p_strSubPath);
    // The data directory in native form, ending in the native separator
    // (empty before a successful Init).
    std::u16string GetDataDirectory() const;

    const std::u16string& GetProgramDirectory() const { return m_strProgramDirectory; }
    const std::u16string& GetProgramName() const { return m_strProgramName; }

  private:
    std::u16string m_strProgramDirectory;  // with its trailing separator
    std::u16string m_strProgramName;       // without extension
    std::u16string m_strDataDirectory;     // "/" separators, trailing "/"
};

namespace ml_infra {
// The full path of a loaded module (the program when `module` is null);
// empty when the loader does not know it. Paths of any length.
std::u16string ModulePath(HMODULE module);
// Every run of `from` becomes one `to`; a run at the very start of at least
// `leadingMin` characters becomes two `to`.
std::u16string CollapseSeparators(const std::u16string& path, char16_t from, char16_t to,
                                  size_t leadingMin);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_DATA_PATH_H_
