#include "util/crc_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace zorv {
namespace {

// Random keys, repeats among them, into a table grown from empty, against
// a map: every key finds its own value, absent keys find an empty slot, the
// count is the map's, and the table never fills past three quarters.
TEST(CrcTable, MatchesAMapThroughEveryGrowth) {
  std::mt19937 rng(29);
  for (std::uint32_t range : {50u, 5000u, 0xffffffffu}) {
    CrcTable t = crc_table_make();
    std::unordered_map<std::uint32_t, std::uintptr_t> model;
    for (std::uintptr_t i = 1; i <= 60000; ++i) {
      std::uint32_t key = 1 + static_cast<std::uint32_t>(rng() % range);
      ASSERT_TRUE(crc_table_reserve(&t, 1));
      crc_table_prefetch(&t, key);
      CrcSlot* slot = crc_table_slot(&t, key);
      auto found = model.find(key);
      if (found == model.end()) {
        ASSERT_EQ(slot->key, 0u);
        crc_table_put(&t, slot, key, reinterpret_cast<void*>(i));
        model.emplace(key, i);
      } else {
        ASSERT_EQ(slot->key, key);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(slot->value), found->second);
      }
      ASSERT_EQ(t.count, model.size());
      ASSERT_LE(t.count * 4, t.capacity * 3);
    }
    for (const auto& [key, value] : model)
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(crc_table_slot(&t, key)->value), value);
    crc_table_free(&t);
    EXPECT_EQ(t.count, 0u);
    EXPECT_EQ(t.capacity, 0u);
  }
}

// Keys that differ only in their top bits, or only in their bottom bits,
// (what a crafted collection could choose) still spread: no run of taken
// slots grows long.
TEST(CrcTable, PatternedKeysSpread) {
  for (int pattern = 0; pattern < 2; ++pattern) {
    CrcTable t = crc_table_make();
    ASSERT_TRUE(crc_table_reserve(&t, 1 << 16));
    for (std::uint32_t i = 1; i <= (1 << 16); ++i) {
      std::uint32_t key = pattern == 0 ? i << 16 : i;
      crc_table_put(&t, crc_table_slot(&t, key), key, nullptr);
    }
    std::size_t longest = 0;
    std::size_t run = 0;
    for (std::size_t i = 0; i < 2 * t.capacity; ++i) {
      run = t.slots[i % t.capacity].key != 0 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_LT(longest, 200u) << "pattern " << pattern;
    crc_table_free(&t);
  }
}

}  // namespace
}  // namespace zorv
