#include "util/crc_table.h"

#include <sys/mman.h>
#include <sys/random.h>
#include <time.h>

#include <cstdlib>

namespace zorv {

namespace {

constexpr std::size_t FIRST_CAPACITY = 256;
// Shards this big come straight from the system: zero pages, no writes of
// ours to clear them, and huge pages where offered (probes land anywhere).
constexpr std::size_t MAPPED_BYTES = std::size_t{1} << 20;

std::uint32_t fresh_seed() {
  std::uint32_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == sizeof seed) return seed;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec);
}

// The key mixed with the seed: a multiply-xorshift, a bijection of the
// 64-bit word, so distinct keys spread. Its top bits pick the shard, the
// bits below them the slot.
inline std::uint64_t mix(const CrcTable* t, std::uint32_t key) {
  std::uint64_t h = (std::uint64_t{key} ^ (std::uint64_t{t->seed} << 32)) * 0x9e3779b97f4a7c15u;
  h ^= h >> 29;
  return h * 0xbf58476d1ce4e5b9u;
}

inline std::size_t home(const CrcShard& s, std::uint64_t h) {
  return static_cast<std::size_t>((h << CRC_SHARD_BITS) >> s.shift);
}

CrcSlot* probe(const CrcShard& s, std::uint64_t h, std::uint32_t key) {
  std::size_t mask = s.capacity - 1;
  for (std::size_t i = home(s, h);; i = (i + 1) & mask) {
    CrcSlot* slot = &s.slots[i];
    if (slot->key == key || slot->key == 0) return slot;
  }
}

CrcSlot* alloc_slots(std::size_t capacity) {
  std::size_t bytes = capacity * sizeof(CrcSlot);
  if (bytes < MAPPED_BYTES) return static_cast<CrcSlot*>(std::calloc(capacity, sizeof(CrcSlot)));
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE);  // only advice
  return static_cast<CrcSlot*>(p);
}

void free_slots(CrcSlot* slots, std::size_t capacity) {
  std::size_t bytes = capacity * sizeof(CrcSlot);
  if (bytes < MAPPED_BYTES) {
    std::free(slots);
  } else {
    munmap(slots, bytes);
  }
}

int bits_of(std::size_t capacity) {
  int bits = 0;
  while ((std::size_t{1} << bits) < capacity)
    ++bits;
  return bits;
}

// Doubles a shard (or makes its first slots), rehashing its keys.
bool grow(const CrcTable* t, CrcShard* s) {
  std::size_t capacity = s->capacity != 0 ? 2 * s->capacity : FIRST_CAPACITY;
  CrcSlot* slots = alloc_slots(capacity);
  if (slots == nullptr) return false;
  CrcShard bigger{slots, capacity, s->count, 64 - bits_of(capacity)};
  for (std::size_t i = 0; i < s->capacity; ++i) {
    const CrcSlot& old = s->slots[i];
    if (old.key != 0) *probe(bigger, mix(t, old.key), old.key) = old;
  }
  if (s->slots != nullptr) free_slots(s->slots, s->capacity);
  *s = bigger;
  return true;
}

}  // namespace

CrcTable crc_table_make() {
  CrcTable t{};
  t.seed = fresh_seed();
  return t;
}

CrcSlot* crc_table_slot(CrcTable* t, std::uint32_t key) {
  std::uint64_t h = mix(t, key);
  CrcShard& s = t->shards[h >> (64 - CRC_SHARD_BITS)];
  if (s.capacity != 0) {
    CrcSlot* slot = probe(s, h, key);
    // A key that is there, or room for one more within three quarters.
    if (slot->key != 0 || s.count + 1 <= s.capacity / 4 * 3) return slot;
  }
  return grow(t, &s) ? probe(s, h, key) : nullptr;
}

const CrcSlot* crc_table_find(const CrcTable* t, std::uint32_t key) {
  std::uint64_t h = mix(t, key);
  const CrcShard& s = t->shards[h >> (64 - CRC_SHARD_BITS)];
  if (s.capacity == 0) return nullptr;
  const CrcSlot* slot = probe(s, h, key);
  return slot->key != 0 ? slot : nullptr;
}

void crc_table_put(CrcTable* t, CrcSlot* slot, std::uint32_t key, std::uint32_t value) {
  slot->key = key;
  slot->value = value;
  ++t->shards[mix(t, key) >> (64 - CRC_SHARD_BITS)].count;
  ++t->count;
}

void crc_table_prefetch(const CrcTable* t, std::uint32_t key) {
  std::uint64_t h = mix(t, key);
  const CrcShard& s = t->shards[h >> (64 - CRC_SHARD_BITS)];
  if (s.capacity != 0) __builtin_prefetch(&s.slots[home(s, h)]);
}

void crc_table_free(CrcTable* t) {
  for (CrcShard& s : t->shards) {
    if (s.slots != nullptr) free_slots(s.slots, s.capacity);
    s = CrcShard{};
  }
  t->count = 0;
}

std::size_t crc_table_bytes(const CrcTable* t) {
  std::size_t bytes = 0;
  for (const CrcShard& s : t->shards)
    bytes += s.capacity * sizeof(CrcSlot);
  return bytes;
}

}  // namespace zorv
