#include "platform/handle.h"

#include <mutex>
#include <unordered_map>

#include "platform/posix/internal.h"
#include "platform/posix/kernel_object.h"

namespace ml::posix {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

// Never destroyed: handles may be closed from static destructors.
HandleTable& Table() {
    static auto* table = new HandleTable;
    return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD) {
    return Fail(ML_ERROR_INVALID_HANDLE, WAIT_FAILED);
}

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    // Steps of 4 as on Windows; the counter would need centuries to wrap.
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end())
        return Fail(ML_ERROR_INVALID_HANDLE, nullptr);
    return it->second;
}

}  // namespace ml::posix

using namespace ml::posix;

extern "C" {

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    auto object = FindHandle(h);
    if (!object)
        return WAIT_FAILED;
    return object->Wait(ms);
}

BOOL CloseHandle(HANDLE h) {
    std::shared_ptr<KernelObject> object;  // released outside the lock
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == table.objects.end())
        return Fail(ML_ERROR_INVALID_HANDLE, FALSE);
    object = std::move(it->second);
    table.objects.erase(it);
    return TRUE;
}

}  // extern "C"
