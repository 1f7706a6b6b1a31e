#include "infrastructure/data_path.h"

#include <cstdint>
#include <vector>

#include "platform/folders.h"
#include "platform/lasterror.h"

namespace ml_infra {

std::u16string ModulePath(HMODULE module) {
    // Start with the classic buffer and grow while the loader cuts the path.
    for (DWORD size = MAX_PATH + 1; size <= 32768; size *= 2) {
        std::vector<WCHAR> buffer(size, u'\0');
        DWORD length = GetModuleFileNameW(module, buffer.data(), size);
        if (length == 0) {
            return std::u16string();
        }
        if (length < size) {
            return std::u16string(buffer.data(), length);
        }
    }
    return std::u16string();
}

std::u16string CollapseSeparators(const std::u16string& path, char16_t from, char16_t to,
                                  size_t leadingMin) {
    std::u16string result;
    result.reserve(path.size() + 1);
    size_t i = 0;
    while (i < path.size()) {
        if (path[i] != from) {
            result.push_back(path[i++]);
            continue;
        }
        size_t run = 0;
        while (i < path.size() && path[i] == from) {
            ++run;
            ++i;
        }
        if (i == run && run >= leadingMin) {
            result.append(2, to);
        } else {
            result.push_back(to);
        }
    }
    return result;
}

}  // namespace ml_infra

CDataPath::CDataPath() = default;
CDataPath::~CDataPath() = default;

bool CDataPath::Init(const std::u16string& p_strSubPath) {
    const char16_t separator = ml::PathSeparator();
    std::u16string program = ml_infra::ModulePath(nullptr);
    if (program.empty()) {
        return false;
    }
    size_t slash = program.rfind(separator);
    std::u16string name = slash == std::u16string::npos ? program : program.substr(slash + 1);
    m_strProgramDirectory =
        slash == std::u16string::npos ? std::u16string() : program.substr(0, slash + 1);
    size_t dot = name.rfind(u'.');
    m_strProgramName = dot == std::u16string::npos || dot == 0 ? name : name.substr(0, dot);

    WCHAR folder[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, 0, folder) != S_OK) {
        return false;
    }
    // Sub-paths may be stored Windows-style: every run of "\" is one "/".
    std::u16string data = std::u16string(folder) + separator +
                          ml_infra::CollapseSeparators(p_strSubPath, u'\\', u'/', SIZE_MAX);
    // Kept with "/" separators; on a system whose separator is "/" already
    // the runs are collapsed when the native form is made.
    if (separator != u'/') {
        data = ml_infra::CollapseSeparators(data, separator, u'/', 1);
    }
    if (data.empty() || data.back() != u'/') {
        data.push_back(u'/');
    }
    m_strDataDirectory = std::move(data);
    return true;
}

std::u16string CDataPath::GetDataDirectory() const {
    return ml_infra::CollapseSeparators(m_strDataDirectory, u'/', ml::PathSeparator(), 2);
}
