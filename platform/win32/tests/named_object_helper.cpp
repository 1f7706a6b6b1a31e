// A second process for the named-object test: "win32_named_object_helper
// NAME" exits 0 when the mutex NAME could be taken at once, 1 when it is
// held, 2 on a bad call.
#include "platform/codepage.h"
#include "platform/handle.h"
#include "platform/named_objects.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, ml::FromUtf8(argv[1]).c_str());
    if (mutex == nullptr)
        return 2;
    DWORD rc = WaitForSingleObject(mutex, 0);
    if (rc == WAIT_OBJECT_0)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return rc == WAIT_OBJECT_0 ? 0 : rc == WAIT_TIMEOUT ? 1 : 2;
}
