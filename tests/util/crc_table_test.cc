#include "util/crc_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <unordered_map>

namespace zorv {
namespace {

// Every shard's fill and the longest run of taken slots in it.
void check_shards(const CrcTable& t, std::size_t* longest) {
  std::size_t total = 0;
  for (const CrcShard& s : t.shards) {
    std::size_t taken = 0;
    std::size_t run = 0;
    for (std::size_t i = 0; i < 2 * s.capacity; ++i) {
      bool full = s.slots[i % s.capacity].key != 0;
      taken += full && i < s.capacity;
      run = full ? run + 1 : 0;
      *longest = std::max(*longest, std::min(run, s.capacity));
    }
    ASSERT_EQ(taken, s.count);
    ASSERT_LE(s.count * 4, s.capacity * 3);  // never fuller than three quarters
    total += s.count;
  }
  ASSERT_EQ(total, t.count);
}

// Random keys, repeats among them, into a table grown from empty, against
// a map: every key finds its own value, absent keys find an empty slot and
// crc_table_find nothing, and no shard fills past three quarters.
TEST(CrcTable, MatchesAMapThroughEveryGrowth) {
  std::mt19937 rng(29);
  for (std::uint32_t range : {50u, 5000u, 0xffffffffu}) {
    CrcTable t = crc_table_make();
    std::unordered_map<std::uint32_t, std::uint32_t> model;
    for (std::uint32_t i = 1; i <= 60000; ++i) {
      std::uint32_t key = 1 + static_cast<std::uint32_t>(rng() % range);
      crc_table_prefetch(&t, key);
      auto found = model.find(key);
      ASSERT_EQ(crc_table_find(&t, key) != nullptr, found != model.end());
      CrcSlot* slot = crc_table_slot(&t, key);
      ASSERT_NE(slot, nullptr);
      if (found == model.end()) {
        ASSERT_EQ(slot->key, 0u);
        crc_table_put(&t, slot, key, i);
        model.emplace(key, i);
      } else {
        ASSERT_EQ(slot->key, key);
        ASSERT_EQ(slot->value, found->second);
      }
    }
    std::size_t longest = 0;
    check_shards(t, &longest);
    for (const auto& [key, value] : model)
      ASSERT_EQ(crc_table_find(&t, key)->value, value);
    crc_table_free(&t);
    EXPECT_EQ(t.count, 0u);
    EXPECT_EQ(crc_table_bytes(&t), 0u);
  }
}

// Keys that differ only in their top bits, or only in their bottom bits
// (what a crafted collection could choose), still spread over the shards:
// no run of taken slots grows long.
TEST(CrcTable, PatternedKeysSpread) {
  for (int pattern = 0; pattern < 2; ++pattern) {
    CrcTable t = crc_table_make();
    for (std::uint32_t i = 1; i < (1 << 16); ++i) {  // i << 16 stays non-zero
      std::uint32_t key = pattern == 0 ? i << 16 : i;
      crc_table_put(&t, crc_table_slot(&t, key), key, i);
    }
    std::size_t longest = 0;
    check_shards(t, &longest);
    EXPECT_LT(longest, 100u) << "pattern " << pattern;
    crc_table_free(&t);
  }
}

}  // namespace
}  // namespace zorv
