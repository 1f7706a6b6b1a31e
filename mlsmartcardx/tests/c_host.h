// A host written in C (c_host.c, C11 against include/mlcardmanx.h).
#ifndef ML_MLSMARTCARDX_TESTS_C_HOST_H_
#define ML_MLSMARTCARDX_TESTS_C_HOST_H_

#include "include/mlcardmanx.h"

ML_EXTERN_C_BEGIN
/* Handles one message of the host's loop: a WM_COMMAND notice returns its
 * code (for CARD_INSERTED the login data is copied into *copy at once); any
 * other message is dispatched and 0 returned. */
int MlTestCHostHandle(const MSG* msg, LoginDataBlock* copy);
/* Resets the logon (logon != 0) or logoff event as a host does when done;
 * 1 on success, 0 when the event cannot be opened or reset. */
int MlTestCHostResetEvent(int logon);
ML_EXTERN_C_END

#endif  // ML_MLSMARTCARDX_TESTS_C_HOST_H_
