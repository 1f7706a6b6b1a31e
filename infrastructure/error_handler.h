// Error-report helpers: an error number with its text, the thread's last
// error, a COM failure. Each writes a separator and one "[ERROR]" entry to
// the error log and, while the debug switch is on, to the debug log.
// Any thread; never fails the caller.
#ifndef ML_INFRASTRUCTURE_ERROR_HANDLER_H_
#define ML_INFRASTRUCTURE_ERROR_HANDLER_H_

#include <string>

#include "platform/windef.h"

// A failed COM call (an HRESULT), thrown and caught inside operations.
class CComError {
  public:
    explicit CComError(HRESULT p_hr) : m_hr(p_hr) {}
    HRESULT Error() const { return m_hr; }
    // The system text of the HRESULT, else "Unknown error 0x%08X".
    std::u16string ErrorMessage() const;

  private:
    HRESULT m_hr;
};

class CCmnErrorHandler {
  public:
    // "Error=%d %s" of the number and the text.
    static void LogError(const std::u16string& p_strMethod, const std::u16string& p_strError,
                         DWORD p_dwError);
    // "Last Error=%d '%s'" of the thread's last error (as it was on entry)
    // and its system text.
    static void LogLastError(const std::u16string& p_strMethod);
    // "Exception(_com_error): hr=0x%x '%s'".
    static void LogComError(const std::u16string& p_strMethod, const CComError& p_error);
    // "\n   \"<system text>\" [<number>]", or empty when the system has no
    // text for the number.
    static std::u16string GetSystemErrorText(DWORD p_dwError,
                                             DWORD p_dwLanguage = MAKELANGID(LANG_NEUTRAL,
                                                                             SUBLANG_DEFAULT));
};

#endif  // ML_INFRASTRUCTURE_ERROR_HANDLER_H_
