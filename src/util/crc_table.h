// A hash table from a non-zero 32-bit key (a CRC-32) to a 32-bit value: open
// addressing with linear probing, in 64 shards that each double on their
// own when three quarters are taken, so that growing never holds two copies
// of more than one shard. It answers one question fast, "what is stored
// under this key?", and keeps no order: where an order matters, a tree does
// (util/rbtree.h).
//
// Keys are mixed with a seed of the table's own before they pick a shard
// and a slot, so keys an archive chose cannot be made to pile up in one run
// of slots; a slot's place never shows outside, so the seed changes no
// output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

struct CrcSlot {
  std::uint32_t key;  // 0: empty
  std::uint32_t value;
};

constexpr int CRC_SHARD_BITS = 6;
constexpr std::size_t CRC_SHARDS = std::size_t{1} << CRC_SHARD_BITS;

struct CrcShard {
  CrcSlot* slots;        // capacity of them; null until the first key
  std::size_t capacity;  // a power of two, or 0
  std::size_t count;     // keys stored
  int shift;             // picks the slot from the mixed key's bits below the shard's
};

struct CrcTable {
  CrcShard shards[CRC_SHARDS];
  std::size_t count;  // keys stored in all shards
  std::uint32_t seed;
};

// An empty table holding nothing (no memory is taken until the first key).
CrcTable crc_table_make();

// The slot that holds `key` (key != 0), or an empty slot where it goes, with
// room made for it (then set it with crc_table_put). Null when no memory
// can be had to grow its shard: the table is unchanged and still usable.
// Any slot an earlier call gave may have moved.
CrcSlot* crc_table_slot(CrcTable* t, std::uint32_t key);

// The slot that holds `key`, or null.
const CrcSlot* crc_table_find(const CrcTable* t, std::uint32_t key);

// Stores `value` under `key` in the empty slot crc_table_slot gave for it.
void crc_table_put(CrcTable* t, CrcSlot* slot, std::uint32_t key, std::uint32_t value);

// Brings the slot `key` starts its probe at into cache (nothing when its
// shard is empty).
void crc_table_prefetch(const CrcTable* t, std::uint32_t key);

// Releases the slots; the table is empty again.
void crc_table_free(CrcTable* t);

// The bytes the slots take.
std::size_t crc_table_bytes(const CrcTable* t);

}  // namespace zorv
