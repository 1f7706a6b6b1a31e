// The debug log and the error log of the module, one file each per session in
// the Diagnostics data directory ("s<session>_mlcardmanx_debug.log",
// "s<session>_mlcardmanx_error.log").
//
// Entry layout (bytes in the ANSI code page, "\r\n" line ends):
//   debug: ["\r\n"] "\r\n[" release "] " MM/DD/YY " " HH:MM:SS " - " header
//          "\r\n\t\t\t\t\t\t" line
//   error: ["\r\n"] "\r\n" MM/DD/YY " " HH:MM:SS " - " header "\r\n\t\t\t" line
// The leading "\r\n" comes with the leading-empty-line flag. Date and time
// are the platform clock's local time.
//
// Each entry opens the file, moves a file above 1 MiB to "_old.log" (every
// ".log" of the path replaced; one generation kept), appends the entry and
// closes the file. When the move fails (the copy cannot be written, a
// folder in the old file's place), the log is emptied instead and the entry
// starts it afresh: the entries of that log are lost, the "_old.log" of the
// rotation before stays. So the log never grows far beyond 1 MiB and an
// entry costs at most one copy attempt of 1 MiB. The log is opened without
// following a link and written only when it is a regular file. An entry
// that cannot be written (no directory, a folder, FIFO or link in the
// file's place, a full disk, text the ANSI code page cannot take) is
// dropped: Write returns FALSE and nothing else happens.
//
// Threads: every operation of an object holds the object's own lock, so
// entries of concurrent threads never mix. CDebugFile::IsTraceOn also takes
// the machine-wide "mldebug.ini" lock while it re-reads the file (order:
// object lock, then that mutex). Writing before Init or after Cleanup drops
// the entry. The thread's last error is left as it was.
#ifndef ML_INFRASTRUCTURE_LOG_FILE_H_
#define ML_INFRASTRUCTURE_LOG_FILE_H_

#include <string>

#include "platform/critical_section.h"
#include "platform/file.h"
#include "platform/windef.h"

namespace ml_infra {

// What the two logs share: the path in the Diagnostics folder, the object's
// lock and the entry frame. Only CDebugFile and CErrorFile derive from it.
class CLogFile {
  public:
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    BOOL Write(const std::u16string& p_strHeader, const std::u16string& p_strLine,
               BOOL p_bLeadingEmptyLine);
    // The Diagnostics data directory (empty when unknown).
    std::u16string GetDirectory();
    // Moves <directory><file name> to its "_old.log" name, if it exists.
    void MoveToOld(const std::u16string& p_strFileName);
    void Cleanup();

    std::u16string GetLogPath();

  protected:
    CLogFile();
    ~CLogFile();
    // With m_cs held: the log path (empty, so nothing is written, when the
    // directory is unknown) and the text before the time stamp and before
    // the line of each entry; entries are written from now on.
    void Start(const std::u16string& p_strFileName, const std::u16string& p_strStampPrefix,
               const std::u16string& p_strLineIndent);

    CRITICAL_SECTION m_cs;
    bool m_bInitialised;

  private:
    std::u16string m_strLogPath;
    std::u16string m_strStampPrefix;
    std::u16string m_strLineIndent;
};

}  // namespace ml_infra

class CDebugFile : private ml_infra::CLogFile {
  public:
    CDebugFile();
    virtual ~CDebugFile();

    // Log path = GetDirectory() + file name (left empty, so nothing is
    // written, when the directory is unknown); reads the release from the
    // registry and the path of "mldebug.ini".
    void Init(const std::u16string& p_strFileName, const std::u16string& p_strSection,
              const std::u16string& p_strKey);
    // The debug switch; re-reads "mldebug.ini" only when its last-write time
    // has advanced since the last read. A missing or unreadable file keeps the
    // last state (off at first).
    BOOL IsTraceOn();
    using CLogFile::Cleanup;
    using CLogFile::GetDirectory;
    using CLogFile::GetLogPath;
    using CLogFile::MoveToOld;
    using CLogFile::Write;
    std::u16string GetDebugSettingsPath();

  private:
    std::u16string m_strDebugSettingsPath;
    std::u16string m_strSection;
    std::u16string m_strKey;
    int32_t m_nTraceOn;
    FILETIME m_ftSettings;
};

class CErrorFile : private ml_infra::CLogFile {
  public:
    CErrorFile();
    virtual ~CErrorFile();

    void Init(const std::u16string& p_strFileName);
    using CLogFile::Cleanup;
    using CLogFile::GetDirectory;
    using CLogFile::GetLogPath;
    using CLogFile::MoveToOld;
    using CLogFile::Write;
};

// The two log objects of the module. They are defined by the module's
// application translation unit (their construction must precede the
// application object's start-up), and by the test support for tests.
extern CDebugFile theDebugFile;
extern CErrorFile theErrorFile;

// Session numbers of processes.
class CMLSessionFunctions {
  public:
    // The session of the process; the active console session when unknown.
    static DWORD GetSessionIDFromProcessID(DWORD p_dwProcessID);
    static DWORD GetActiveConsoleSessionId();
};

// Start of the logs: the previous run's file of this session goes to its
// "_old.log" name, the object is set up, and (debug log, switch on) the
// opening banner is written.
void InitDebugLog();
void InitErrorLog();

#endif  // ML_INFRASTRUCTURE_LOG_FILE_H_
