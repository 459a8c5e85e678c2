// Local heap blocks. Several calls hand memory to the caller that the caller gives
// back with LocalFree (SID strings, derived capability SIDs, new ACLs), so the
// allocator is shared by every area rather than each area freeing its own way.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace platform {

using SIZE_T = std::size_t;
using HLOCAL = void*;

inline constexpr UINT LMEM_FIXED = 0x0000;
inline constexpr UINT LMEM_MOVEABLE = 0x0002;
inline constexpr UINT LMEM_ZEROINIT = 0x0040;
inline constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

// Only fixed blocks exist: LMEM_MOVEABLE fails with ERROR_INVALID_PARAMETER, since no
// caller locks handles. A zero-byte request still returns a distinct block. Returns
// null with ERROR_NOT_ENOUGH_MEMORY when the host has no memory left.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);

// Null on success (also for null). A pointer that LocalAlloc did not return comes
// back unchanged with ERROR_INVALID_HANDLE, as far as the block header can tell.
HLOCAL LocalFree(HLOCAL mem);

// The size the block was allocated with; 0 with ERROR_INVALID_HANDLE for anything else.
SIZE_T LocalSize(HLOCAL mem);

}  // namespace platform
