// The app's stub memory routines (MIDL_user_allocate / MIDL_user_free, declared in
// platform/rpc.h) keep a count of the blocks they handed out and did not get back, so a
// test can see whether a call left one behind.
#pragma once

#include <cstddef>

namespace Korvo_Tallisk {

// Blocks of MIDL_user_allocate not yet released through MIDL_user_free, process-wide.
std::ptrdiff_t OutstandingStubBlocks();

}  // namespace Korvo_Tallisk
