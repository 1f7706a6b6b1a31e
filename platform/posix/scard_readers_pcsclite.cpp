// pcsc-lite's reader list (pcsclite_calls.h); kept apart from platform/scard.h,
// whose names pcsc-lite's headers define too.
#include <PCSC/winscard.h>

#include "platform/posix/pcsclite_calls.h"

namespace ml::pcsclite {

int32_t ListReaders(std::vector<std::pair<std::string, bool>>& readers) {
    readers.clear();
    SCARDCONTEXT context = 0;
    LONG rc = ::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS)
        return static_cast<int32_t>(rc);
    DWORD length = 0;
    rc = ::SCardListReaders(context, nullptr, nullptr, &length);
    std::string names;
    if (rc == SCARD_S_SUCCESS && length > 0) {
        names.resize(length);
        rc = ::SCardListReaders(context, nullptr, names.data(), &length);
        names.resize(rc == SCARD_S_SUCCESS && length <= names.size() ? length : 0);
    }
    if (rc == SCARD_E_NO_READERS_AVAILABLE) {
        names.clear();
        rc = SCARD_S_SUCCESS;
    }
    for (size_t start = 0; start < names.size();) {
        size_t end = names.find('\0', start);
        if (end == std::string::npos)
            end = names.size();
        if (end > start) {
            std::string name = names.substr(start, end - start);
            SCARD_READERSTATE state{};
            state.szReader = name.c_str();
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            bool card = ::SCardGetStatusChange(context, 0, &state, 1) == SCARD_S_SUCCESS &&
                        (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            readers.emplace_back(name, card);
        }
        start = end + 1;
    }
    ::SCardReleaseContext(context);
    return static_cast<int32_t>(rc);
}

}  // namespace ml::pcsclite
