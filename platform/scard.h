/* The PC/SC smart-card service (stand-in for WinSCard).
 *
 * Types, constants and protocol control blocks with Windows's names, sizes
 * and values: every result is a 32-bit LONG, so that 0x8010xxxx codes are the
 * same negative numbers on every platform and compare like with like. The
 * service itself is a small interface, ml::SCardService, with one operation
 * per WinSCard call the module uses. The default implementation talks to
 * pcsc-lite (library target mlscard); tests install a service of their own
 * with ml::SetSCardService.
 *
 * Differences from WinSCard, all made in the pcsc-lite implementation:
 *  - pcsc-lite's 64-bit LONG results become these 32-bit values.
 *  - Connecting to a reader without a card yields SCARD_W_REMOVED_CARD, as
 *    the Windows service answers, where pcsc-lite says SCARD_E_NO_SMARTCARD.
 *  - Reader names are UTF-16 here and UTF-8 for pcsc-lite; the service
 *    converts. A name that is not valid UTF-16 cannot name any reader.
 *  - The reader state of Status is Windows's enumeration (SCARD_ABSENT ..
 *    SCARD_SPECIFIC); pcsc-lite's bit mask is reduced to its highest state.
 *  - The raw protocol is SCARD_PROTOCOL_RAW (0x10000) as on Windows.
 *
 * Windows: the service is winscard.dll itself and none of the differences
 * above apply.
 */
#ifndef ML_PLATFORM_SCARD_H_
#define ML_PLATFORM_SCARD_H_

#include "platform/windef.h"

typedef ULONG_PTR SCARDCONTEXT;
typedef ULONG_PTR SCARDHANDLE;

/* Protocol control information passed with every transmit. */
typedef struct {
    DWORD dwProtocol;
    DWORD cbPciLength;
} SCARD_IO_REQUEST;
typedef SCARD_IO_REQUEST* LPSCARD_IO_REQUEST;
typedef const SCARD_IO_REQUEST* LPCSCARD_IO_REQUEST;

#define SCARD_SCOPE_USER 0u
#define SCARD_SCOPE_SYSTEM 2u

#define SCARD_SHARE_EXCLUSIVE 1u
#define SCARD_SHARE_SHARED 2u
#define SCARD_SHARE_DIRECT 3u

#define SCARD_PROTOCOL_UNDEFINED 0x00000000u
#define SCARD_PROTOCOL_T0 0x00000001u
#define SCARD_PROTOCOL_T1 0x00000002u
#define SCARD_PROTOCOL_RAW 0x00010000u
#define SCARD_PROTOCOL_Tx (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)

#define SCARD_LEAVE_CARD 0u
#define SCARD_RESET_CARD 1u
#define SCARD_UNPOWER_CARD 2u
#define SCARD_EJECT_CARD 3u

/* Reader state reported by Status. */
#define SCARD_UNKNOWN 0u
#define SCARD_ABSENT 1u
#define SCARD_PRESENT 2u
#define SCARD_SWALLOWED 3u
#define SCARD_POWERED 4u
#define SCARD_NEGOTIABLE 5u
#define SCARD_SPECIFIC 6u

#define MAX_ATR_SIZE 36

