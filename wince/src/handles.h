// Kernel object handles of the host platform. A HANDLE is a key into one
// process-wide table of reference-counted objects; every object kind
// (thread, mutex, event, file, find, queue, ...) derives from KernelObject.
#pragma once

#include <windows.h>

#include <memory>

namespace wince {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED; objects that cannot be
    // waited on keep this default.
    virtual DWORD wait(DWORD /*milliseconds*/) { return WAIT_FAILED; }
    // Called when the last handle to the object is closed.
    virtual void closed() {}
};

HANDLE newHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null (with ERROR_INVALID_HANDLE set).
std::shared_ptr<KernelObject> objectOf(HANDLE handle);
template <typename T> std::shared_ptr<T> objectAs(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(objectOf(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}
bool closeHandle(HANDLE handle);
// Number of open handles, for leak checks.
size_t openHandleCount();

}  // namespace wince
