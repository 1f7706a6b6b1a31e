#include "platform/library.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/internal.h"
#include "platform/string_table.h"

using namespace ml::posix;

namespace {

thread_local std::string t_loaderError;

void FailLoader(DWORD code) {
    const char* text = ::dlerror();
    SetLoaderError(text != nullptr ? text : "");
    SetLastError(code);
}

// The link map entry of a handle, nullptr when the handle is not the loader's.
struct link_map* LinkMapOf(void* handle) {
    struct link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0)
        return nullptr;
    return map;
}

// The program's own handle, opened once: the program stays loaded anyway.
void* ProgramHandle() {
    static void* const handle = ::dlopen(nullptr, RTLD_NOW);
    return handle;
}

}  // namespace

namespace ml::posix {
void SetLoaderError(const char* text) {
    t_loaderError = text;
}
const std::string& LoaderError() {
    return t_loaderError;
}
}  // namespace ml::posix

extern "C" {

HMODULE LoadLibraryW(LPCWSTR path) {
    auto native = NativePath(path);
    if (!native)
        return nullptr;
    void* handle = ::dlopen(native->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        FailLoader(ML_ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (module == nullptr || name == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, nullptr);
    ::dlerror();
    void* symbol = ::dlsym(module, name);
    if (symbol == nullptr) {
        FailLoader(ML_ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr)
        return Fail(ML_ERROR_INVALID_HANDLE, FALSE);
    if (::dlclose(module) != 0) {
        FailLoader(ML_ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL GetModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module) {
    if (module == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    *module = nullptr;
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) || name == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, FALSE);
    Dl_info info;
    struct link_map* map = nullptr;
    if (::dladdr1(name, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return Fail(ML_ERROR_MOD_NOT_FOUND, FALSE);
    // The main program has an empty name in the link map; dlopen(NULL) is its
    // handle. A library is found by its name among the loaded ones, which
    // works also while its constructors run.
    const char* file = map->l_name != nullptr && map->l_name[0] != 0 ? map->l_name : nullptr;
    void* handle = ::dlopen(file, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        FailLoader(ML_ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)
        ::dlclose(handle);
    *module = static_cast<HMODULE>(handle);
    return TRUE;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    if (buffer == nullptr || bufferMax < 1)
        return Fail(ML_ERROR_INVALID_PARAMETER, 0);
    buffer[0] = 0;
    void* handle = instance;
    if (handle == nullptr)
        handle = ProgramHandle();
    struct link_map* own = LinkMapOf(handle);
    if (own == nullptr)
        return Fail(ML_ERROR_INVALID_HANDLE, 0);
    ::dlerror();
    void* symbol = ::dlsym(handle, ML_STRING_TABLE_SYMBOL);
    // dlsym also searches the library's dependencies; only a table of the
    // library itself counts.
    Dl_info info;
    struct link_map* holder = nullptr;
    if (symbol == nullptr ||
        ::dladdr1(symbol, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP) == 0 ||
        holder != own)
        return Fail(ML_ERROR_RESOURCE_DATA_NOT_FOUND, 0);
    size_t count = 0;
    const MlStringEntry* entries = reinterpret_cast<MlStringTableFn>(symbol)(&count);
    if (entries == nullptr)
        return Fail(ML_ERROR_RESOURCE_DATA_NOT_FOUND, 0);
    auto* end = entries + count;
    auto* entry = std::lower_bound(entries, end, id,
                                   [](const MlStringEntry& e, UINT key) { return e.id < key; });
    if (entry == end || entry->id != id)
        return Fail(ML_ERROR_RESOURCE_NAME_NOT_FOUND, 0);
    size_t length = WideLength(entry->text);
    size_t copied = std::min(length, static_cast<size_t>(bufferMax) - 1);
    std::memcpy(buffer, entry->text, copied * sizeof(WCHAR));
    buffer[copied] = 0;
    return static_cast<int>(copied);
}

}  // extern "C"
