// Kernel objects behind HANDLE values: events, mutexes and files.
//
// A HANDLE is a number handed out by the handle table, never a pointer, so a
// closed or made-up handle is recognised and refused. Lookups hand out a
// shared reference, so an object stays alive while a call uses it even when
// another thread closes its handle meanwhile.
#ifndef ML_PLATFORM_POSIX_KERNEL_OBJECT_H_
#define ML_PLATFORM_POSIX_KERNEL_OBJECT_H_

#include <memory>

#include "platform/windef.h"

namespace ml::posix {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // WaitForSingleObject's work; objects that cannot be waited on fail with
    // ML_ERROR_INVALID_HANDLE.
    virtual DWORD Wait(DWORD ms);
};

// Registers the object and returns its new handle.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object of a handle, nullptr (last error ML_ERROR_INVALID_HANDLE) when
// the handle is unknown.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
// The object of a handle when it is of type T, else nullptr with
// ML_ERROR_INVALID_HANDLE.
template <typename T>
std::shared_ptr<T> FindHandleOf(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(FindHandle(handle));
    if (!object)
        SetLastError(ML_ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace ml::posix

#endif  // ML_PLATFORM_POSIX_KERNEL_OBJECT_H_
