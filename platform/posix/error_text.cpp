#include "platform/error_text.h"

#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/lasterror.h"
#include "platform/posix/internal.h"

using namespace ml::posix;

namespace {

struct Text {
    DWORD code;
    const char* text;
};

constexpr Text kTexts[] = {
    {ML_ERROR_MORE_DATA, "More data is available."},
    {ML_ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ML_ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ML_ERROR_RESOURCE_DATA_NOT_FOUND,
     "The specified image file did not contain a resource section."},
    {ML_ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ML_ERROR_INVALID_THREAD_ID,
     "The thread identifier is invalid or the thread has no message queue."},
    {ML_ERROR_NO_SUCH_TIMER, "The timer does not exist."},
    {ML_ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ML_ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {static_cast<DWORD>(E_NOTIMPL), "Not implemented."},
    {static_cast<DWORD>(E_NOINTERFACE), "No such interface supported."},
    {static_cast<DWORD>(E_POINTER), "Invalid pointer."},
    {static_cast<DWORD>(E_FAIL), "Unspecified error."},
    {static_cast<DWORD>(E_OUTOFMEMORY),
     "Not enough memory resources are available to complete this operation."},
    {static_cast<DWORD>(E_INVALIDARG), "The parameter is incorrect."},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), "Class not registered."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION),
     "Class does not support aggregation (or class object is remote)."},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), "ClassFactory cannot supply requested class."},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), "CoInitialize has not been called."},
    {static_cast<DWORD>(CO_E_DLLNOTFOUND), "DLL for class not found."},
    {static_cast<DWORD>(CO_E_ERRORINDLL), "Error in the DLL."},
};

// The text of a code, empty when the code is unknown.
std::string TextOf(DWORD code) {
    if (code == ML_ERROR_MOD_NOT_FOUND || code == ML_ERROR_PROC_NOT_FOUND) {
        if (!LoaderError().empty())
            return LoaderError();
        return code == ML_ERROR_MOD_NOT_FOUND ? "The specified module could not be found."
                                              : "The specified procedure could not be found.";
    }
    for (const auto& entry : kTexts)
        if (entry.code == code)
            return entry.text;
    if ((code & 0xFFFF0000u) == 0x80100000u) {
        std::string text = PcscText(code);
        if (text.rfind("Unknown error", 0) == 0)
            return {};
        return text;
    }
    if (code < 4096) {
        char buffer[256];
        std::string text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
        if (text.rfind("Unknown error", 0) == 0)
            return {};
        return text;
    }
    return {};
}

}  // namespace

extern "C" {

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPWSTR buffer, DWORD size,
                     va_list*) {
    constexpr DWORD kSupported =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & ~kSupported) || buffer == nullptr)
        return Fail(ML_ERROR_INVALID_PARAMETER, 0u);
    std::string text = TextOf(messageId);
    if (text.empty())
        return Fail(ML_ERROR_INVALID_PARAMETER, 0u);
    // As on Windows: system texts end with a line break, which the width flag
    // turns into a blank like every other break.
    text += "\r\n";
    if (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        std::string flat;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                continue;
            flat += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
        }
        text = flat;
    }
    std::u16string wide = Utf8ToUtf16(text);
    if (!CopyWide(wide, buffer, size))
        return Fail(ML_ERROR_INSUFFICIENT_BUFFER, 0u);
    return static_cast<DWORD>(wide.size());
}

}  // extern "C"
