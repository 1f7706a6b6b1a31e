// A second process of the machine for the real-stack tests: sets or resets
// one of the module's machine-wide events, as a logon or logoff component
// does, and exits.
//   smart_card_event_helper set|reset NAME
// Exit status: 0 done, 1 the event could not be opened or changed, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/handle.h"
#include "platform/named_objects.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "set") != 0 && std::strcmp(argv[1], "reset") != 0)) {
        std::fprintf(stderr, "usage: %s set|reset NAME\n", argv[0]);
        return 2;
    }
    std::u16string name;
    for (const char* c = argv[2]; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) > 0x7F) {
            std::fprintf(stderr, "%s: the event name must be ASCII\n", argv[0]);
            return 2;
        }
        name.push_back(static_cast<char16_t>(*c));
    }
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (event == nullptr) {
        std::fprintf(stderr, "%s: cannot open the event %s\n", argv[0], argv[2]);
        return 1;
    }
    const bool set = std::strcmp(argv[1], "set") == 0;
    const BOOL ok = set ? SetEvent(event) : ResetEvent(event);
    CloseHandle(event);
    if (!ok) {
        std::fprintf(stderr, "%s: cannot %s the event %s\n", argv[0], argv[1], argv[2]);
        return 1;
    }
    return 0;
}
