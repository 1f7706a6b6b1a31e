// The read of the login record done by hand with pcsc-lite: the same
// connect, status, APDUs and disconnect that SmartCardReadFiles issues, with
// nothing around them. Kept apart: <winscard.h> clashes with windef.h.
#include <PCSC/winscard.h>

#include <cstdint>
#include <string>

namespace mlbench {

// One read on `reader`; `tcos` adds the identification read and the short
// master-file selection of a TCOS card. Returns pcsc-lite's result, or -1
// when a status word was not 9000.
int64_t DirectReadLoginRecord(const std::string& reader, bool tcos) {
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    rv = SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED,
                      SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        return rv;
    }
    char name[512];
    DWORD nameLength = sizeof(name);
    DWORD state = 0, statusProtocol = 0;
    BYTE atr[40] = {};
    DWORD atrLength = 32;
    SCardStatus(card, name, &nameLength, &state, &statusProtocol, atr, &atrLength);

    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    struct Apdu {
        BYTE bytes[8];
        DWORD length;
    };
    const Apdu generic[] = {{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 7},
                            {{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x44}, 7},
                            {{0x00, 0xB0, 0x00, 0x00, 0xF0}, 5}};
    const Apdu tcosApdus[] = {
        {{0xB0, 0xA4, 0x02, 0x0C, 0x02, 0x5A, 0x49}, 7},
        {{0xB0, 0xB0, 0x00, 0x00, 0x2C}, 5},
        {{0x00, 0xA4, 0x00, 0x00, 0x00}, protocol == SCARD_PROTOCOL_T0 ? 4u : 5u},
        {{0xB0, 0xA4, 0x02, 0x0C, 0x02, 0x55, 0x44}, 7},
        {{0xB0, 0xB0, 0x00, 0x00, 0xF0}, 5}};
    const Apdu* apdus = tcos ? tcosApdus : generic;
    const size_t count = tcos ? 5 : 3;
    // The identification read's answer does not matter (a short file says 6282).
    const size_t firstChecked = tcos ? 2 : 0;
    int64_t result = SCARD_S_SUCCESS;
    for (size_t i = 0; i < count && result == SCARD_S_SUCCESS; ++i) {
        BYTE answer[308];
        DWORD answerLength = 300;
        rv = SCardTransmit(card, pci, apdus[i].bytes, apdus[i].length, nullptr, answer,
                           &answerLength);
        if (rv != SCARD_S_SUCCESS) {
            result = rv;
        } else if (i >= firstChecked && (answerLength < 2 || answer[answerLength - 2] != 0x90)) {
            result = -1;
        }
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    return result;
}

}  // namespace mlbench