/* Results. */
#define SCARD_S_SUCCESS ((LONG)0x00000000)
#define SCARD_F_INTERNAL_ERROR ((LONG)0x80100001u)
#define SCARD_E_CANCELLED ((LONG)0x80100002u)
#define SCARD_E_INVALID_HANDLE ((LONG)0x80100003u)
#define SCARD_E_INVALID_PARAMETER ((LONG)0x80100004u)
#define SCARD_E_INVALID_TARGET ((LONG)0x80100005u)
#define SCARD_E_NO_MEMORY ((LONG)0x80100006u)
#define SCARD_F_WAITED_TOO_LONG ((LONG)0x80100007u)
#define SCARD_E_INSUFFICIENT_BUFFER ((LONG)0x80100008u)
#define SCARD_E_UNKNOWN_READER ((LONG)0x80100009u)
#define SCARD_E_TIMEOUT ((LONG)0x8010000Au)
#define SCARD_E_SHARING_VIOLATION ((LONG)0x8010000Bu)
#define SCARD_E_NO_SMARTCARD ((LONG)0x8010000Cu)
#define SCARD_E_UNKNOWN_CARD ((LONG)0x8010000Du)
#define SCARD_E_CANT_DISPOSE ((LONG)0x8010000Eu)
#define SCARD_E_PROTO_MISMATCH ((LONG)0x8010000Fu)
#define SCARD_E_NOT_READY ((LONG)0x80100010u)
#define SCARD_E_INVALID_VALUE ((LONG)0x80100011u)
#define SCARD_E_SYSTEM_CANCELLED ((LONG)0x80100012u)
#define SCARD_F_COMM_ERROR ((LONG)0x80100013u)
#define SCARD_F_UNKNOWN_ERROR ((LONG)0x80100014u)
#define SCARD_E_INVALID_ATR ((LONG)0x80100015u)
#define SCARD_E_NOT_TRANSACTED ((LONG)0x80100016u)
#define SCARD_E_READER_UNAVAILABLE ((LONG)0x80100017u)
#define SCARD_P_SHUTDOWN ((LONG)0x80100018u)
#define SCARD_E_PCI_TOO_SMALL ((LONG)0x80100019u)
#define SCARD_E_READER_UNSUPPORTED ((LONG)0x8010001Au)
#define SCARD_E_DUPLICATE_READER ((LONG)0x8010001Bu)
#define SCARD_E_CARD_UNSUPPORTED ((LONG)0x8010001Cu)
#define SCARD_E_NO_SERVICE ((LONG)0x8010001Du)
#define SCARD_E_SERVICE_STOPPED ((LONG)0x8010001Eu)
#define SCARD_E_UNEXPECTED ((LONG)0x8010001Fu)
#define SCARD_E_ICC_INSTALLATION ((LONG)0x80100020u)
#define SCARD_E_ICC_CREATEORDER ((LONG)0x80100021u)
#define SCARD_E_UNSUPPORTED_FEATURE ((LONG)0x80100022u)
#define SCARD_E_DIR_NOT_FOUND ((LONG)0x80100023u)
#define SCARD_E_FILE_NOT_FOUND ((LONG)0x80100024u)
#define SCARD_E_NO_DIR ((LONG)0x80100025u)
#define SCARD_E_NO_FILE ((LONG)0x80100026u)
#define SCARD_E_NO_ACCESS ((LONG)0x80100027u)
#define SCARD_E_WRITE_TOO_MANY ((LONG)0x80100028u)
#define SCARD_E_BAD_SEEK ((LONG)0x80100029u)
#define SCARD_E_INVALID_CHV ((LONG)0x8010002Au)
#define SCARD_E_UNKNOWN_RES_MNG ((LONG)0x8010002Bu)
#define SCARD_E_NO_SUCH_CERTIFICATE ((LONG)0x8010002Cu)
#define SCARD_E_CERTIFICATE_UNAVAILABLE ((LONG)0x8010002Du)
#define SCARD_E_NO_READERS_AVAILABLE ((LONG)0x8010002Eu)
#define SCARD_E_COMM_DATA_LOST ((LONG)0x8010002Fu)
#define SCARD_E_NO_KEY_CONTAINER ((LONG)0x80100030u)
#define SCARD_E_SERVER_TOO_BUSY ((LONG)0x80100031u)
#define SCARD_W_UNSUPPORTED_CARD ((LONG)0x80100065u)
#define SCARD_W_UNRESPONSIVE_CARD ((LONG)0x80100066u)
#define SCARD_W_UNPOWERED_CARD ((LONG)0x80100067u)
#define SCARD_W_RESET_CARD ((LONG)0x80100068u)
#define SCARD_W_REMOVED_CARD ((LONG)0x80100069u)
#define SCARD_W_SECURITY_VIOLATION ((LONG)0x8010006Au)
#define SCARD_W_WRONG_CHV ((LONG)0x8010006Bu)
#define SCARD_W_CHV_BLOCKED ((LONG)0x8010006Cu)
#define SCARD_W_EOF ((LONG)0x8010006Du)
#define SCARD_W_CANCELLED_BY_USER ((LONG)0x8010006Eu)
#define SCARD_W_CARD_NOT_AUTHENTICATED ((LONG)0x8010006Fu)

#ifdef __cplusplus
#include <string>
#include <vector>

namespace ml {

/* The protocol control blocks of T=0, T=1 and the raw protocol. */
extern const SCARD_IO_REQUEST g_rgSCardT0Pci;
extern const SCARD_IO_REQUEST g_rgSCardT1Pci;
extern const SCARD_IO_REQUEST g_rgSCardRawPci;

/* The calls of the smart-card service, with WinSCard's arguments and
 * results. Every call blocks until the service has answered; none throws.
 * An implementation must be safe to call from several threads at once, each
 * on its own context. Out values are written only where WinSCard writes
 * them; pointers documented as optional may be null. */
class SCardService {
  public:
    virtual ~SCardService() = default;

    /* SCardEstablishContext with no reserved pointers. */
    virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) = 0;
    virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
    /* SCardConnectW. `reader` is the terminated reader name. */
    virtual LONG Connect(SCARDCONTEXT context, LPCWSTR reader, DWORD shareMode,
                         DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) = 0;
    /* SCardStatusW. `readerNames` receives the reader's name as a list of
     * terminated names ending with an empty one; `*readerLength` gives its
     * capacity in characters and receives the length used. `*atrLength`
     * gives the ATR buffer's size and receives the ATR's length. Every
     * pointer is optional. */
    virtual LONG Status(SCARDHANDLE card, LPWSTR readerNames, DWORD* readerLength, DWORD* state,
                        DWORD* protocol, BYTE* atr, DWORD* atrLength) = 0;
    /* SCardTransmit. `*receiveLength` gives the receive buffer's size and
     * receives the answer's length; `receivePci` is optional. */
    virtual LONG Transmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, const BYTE* send,
                          DWORD sendLength, SCARD_IO_REQUEST* receivePci, BYTE* receive,
                          DWORD* receiveLength) = 0;
    virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
};

/* The service in use: the one installed with SetSCardService, else the
 * process's pcsc-lite service. Safe from any thread. */
SCardService& GetSCardService();

/* Installs `service` (not owned; it must outlive its use) and returns the one
 * installed before (null for the default). Null restores the default. Meant
 * for tests and tools; calls already under way finish on the old service. */
SCardService* SetSCardService(SCardService* service);

/* A reader of the PC/SC service and whether a card is in it. */
struct ReaderPresence {
    std::u16string name;
    bool card = false;
};

/* The readers the PC/SC service knows now, for tools that show them (not
 * through the service installed with SetSCardService). SCARD_S_SUCCESS with
 * an empty list when there is none. */
LONG ListReaders(std::vector<ReaderPresence>& readers);

}  // namespace ml

#define SCARD_PCI_T0 (&::ml::g_rgSCardT0Pci)
#define SCARD_PCI_T1 (&::ml::g_rgSCardT1Pci)
#define SCARD_PCI_RAW (&::ml::g_rgSCardRawPci)

#endif /* __cplusplus */

#endif /* ML_PLATFORM_SCARD_H_ */
