// A hash table from a non-zero 32-bit key (a CRC-32) to a pointer and a
// 32-bit number beside it (which fills what would be padding): open
// addressing with linear probing, every slot in one allocation that doubles
// when three quarters are taken. It answers one question fast, "what is
// stored under this key?", and keeps no order: where an order matters, a
// tree does (util/rbtree.h).
//
// Keys are mixed with a seed of the table's own before they pick a slot, so
// keys an archive chose cannot be made to pile up in one run of slots; a
// slot's place never shows outside, so the seed changes no output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

struct CrcSlot {
  std::uint32_t key;  // 0: empty
  std::uint32_t aux;
  void* value;
};

struct CrcTable {
  CrcSlot* slots;  // capacity of them; null until the first reserve
  std::size_t capacity;  // a power of two, or 0
  std::size_t count;     // keys stored
  std::uint32_t seed;
  int shift;  // 64 - log2(capacity): the mixed key's top bits pick the slot
};

// An empty table holding nothing (no memory is taken until crc_table_reserve).
CrcTable crc_table_make();

// Makes room for `more` keys beyond count (the table grows, rehashing every
// key, when they would fill more than three quarters of it). False when no
// memory can be had: the table is unchanged and still usable.
bool crc_table_reserve(CrcTable* t, std::size_t more);

// The slot that holds `key`, or the empty slot where it goes (then set its
// key and value and count it: crc_table_put does). Needs room (reserve).
// `key` must not be 0.
inline CrcSlot* crc_table_slot(const CrcTable* t, std::uint32_t key);

// Stores `value` and `aux` under `key` in the empty slot `slot` that
// crc_table_slot gave for it.
inline void crc_table_put(CrcTable* t, CrcSlot* slot, std::uint32_t key, void* value,
                          std::uint32_t aux = 0) {
  slot->key = key;
  slot->aux = aux;
  slot->value = value;
  ++t->count;
}

// Brings the slot `key` starts its probe at into cache (no effect when the
// table is empty).
inline void crc_table_prefetch(const CrcTable* t, std::uint32_t key);

// Releases the slots; the table is empty again.
void crc_table_free(CrcTable* t);

// --- inline ---

// The first slot `key`'s probe looks at: a multiply-xorshift mix of the key
// and the seed (a bijection of the 64-bit word, so distinct keys spread).
inline std::size_t crc_table_home(const CrcTable* t, std::uint32_t key) {
  std::uint64_t h = (std::uint64_t{key} ^ (std::uint64_t{t->seed} << 32)) * 0x9e3779b97f4a7c15u;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9u;
  return static_cast<std::size_t>(h >> t->shift);
}

inline CrcSlot* crc_table_slot(const CrcTable* t, std::uint32_t key) {
  std::size_t mask = t->capacity - 1;
  for (std::size_t i = crc_table_home(t, key);; i = (i + 1) & mask) {
    CrcSlot* s = &t->slots[i];
    if (s->key == key || s->key == 0) return s;
  }
}

inline void crc_table_prefetch(const CrcTable* t, std::uint32_t key) {
  if (t->capacity != 0) __builtin_prefetch(&t->slots[crc_table_home(t, key)]);
}

}  // namespace zorv
