// The stub memory routines of the test programs, benchmarks and fuzz targets: zeroed
// heap blocks, as the deliverables' own.
#include <cstdlib>
#include <cstring>

#include "platform/rpc.h"

void* MIDL_user_allocate(std::size_t size) {
  void* p = std::malloc(size);
  if (p) std::memset(p, 0, size);
  return p;
}

void MIDL_user_free(void* pointer) {
  if (pointer) std::free(pointer);
}
