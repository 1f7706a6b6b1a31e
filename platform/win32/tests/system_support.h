// Windows test support that needs <windows.h>: registry writes, processes.
#ifndef ML_PLATFORM_WIN32_TESTS_SYSTEM_SUPPORT_H_
#define ML_PLATFORM_WIN32_TESTS_SYSTEM_SUPPORT_H_

#include <cstdint>
#include <string>

namespace ml::win32test {

// Writes a value of `type` (1 = REG_SZ, 4 = REG_DWORD) under
// HKEY_CURRENT_USER `key`, creating the key.
bool WriteValue(const std::u16string& key, const std::u16string& name, uint32_t type,
                const void* data, uint32_t bytes);
void DeleteKey(const std::u16string& key);

// The exit code of the program `path`, run with `arguments`; -1 if it fails.
int RunProcess(const std::u16string& path, const std::u16string& arguments);

// The folder of the running test program, with a trailing separator.
std::u16string ProgramFolder();

}  // namespace ml::win32test

#endif  // ML_PLATFORM_WIN32_TESTS_SYSTEM_SUPPORT_H_
