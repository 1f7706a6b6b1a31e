// Another process for the real-stack tests: sets or resets the machine-wide
// logon event, as a logon component does.
//   smart_card_event_helper set|reset
// Exit status: 0 done, 1 the event could not be opened or changed, 2 usage.
#include <string>

#include "include/mlcardmanx.h"

int main(int argc, char** argv) {
    const std::string action = argc == 2 ? argv[1] : "";
    if (action != "set" && action != "reset")
        return 2;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, ML_EVENT_LOGON_IN_PROCESS);
    const BOOL ok = event != nullptr && (action == "set" ? SetEvent(event) : ResetEvent(event));
    CloseHandle(event);
    return ok ? 0 : 1;
}
