/* A host of the module written in plain C11: it shows that include/mlcardmanx.h
 * is usable from C and is what the supervision tests use to take notices. */
#include "mlsmartcardx/tests/c_host.h"

#include <string.h>

_Static_assert(sizeof(WCHAR) == 2 && sizeof(LoginDataBlock) == (43 + 33 + 101) * 2 &&
                   offsetof(LoginDataBlock, szDomain) == 43 * 2 &&
                   offsetof(LoginDataBlock, szPassword) == (43 + 33) * 2,
               "LoginDataBlock is three arrays of UTF-16 code units, without padding");
_Static_assert(WM_COMMAND == 0x0111 && CARD_INSERTED == 0x0401 && CARD_REMOVED == 0x0402 &&
                   CARD_ERROR == 0x0403 && CARD_UNKNOWN == 0x0404,
               "notice codes");

int MlTestCHostHandle(const MSG* msg, LoginDataBlock* copy) {
    if (msg->message != WM_COMMAND) {
        DispatchMessageW(msg);
        return 0;
    }
    if (msg->wParam == CARD_INSERTED) {
        /* The block is the module's and is rewritten by later passes. */
        memcpy(copy, (const LoginDataBlock*)msg->lParam, sizeof *copy);
    }
    return msg->wParam >= CARD_INSERTED && msg->wParam <= CARD_UNKNOWN ? (int)msg->wParam : 0;
}

int MlTestCHostResetEvent(int logon) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                              logon ? ML_EVENT_LOGON_IN_PROCESS : ML_EVENT_LOGOFF_IN_PROCESS);
    BOOL ok = event != NULL && ResetEvent(event);
    if (event != NULL) {
        CloseHandle(event);
    }
    return ok ? 1 : 0;
}
