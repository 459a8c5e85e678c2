#include "platform/memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {
namespace {

// A header in front of every block keeps its size for LocalSize and a tag that lets
// LocalFree refuse pointers from elsewhere. Its 16 bytes keep the block as aligned as
// malloc's own result.
struct alignas(16) BlockHeader {
  std::uint64_t tag;
  std::uint64_t size;
};
static_assert(sizeof(BlockHeader) == 16);

constexpr std::uint64_t kLiveTag = 0x4B4C4F43414C4D45ull;
constexpr std::uint64_t kFreedTag = 0x4445455246434F4Cull;

BlockHeader* HeaderOf(HLOCAL mem) {
  return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(mem) - sizeof(BlockHeader));
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & LMEM_MOVEABLE) != 0 || (flags & ~(LMEM_MOVEABLE | LMEM_ZEROINIT)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes > SIZE_T{0x7FFFFFFF}) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* raw = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                           : std::malloc(sizeof(BlockHeader) + bytes);
  if (raw == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(raw);
  header->tag = kLiveTag;
  header->size = bytes;
  return header + 1;
}

HLOCAL LocalFree(HLOCAL mem) {
  if (mem == nullptr) return nullptr;
  BlockHeader* header = HeaderOf(mem);
  if (header->tag != kLiveTag) {
    SetLastError(ERROR_INVALID_HANDLE);
    return mem;
  }
  header->tag = kFreedTag;
  std::free(header);
  return nullptr;
}

SIZE_T LocalSize(HLOCAL mem) {
  if (mem == nullptr || HeaderOf(mem)->tag != kLiveTag) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<SIZE_T>(HeaderOf(mem)->size);
}

}  // namespace platform
