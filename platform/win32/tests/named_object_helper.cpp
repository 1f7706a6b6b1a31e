// A second process for the named-object tests:
//   win32_named_object_helper mutex NAME   exit 0 when the mutex could be
//                                          taken at once, 1 when it is held
//   win32_named_object_helper event NAME   sets the existing event; exit 0
// Exit 2 on a bad call or a failed step.
#include <cstring>

#include "platform/codepage.h"
#include "platform/handle.h"
#include "platform/named_objects.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    const std::u16string name = ml::FromUtf8(argv[2]);
    if (std::strcmp(argv[1], "mutex") == 0) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (mutex == nullptr)
            return 2;
        DWORD rc = WaitForSingleObject(mutex, 0);
        if (rc == WAIT_OBJECT_0)
            ReleaseMutex(mutex);
        CloseHandle(mutex);
        return rc == WAIT_OBJECT_0 ? 0 : rc == WAIT_TIMEOUT ? 1 : 2;
    }
    if (std::strcmp(argv[1], "event") == 0) {
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (event == nullptr)
            return 2;
        BOOL set = SetEvent(event);
        CloseHandle(event);
        return set ? 0 : 2;
    }
    return 2;
}
