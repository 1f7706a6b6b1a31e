// A second process of the machine for the real-stack tests: sets or resets
// one of the module's machine-wide events, as a logon or logoff component
// does, and exits.
//   smart_card_event_helper set|reset NAME    (NAME in ASCII)
// Exit status: 0 done, 1 the event could not be opened or changed, 2 usage.
#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/handle.h"
#include "platform/named_objects.h"

int main(int argc, char** argv) {
    const std::string action = argc == 3 ? argv[1] : "", name = argc == 3 ? argv[2] : "";
    if ((action != "set" && action != "reset") ||
        !std::all_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x80; })) {
        std::fprintf(stderr, "usage: %s set|reset NAME (NAME in ASCII)\n", argv[0]);
        return 2;
    }
    HANDLE event =
        CreateEventW(nullptr, TRUE, FALSE, std::u16string(name.begin(), name.end()).c_str());
    const BOOL ok = event != nullptr && (action == "set" ? SetEvent(event) : ResetEvent(event));
    if (event != nullptr) {
        CloseHandle(event);
    }
    if (!ok) {
        std::fprintf(stderr, "%s: cannot %s the event %s\n", argv[0], argv[1], argv[2]);
    }
    return ok ? 0 : 1;
}
