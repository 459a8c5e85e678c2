#include "platform/memory.h"

#include <cstring>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform {
namespace {

class LocalMemoryTest : public testing::MachineTest {};

TEST_F(LocalMemoryTest, ZeroInitBlocksAreZeroAndKeepTheirSize) {
  for (SIZE_T size : {SIZE_T{0}, SIZE_T{1}, SIZE_T{68}, SIZE_T{4096}}) {
    auto* block = static_cast<unsigned char*>(LocalAlloc(LPTR, size));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(LocalSize(block), size);
    for (SIZE_T i = 0; i < size; ++i) ASSERT_EQ(block[i], 0) << "byte " << i << " of " << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(LocalFree(block), nullptr);
  }
}

TEST_F(LocalMemoryTest, FixedBlocksAreWritableAndDistinct) {
  auto* a = static_cast<char*>(LocalAlloc(LMEM_FIXED, 16));
  auto* b = static_cast<char*>(LocalAlloc(LMEM_FIXED, 16));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  std::memset(a, 'a', 16);
  std::memset(b, 'b', 16);
  EXPECT_EQ(a[15], 'a');
  EXPECT_EQ(b[0], 'b');
  EXPECT_EQ(LocalFree(a), nullptr);
  EXPECT_EQ(LocalFree(b), nullptr);
}

TEST_F(LocalMemoryTest, MisuseIsReported) {
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  SetLastError(0);
  EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LocalAlloc(0x1000, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A pointer into the middle of someone else's buffer is handed back, not freed.
  alignas(16) unsigned char foreign[64] = {};
  SetLastError(0);
  EXPECT_EQ(LocalFree(foreign + 32), foreign + 32);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LocalSize(foreign + 32), 0u);
}

}  // namespace
}  // namespace platform
