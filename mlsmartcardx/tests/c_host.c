/* A host of the module written in plain C11: it shows that include/mlcardmanx.h
 * is usable from C and is what the supervision tests use to take notices. */
#include "mlsmartcardx/tests/c_host.h"

#include <string.h>

_Static_assert(sizeof(WCHAR) == 2, "the module's characters are UTF-16 code units");
_Static_assert(sizeof(LoginDataBlock) == (43 + 33 + 101) * sizeof(WCHAR),
               "LoginDataBlock is three arrays of 16-bit characters, without padding");
_Static_assert(offsetof(LoginDataBlock, szDomain) == 43 * sizeof(WCHAR),
               "szDomain follows szUserName");
_Static_assert(offsetof(LoginDataBlock, szPassword) == (43 + 33) * sizeof(WCHAR),
               "szPassword follows szDomain");
_Static_assert(WM_COMMAND == 0x0111 && CARD_INSERTED == 0x0401 && CARD_REMOVED == 0x0402 &&
                   CARD_ERROR == 0x0403 && CARD_UNKNOWN == 0x0404,
               "notice codes");

int MlTestCHostHandle(const MSG* msg, LoginDataBlock* copy) {
    if (msg->message != WM_COMMAND) {
        DispatchMessageW(msg);
        return 0;
    }
    switch (msg->wParam) {
        case CARD_INSERTED:
            /* The block is the module's and is rewritten by later passes:
             * copy it while handling the notice. */
            memcpy(copy, (const LoginDataBlock*)msg->lParam, sizeof *copy);
            return CARD_INSERTED;
        case CARD_REMOVED:
        case CARD_ERROR:
        case CARD_UNKNOWN:
            return (int)msg->wParam;
        default:
            return 0;
    }
}

int MlTestCHostResetEvent(int logon) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                              logon ? ML_EVENT_LOGON_IN_PROCESS : ML_EVENT_LOGOFF_IN_PROCESS);
    if (event == NULL) {
        return 0;
    }
    BOOL ok = ResetEvent(event);
    CloseHandle(event);
    return ok ? 1 : 0;
}
