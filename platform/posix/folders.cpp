#include "platform/folders.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

constexpr HRESULT kPathTooLong = static_cast<HRESULT>(0x8007007Au);  // ERROR_INSUFFICIENT_BUFFER

// The file of a loaded library or, for NULL, of the program.
bool ModulePath(HMODULE module, std::string& path) {
    if (module != nullptr) {
        struct link_map* map = nullptr;
        if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
            SetLoaderError(::dlerror());
            return Fail(ML_ERROR_MOD_NOT_FOUND, false);
        }
        // The main program has an empty name in the link map.
        if (map->l_name != nullptr && map->l_name[0] != 0) {
            char resolved[PATH_MAX];
            path = ::realpath(map->l_name, resolved) ? resolved : map->l_name;
            return true;
        }
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n < 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (static_cast<size_t>(n) >= sizeof buffer)
        return Fail(ENAMETOOLONG, false);
    path.assign(buffer, static_cast<size_t>(n));
    return true;
}

}  // namespace

extern "C" {

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
    if (path == nullptr || (csidl & 0xFF) != CSIDL_COMMON_DOCUMENTS)
        return E_INVALIDARG;
    std::u16string folder = Utf8ToUtf16(EnvOr("ML_COMMON_DOCUMENTS", "/var/lib/kestrel/documents"));
    if (!CopyWide(folder, path, MAX_PATH))
        return kPathTooLong;
    return S_OK;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD nSize) {
    if (filename == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, 0u);
    std::string path;
    if (!ModulePath(module, path))
        return 0;
    std::u16string wide = Utf8ToUtf16(path);
    if (wide.size() < nSize) {
        CopyWide(wide, filename, nSize);
        return static_cast<DWORD>(wide.size());
    }
    if (nSize > 0) {
        CopyWide(std::u16string_view(wide).substr(0, nSize - 1), filename, nSize);
    }
    SetLastError(ML_ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

}  // extern "C"

namespace ml {
char16_t PathSeparator() {
    return u'/';
}
}  // namespace ml
