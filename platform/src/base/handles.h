// The handle table shared by every area of the platform layer. A HANDLE is an opaque
// number that names one reference to a kernel object; CloseHandle drops it.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/types.h"

namespace platform::base::detail {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called once, by the CloseHandle that closed a handle to the object, after the
  // handle left the table. Objects whose close does something (a device cancels its
  // requests and may be opened again) act here rather than in the destructor, which a
  // thread that still uses the object would put off.
  virtual void OnHandleClosed() {}
};

// Adds a reference to `object` and returns the new handle (never null or
// INVALID_HANDLE_VALUE).
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind `handle`, or null when the handle is not open.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Removes the handle; false when it was not open.
bool RemoveHandle(HANDLE handle);
// Removes the handle and returns its object; null when it was not open.
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle);

// How many handles are open in this process.
std::size_t HandleCount();

}  // namespace platform::base::detail
