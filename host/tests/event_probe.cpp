// Prints the state of the module's logon or logoff event: "set", "clear" or
// "absent". Used by the tests' --on-insert and --on-remove commands.
#include <stdio.h>
#include <string.h>

#include "mlcardmanx.h"

int main(int argc, char** argv) {
    if (argc != 2 || (strcmp(argv[1], "logon") != 0 && strcmp(argv[1], "logoff") != 0)) {
        fprintf(stderr, "usage: mlhost_event_probe logon|logoff\n");
        return 2;
    }
    LPCWSTR name =
        strcmp(argv[1], "logon") == 0 ? ML_EVENT_LOGON_IN_PROCESS : ML_EVENT_LOGOFF_IN_PROCESS;
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (event == nullptr) {
        puts("absent");
        return 0;
    }
    puts(WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "set" : "clear");
    CloseHandle(event);
    return 0;
}
