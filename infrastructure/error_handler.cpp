#include "infrastructure/error_handler.h"

#include <cstdio>
#include <vector>

#include "infrastructure/log_file.h"
#include "infrastructure/trace.h"
#include "platform/error_text.h"
#include "platform/lasterror.h"

namespace {

constexpr DWORD kSystemTextChars = 5120;

void Report(const std::u16string& p_strMethod, BOOL p_bDebug, const std::u16string& p_strText) {
    TraceErrorSeparator(p_bDebug ? 1 : 0, 1);
    Trace(p_strMethod, p_bDebug, TRUE, {TraceParam(u"", 3, u"[ERROR]", p_strText)});
}

// The system's text of a number, or empty.
std::u16string SystemText(DWORD p_dwError, DWORD p_dwFlags, DWORD p_dwLanguage) {
    std::vector<WCHAR> buffer(kSystemTextChars, u'\0');
    DWORD length = FormatMessageW(p_dwFlags, nullptr, p_dwError, p_dwLanguage, buffer.data(),
                                  kSystemTextChars, nullptr);
    if (length == 0) {
        length = FormatMessageW(p_dwFlags, nullptr, p_dwError, 0, buffer.data(), kSystemTextChars,
                                nullptr);
    }
    return std::u16string(buffer.data(), std::min<DWORD>(length, kSystemTextChars - 1));
}

}  // namespace

std::u16string CComError::ErrorMessage() const {
    std::u16string text = SystemText(static_cast<DWORD>(m_hr),
                                     FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT));
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) {
        text.pop_back();
    }
    if (text.empty()) {
        char buffer[40];
        int length = std::snprintf(buffer, sizeof buffer, "Unknown error 0x%08X",
                                   static_cast<unsigned>(m_hr));
        text.assign(buffer, buffer + length);
    }
    return text;
}

void CCmnErrorHandler::LogError(const std::u16string& p_strMethod, const std::u16string& p_strError,
                                DWORD p_dwError) {
    DWORD lastError = GetLastError();
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        Report(p_strMethod, debug,
               ml_infra::Concat({u"Error=", ml_infra::FormatDec(static_cast<int32_t>(p_dwError)),
                                 u" ", p_strError}));
    } catch (...) {
    }
    SetLastError(lastError);
}

void CCmnErrorHandler::LogLastError(const std::u16string& p_strMethod) {
    // Taken before anything else runs, so that the report names the error
    // the caller met and not one of the logging itself.
    DWORD lastError = GetLastError();
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        Report(
            p_strMethod, debug,
            ml_infra::Concat({u"Last Error=", ml_infra::FormatDec(static_cast<int32_t>(lastError)),
                              u" '", GetSystemErrorText(lastError), u"'"}));
    } catch (...) {
    }
    SetLastError(lastError);
}

void CCmnErrorHandler::LogComError(const std::u16string& p_strMethod, const CComError& p_error) {
    DWORD lastError = GetLastError();
    try {
        BOOL debug = theDebugFile.IsTraceOn();
        Report(p_strMethod, debug,
               ml_infra::Concat({u"Exception(_com_error): hr=0x",
                                 ml_infra::FormatHex(static_cast<uint32_t>(p_error.Error())), u" '",
                                 p_error.ErrorMessage(), u"'"}));
    } catch (...) {
    }
    SetLastError(lastError);
}

std::u16string CCmnErrorHandler::GetSystemErrorText(DWORD p_dwError, DWORD p_dwLanguage) {
    DWORD lastError = GetLastError();
    std::u16string text;
    try {
        std::u16string message =
            SystemText(p_dwError,
                       FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                           FORMAT_MESSAGE_MAX_WIDTH_MASK,
                       p_dwLanguage);
        if (!message.empty()) {
            char number[16];
            int length =
                std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(p_dwError));
            text = ml_infra::Concat(
                {u"\n   \"", message, u"\" [", std::u16string(number, number + length), u"]"});
        }
    } catch (...) {
        text.clear();
    }
    SetLastError(lastError);
    return text;
}
