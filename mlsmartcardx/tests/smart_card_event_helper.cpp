// Another process for the real-stack tests: sets or resets one of the
// module's machine-wide events, as a logon or logoff component does.
//   smart_card_event_helper set|reset NAME    (NAME in ASCII)
// Exit status: 0 done, 1 the event could not be opened or changed, 2 usage.
#include <cstdio>
#include <string>

#include "platform/handle.h"
#include "platform/named_objects.h"

int main(int argc, char** argv) {
    const std::string action = argc == 3 ? argv[1] : "", name = argc == 3 ? argv[2] : "";
    if (action != "set" && action != "reset") {
        std::fprintf(stderr, "usage: %s set|reset NAME\n", argv[0]);
        return 2;
    }
    HANDLE event =
        CreateEventW(nullptr, TRUE, FALSE, std::u16string(name.begin(), name.end()).c_str());
    const BOOL ok = event != nullptr && (action == "set" ? SetEvent(event) : ResetEvent(event));
    if (event != nullptr) {
        CloseHandle(event);
    }
    return ok ? 0 : 1;
}
