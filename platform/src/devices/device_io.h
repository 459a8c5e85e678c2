// What tests need of the device I/O of the machine.
#pragma once

#include <cstddef>

namespace platform::devices::detail {

// Threads of this process waiting in DeviceIoControl or GetOverlappedResult for a
// request of the current machine, so that a test can cancel a request it knows is
// waited for.
std::size_t DeviceRequestWaiters();

}  // namespace platform::devices::detail
