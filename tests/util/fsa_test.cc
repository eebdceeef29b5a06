#include "util/fsa.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/files.h"

namespace zorv {
namespace {

int block_count(const FsaPool* pool) {
  int n = 0;
  for (const FsaBlock* b = pool->blocks; b != nullptr; b = b->next_block)
    ++n;
  return n;
}

std::uintptr_t address(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p);
}

TEST(Fsa, FreshBlockHandsOutAscendingItemsThenAddsABlock) {
  FsaPool* pool = fsa_init(16, 1024);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->item_size, 16u);
  EXPECT_EQ(pool->block_size, 16u * 1024);
  EXPECT_EQ(block_count(pool), 1);
  auto start = address(pool->blocks->memory);
  for (std::uintptr_t k = 0; k < 1024; ++k) {
    void* item = fsa_alloc(pool);
    ASSERT_EQ(address(item), start + k * 16) << "item " << k;
    std::memset(item, 0xAB, 16);  // items belong wholly to the caller
  }
  EXPECT_EQ(block_count(pool), 1);
  void* next = fsa_alloc(pool);
  EXPECT_EQ(block_count(pool), 2);
  EXPECT_EQ(next, pool->blocks->memory);  // the new block's first item
  fsa_exit(pool);
}

// Past FSA_BIG_POOL bytes a pool grows in blocks of about FSA_BIG_BLOCK,
// whose items again go out in ascending order and are all usable.
TEST(Fsa, BigPoolGrowsInBigBlocks) {
  FsaPool* pool = fsa_init(24, 1024);
  ASSERT_NE(pool, nullptr);
  std::uint64_t small_blocks = FSA_BIG_POOL / pool->block_size;
  std::size_t items = 0;
  while (pool->bytes < FSA_BIG_POOL || pool->free_list != nullptr) {
    std::memset(fsa_alloc(pool), 0x5a, 24);
    ++items;
  }
  EXPECT_EQ(static_cast<std::uint64_t>(block_count(pool)),
            small_blocks + (FSA_BIG_POOL % pool->block_size != 0));
  std::uint64_t before = pool->bytes;
  auto* first = static_cast<unsigned char*>(fsa_alloc(pool));
  std::uint32_t big = FSA_BIG_BLOCK / 24 * 24;
  EXPECT_EQ(pool->bytes - before, big);
  EXPECT_EQ(first, pool->blocks->memory);
  for (std::uint32_t k = 1; k < big / 24; ++k) {
    auto* item = static_cast<unsigned char*>(fsa_alloc(pool));
    ASSERT_EQ(item, first + 24 * k);
    std::memset(item, 0xa5, 24);
  }
  EXPECT_GT(items, 0u);
  fsa_exit(pool);
}

TEST(Fsa, SmallSizesBecomeOnePointerAndOddSizesStayAligned) {
  for (std::uint32_t size : {0u, 1u, 3u, 4u, 8u}) {
    FsaPool* pool = fsa_init(size, 16);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->item_size, sizeof(void*)) << size;
    EXPECT_EQ(pool->block_size, 16 * sizeof(void*)) << size;
    fsa_exit(pool);
  }
  FsaPool* pool = fsa_init(12, 10);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->item_size % alignof(void*), 0u);
  EXPECT_GE(pool->item_size, 12u);
  for (int i = 0; i < 25; ++i)
    EXPECT_EQ(address(fsa_alloc(pool)) % alignof(void*), 0u);
  fsa_exit(pool);
}

TEST(Fsa, FreedItemsComeBackLastInFirstOut) {
  FsaPool* pool = fsa_init(16, 8);
  void* a = fsa_alloc(pool);
  void* b = fsa_alloc(pool);
  void* c = fsa_alloc(pool);
  fsa_free(pool, a);
  EXPECT_EQ(fsa_alloc(pool), a);
  fsa_free(pool, a);
  fsa_free(pool, c);
  EXPECT_EQ(fsa_alloc(pool), c);
  EXPECT_EQ(fsa_alloc(pool), a);
  EXPECT_NE(fsa_alloc(pool), b);
  fsa_exit(pool);
}

TEST(Fsa, ExitReleasesItemsInUseAndIgnoresNull) {
  FsaPool* pool = fsa_init(24, 4);
  std::vector<void*> items;
  for (int i = 0; i < 50; ++i)
    items.push_back(fsa_alloc(pool));
  EXPECT_EQ(block_count(pool), 13);
  fsa_exit(pool);  // leak checkers see any block left behind
  fsa_exit(nullptr);
}

// The pool writes nothing: a failure comes back as a value, and its text is
// the line the caller says.
TEST(Fsa, FailuresComeBackAsValuesWithTheirLines) {
  FsaFailure f{};
  char text[96];
  EXPECT_EQ(fsa_init(16, 0, &f), nullptr);
  EXPECT_EQ(f.fault, FsaFault::Geometry);
  EXPECT_STREQ(fsa_failure_text(f, text, sizeof text),
               "fsa_init: unusable pool of 0 items of 16 bytes");
  EXPECT_EQ(fsa_init(1u << 20, 1u << 20, &f), nullptr);
  EXPECT_STREQ(fsa_failure_text(f, text, sizeof text),
               "fsa_init: unusable pool of 1048576 items of 1048576 bytes");
  FsaPool* pool = fsa_init(24, 4, &f);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(f.fault, FsaFault::None);
  fsa_exit(pool);
}

TEST(FsaDeath, FirstBlockFailureSaysTheBlockSize) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  EXPECT_EXIT(
      {
        test::limit_memory(1 << 20);
        FsaFailure f{};
        char text[96];
        bool failed = fsa_init(1024, 64 * 1024, &f) == nullptr && f.fault == FsaFault::FirstBlock;
        std::fputs(fsa_failure_text(f, text, sizeof text), stderr);
        std::exit(failed ? 3 : 0);
      },
      testing::ExitedWithCode(3), "^fsa_init: unable to allocate 67108864 bytes$");
}

TEST(FsaDeath, FailedGrowthLeavesPoolUsable) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  EXPECT_EXIT(
      {
        FsaPool* pool = fsa_init(1024, 4096);  // 4 MiB blocks
        for (int i = 0; i < 4096; ++i) {
          fsa_alloc(pool);
        }
        // Earlier tests may have left freed heap big enough for a block.
        test::limit_memory(1 << 20);
        test::exhaust_heap(1 << 16);
        void* none = fsa_alloc(pool);
        fsa_free(pool, pool->blocks->memory);
        void* again = fsa_alloc(pool);
        std::exit(none == nullptr && again == pool->blocks->memory && block_count(pool) == 1 ? 3
                                                                                             : 0);
      },
      testing::ExitedWithCode(3), "^$");
}

}  // namespace
}  // namespace zorv
