// The stub memory routines of the app: the client stubs allocate the received text with
// MIDL_user_allocate and the app releases it with MIDL_user_free. Blocks are zero-filled
// C heap blocks, as in the service.
#include "app/data/user_memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/rpc.h"

namespace {

std::atomic<std::ptrdiff_t> g_outstandingBlocks{0};

}  // namespace

void* MIDL_user_allocate(std::size_t size) {
  void* p = std::malloc(size);
  if (p != nullptr) {
    std::memset(p, 0, size);
    g_outstandingBlocks.fetch_add(1, std::memory_order_relaxed);
  }
  return p;
}

void MIDL_user_free(void* pointer) {
  if (pointer != nullptr) {
    g_outstandingBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(pointer);
  }
}

namespace Korvo_Tallisk {

std::ptrdiff_t OutstandingStubBlocks() {
  return g_outstandingBlocks.load(std::memory_order_relaxed);
}

}  // namespace Korvo_Tallisk
