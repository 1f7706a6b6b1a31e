// The pieces of the two logs that the log objects, the test environment and
// the log tests use: file names, the time stamp and the write of one entry.
#ifndef ML_INFRASTRUCTURE_LOG_FILE_INTERNAL_H_
#define ML_INFRASTRUCTURE_LOG_FILE_INTERNAL_H_

#include <string>

#include "platform/windef.h"

namespace ml_infra {
// "s%d_%s" of the session and the file name.
std::u16string SessionLogName(DWORD p_dwSession, const std::u16string& p_strName);
// Every ".log" of the path replaced by "_old.log".
std::u16string OldLogName(const std::u16string& p_strPath);
// Appends the date and time of the platform clock: "MM/DD/YY HH:MM:SS".
void AppendLogDateTime(std::u16string& p_strEntry);
// Opens (creating) the log, rotates it above 1 MiB, appends the entry in the
// ANSI code page and closes it. FALSE when the entry was not written whole.
BOOL AppendLogEntry(const std::u16string& p_strPath, const std::u16string& p_strEntry);
}  // namespace ml_infra

#endif  // ML_INFRASTRUCTURE_LOG_FILE_INTERNAL_H_
