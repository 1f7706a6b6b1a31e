// Asks pcsc-lite directly, so that the real-stack tests can compare its own
// answers with the service's. Kept apart: <winscard.h> clashes with windef.h.
#include <PCSC/winscard.h>

#include <cstdint>
#include <string>

namespace mltest {

// pcsc-lite's own result of a shared connect to `reader`, as its 64-bit long.
int64_t PcscLiteConnectResult(const std::string& reader) {
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv == SCARD_S_SUCCESS) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(context);
    return rv;
}

}  // namespace mltest
