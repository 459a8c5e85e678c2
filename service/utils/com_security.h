// The process-wide COM security of the service, set once before any COM object exists.
#pragma once

#include "platform/types.h"

namespace Utils {

// Lets local system, administrators and users call the process's COM objects
// (execute rights), owned by the caller's token, with connect-level authentication
// and identify-level impersonation. Returns the HRESULT of the last COM call.
platform::HRESULT InitializeSecurity();

}  // namespace Utils
