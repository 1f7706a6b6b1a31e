#include "platform/error_text.h"

#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/lasterror.h"
#include "platform/posix/internal.h"
#include "platform/scard.h"

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
    // PC/SC results with the meaning the module's codes have on Windows
    // (pcsc-lite's own texts differ for some, e.g. 0x8010001F).
    {static_cast<DWORD>(SCARD_F_INTERNAL_ERROR), "An internal consistency check failed."},
    {static_cast<DWORD>(SCARD_E_CANCELLED), "The action was cancelled by an SCardCancel request."},
    {static_cast<DWORD>(SCARD_E_INVALID_HANDLE), "The supplied handle was invalid."},
    {static_cast<DWORD>(SCARD_E_INVALID_PARAMETER),
     "One or more of the supplied parameters could not be properly interpreted."},
    {static_cast<DWORD>(SCARD_E_INVALID_TARGET),
     "Registry startup information is missing or invalid."},
    {static_cast<DWORD>(SCARD_E_NO_MEMORY),
     "Not enough memory available to complete this command."},
    {static_cast<DWORD>(SCARD_F_WAITED_TOO_LONG), "An internal consistency timer has expired."},
    {static_cast<DWORD>(SCARD_E_INSUFFICIENT_BUFFER),
     "The data buffer to receive returned data is too small for the returned data."},
    {static_cast<DWORD>(SCARD_E_UNKNOWN_READER), "The specified reader name is not recognized."},
    {static_cast<DWORD>(SCARD_E_TIMEOUT), "The user-specified timeout value has expired."},
    {static_cast<DWORD>(SCARD_E_SHARING_VIOLATION),
     "The smart card cannot be accessed because of other connections outstanding."},
    {static_cast<DWORD>(SCARD_E_NO_SMARTCARD),
     "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {static_cast<DWORD>(SCARD_E_UNKNOWN_CARD), "The specified smart card name is not recognized."},
    {static_cast<DWORD>(SCARD_E_CANT_DISPOSE),
     "The system could not dispose of the media in the requested manner."},
    {static_cast<DWORD>(SCARD_E_PROTO_MISMATCH),
     "The requested protocols are incompatible with the protocol currently in use with the smart "
     "card."},
    {static_cast<DWORD>(SCARD_E_NOT_READY),
     "The reader or smart card is not ready to accept commands."},
    {static_cast<DWORD>(SCARD_E_INVALID_VALUE),
     "One or more of the supplied parameters values could not be properly interpreted."},
    {static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED),
     "The action was cancelled by the system, presumably to log off or shut down."},
    {static_cast<DWORD>(SCARD_F_COMM_ERROR), "An internal communications error has been detected."},
    {static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR),
     "An internal error has been detected, but the source is unknown."},
    {static_cast<DWORD>(SCARD_E_INVALID_ATR),
     "An ATR obtained from the registry is not a valid ATR string."},
    {static_cast<DWORD>(SCARD_E_NOT_TRANSACTED),
     "An attempt was made to end a non-existent transaction."},
    {static_cast<DWORD>(SCARD_E_READER_UNAVAILABLE),
     "The specified reader is not currently available for use."},
    {static_cast<DWORD>(SCARD_P_SHUTDOWN),
     "The operation has been aborted to allow the server application to exit."},
    {static_cast<DWORD>(SCARD_E_PCI_TOO_SMALL), "The PCI Receive buffer was too small."},
    {static_cast<DWORD>(SCARD_E_READER_UNSUPPORTED),
     "The reader driver does not meet minimal requirements for support."},
    {static_cast<DWORD>(SCARD_E_DUPLICATE_READER),
     "The reader driver did not produce a unique reader name."},
    {static_cast<DWORD>(SCARD_E_CARD_UNSUPPORTED),
     "The smart card does not meet minimal requirements for support."},
    {static_cast<DWORD>(SCARD_E_NO_SERVICE), "The Smart card resource manager is not running."},
    {static_cast<DWORD>(SCARD_E_SERVICE_STOPPED), "The Smart card resource manager has shut down."},
    {static_cast<DWORD>(SCARD_E_UNEXPECTED), "An unexpected card error has occurred."},
    {static_cast<DWORD>(SCARD_E_ICC_INSTALLATION),
     "No Primary Provider can be found for the smart card."},
    {static_cast<DWORD>(SCARD_E_ICC_CREATEORDER),
     "The requested order of object creation is not supported."},
    {static_cast<DWORD>(SCARD_E_UNSUPPORTED_FEATURE),
     "This smart card does not support the requested feature."},
    {static_cast<DWORD>(SCARD_E_DIR_NOT_FOUND),
     "The identified directory does not exist in the smart card."},
    {static_cast<DWORD>(SCARD_E_FILE_NOT_FOUND),
     "The identified file does not exist in the smart card."},
    {static_cast<DWORD>(SCARD_E_NO_DIR),
     "The supplied path does not represent a smart card directory."},
    {static_cast<DWORD>(SCARD_E_NO_FILE),
     "The supplied path does not represent a smart card file."},
    {static_cast<DWORD>(SCARD_E_NO_ACCESS), "Access is denied to this file."},
    {static_cast<DWORD>(SCARD_E_WRITE_TOO_MANY),
     "The smartcard does not have enough memory to store the information."},
    {static_cast<DWORD>(SCARD_E_BAD_SEEK),
     "There was an error trying to set the smart card file object pointer."},
    {static_cast<DWORD>(SCARD_E_INVALID_CHV), "The supplied PIN is incorrect."},
    {static_cast<DWORD>(SCARD_E_UNKNOWN_RES_MNG),
     "An unrecognized error code was returned from a layered component."},
    {static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE), "The requested certificate does not exist."},
    {static_cast<DWORD>(SCARD_E_CERTIFICATE_UNAVAILABLE),
     "The requested certificate could not be obtained."},
    {static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE), "Cannot find a smart card reader."},
    {static_cast<DWORD>(SCARD_E_COMM_DATA_LOST),
     "A communications error with the smart card has been detected. Retry the operation."},
    {static_cast<DWORD>(SCARD_E_NO_KEY_CONTAINER),
     "The requested key container does not exist on the smart card."},
    {static_cast<DWORD>(SCARD_E_SERVER_TOO_BUSY),
     "The Smart card resource manager is too busy to complete this operation."},
    {static_cast<DWORD>(SCARD_W_UNSUPPORTED_CARD),
     "The reader cannot communicate with the smart card, due to ATR configuration conflicts."},
    {static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD), "The smart card is not responding to a reset."},
    {static_cast<DWORD>(SCARD_W_UNPOWERED_CARD),
     "Power has been removed from the smart card, so that further communication is not possible."},
    {static_cast<DWORD>(SCARD_W_RESET_CARD),
     "The smart card has been reset, so any shared state information is invalid."},
    {static_cast<DWORD>(SCARD_W_REMOVED_CARD),
     "The smart card has been removed, so that further communication is not possible."},
    {static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION),
     "Access was denied because of a security violation."},
    {static_cast<DWORD>(SCARD_W_WRONG_CHV),
     "The card cannot be accessed because the wrong PIN was presented."},
    {static_cast<DWORD>(SCARD_W_CHV_BLOCKED),
     "The card cannot be accessed because the maximum number of PIN entry attempts has been "
     "reached."},
    {static_cast<DWORD>(SCARD_W_EOF), "The end of the smart card file has been reached."},
    {static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER), "The action was cancelled by the user."},
    {static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED), "No PIN was presented to the smart card."},
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
