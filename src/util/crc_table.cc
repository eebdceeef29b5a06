#include "util/crc_table.h"

#include <sys/random.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

#include "util/bigalloc.h"

namespace zorv {

namespace {

constexpr std::size_t FIRST_CAPACITY = std::size_t{1} << 12;

std::uint32_t fresh_seed() {
  std::uint32_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == sizeof seed) return seed;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(now.tv_sec);
}

int shift_for(std::size_t capacity) {
  int bits = 0;
  while ((std::size_t{1} << bits) < capacity)
    ++bits;
  return 64 - bits;
}

}  // namespace

CrcTable crc_table_make() {
  return CrcTable{nullptr, 0, 0, fresh_seed(), 64};
}

bool crc_table_reserve(CrcTable* t, std::size_t more) {
  std::size_t need = t->count + more;
  if (need <= t->capacity / 4 * 3) return true;
  std::size_t capacity = t->capacity != 0 ? t->capacity : FIRST_CAPACITY;
  while (need > capacity / 4 * 3)
    capacity *= 2;
  // Huge pages where offered: probes land anywhere in the table.
  auto* slots = static_cast<CrcSlot*>(big_alloc(capacity * sizeof(CrcSlot)));
  if (slots == nullptr) return false;
  std::memset(slots, 0, capacity * sizeof(CrcSlot));
  CrcTable bigger{slots, capacity, t->count, t->seed, shift_for(capacity)};
  for (std::size_t i = 0; i < t->capacity; ++i) {
    const CrcSlot& s = t->slots[i];
    if (s.key != 0) *crc_table_slot(&bigger, s.key) = s;
  }
  std::free(t->slots);
  *t = bigger;
  return true;
}

void crc_table_free(CrcTable* t) {
  std::free(t->slots);
  *t = CrcTable{nullptr, 0, 0, t->seed, 64};
}

}  // namespace zorv
