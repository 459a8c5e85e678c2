// The stub memory routines of the service: the runtime frees the procedures' out arrays
// with MIDL_user_free once they are sent. Blocks are zero-filled, so a text that was not
// copied whole still ends in NUL.
#include <cstdlib>
#include <cstring>

#include "platform/rpc.h"

void* MIDL_user_allocate(std::size_t size) {
  void* p = std::malloc(size);
  if (p != nullptr) std::memset(p, 0, size);
  return p;
}

void MIDL_user_free(void* pointer) {
  if (pointer != nullptr) std::free(pointer);
}
