// Prints "set", "clear" or "absent" for the module's logon or logoff event.
#include <stdio.h>
#include <string.h>

#include "mlcardmanx.h"

int main(int argc, char** argv) {
    const bool logon = argc == 2 && strcmp(argv[1], "logon") == 0;  // else "logoff"
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE,
                              logon ? ML_EVENT_LOGON_IN_PROCESS : ML_EVENT_LOGOFF_IN_PROCESS);
    puts(event == nullptr                                 ? "absent"
         : WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "set"
                                                          : "clear");
    return 0;
}
