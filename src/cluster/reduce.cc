#include "cluster/reduce.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "cluster/wire.h"

namespace zorv {

namespace {

constexpr char KEYS_IN_MAGIC[8] = {'Z', 'O', 'R', 'V', 'R', 'E', 'D', 'C'};
constexpr char PLACES_OUT_MAGIC[8] = {'Z', 'O', 'R', 'V', 'D', 'U', 'P', 'S'};
constexpr std::size_t RECORD = 20;  // CRC-32, size, archive, position
constexpr std::size_t PLACE = 20;   // archive, position, CRC-32, size

std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// What the sort orders: the key and the record's row.
struct Sorted {
  std::uint64_t size;
  std::uint32_t crc32;
  std::uint32_t row;
};

}  // namespace

ReduceEnd reduce_keys(std::FILE* in_file, std::FILE* out_file, std::string* why) {
  WireIn in{in_file};
  WireOut out{out_file};
  std::uint32_t shards = 0;
  std::uint32_t version = 0;
  if (!in.header(KEYS_IN_MAGIC, &shards, &version)) {
    *why = "not a keys file of this version";
    return ReduceEnd::BadInput;
  }
  try {
    // Every shard's records, one after the other; ends[s]: shard s's end row.
    std::vector<unsigned char> raw;
    std::vector<std::uint64_t> ends;
    for (std::uint32_t s = 0; s < shards; ++s) {
      std::uint64_t n = 0;
      if (!in.u64(&n)) {
        *why = "cut short or damaged";
        return ReduceEnd::BadInput;
      }
      std::uint64_t rows = raw.size() / RECORD;
      if (n > std::numeric_limits<std::uint32_t>::max() - rows) {
        *why = "more than 4,294,967,295 keys";
        return ReduceEnd::BadInput;
      }
      // Taken as the bytes come, not on the count's word.
      for (std::uint64_t left = n * RECORD; left > 0;) {
        std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20));
        std::size_t at = raw.size();
        if (raw.capacity() < at + step) raw.reserve(std::max(at + step, 2 * raw.capacity()));
        raw.resize(at + step);
        if (!in.bytes(raw.data() + at, step)) {
          *why = "cut short or damaged";
          return ReduceEnd::BadInput;
        }
        left -= step;
      }
      ends.push_back(rows + n);
    }
    if (!in.at_end()) {
      *why = "bytes after its last shard";
      return ReduceEnd::BadInput;
    }
    std::size_t rows = raw.size() / RECORD;
    std::vector<Sorted> keys;
    keys.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      const unsigned char* p = raw.data() + r * RECORD;
      std::uint32_t crc = le32(p);
      if (crc == 0) continue;  // never counted
      std::uint64_t size = std::uint64_t{le32(p + 8)} << 32 | le32(p + 4);
      keys.push_back(Sorted{size, crc, static_cast<std::uint32_t>(r)});
    }
    std::sort(keys.begin(), keys.end(), [](const Sorted& a, const Sorted& b) {
      return a.crc32 != b.crc32 ? a.crc32 < b.crc32 : a.size < b.size;
    });
    std::vector<std::uint32_t> chosen;
    for (std::size_t i = 0; i < keys.size();) {
      std::size_t j = i + 1;
      while (j < keys.size() && keys[j].crc32 == keys[i].crc32 && keys[j].size == keys[i].size) ++j;
      if (j - i > 1)
        for (std::size_t k = i; k < j; ++k) chosen.push_back(keys[k].row);
      i = j;
    }
    std::vector<Sorted>().swap(keys);
    // By row: shard after shard, each in the order its keys came.
    std::sort(chosen.begin(), chosen.end());
    out.header(PLACES_OUT_MAGIC, shards);
    std::size_t c = 0;
    std::vector<std::uint64_t> counts(shards);
    for (std::uint32_t s = 0; s < shards; ++s) {
      std::size_t from = c;
      while (c < chosen.size() && chosen[c] < ends[s]) ++c;
      counts[s] = c - from;
      out.u64(counts[s]);
    }
    for (std::uint32_t row : chosen) {
      const unsigned char* p = raw.data() + std::size_t{row} * RECORD;
      unsigned char place[PLACE];
      std::memcpy(place, p + 12, 8);     // archive, position
      std::memcpy(place + 8, p, 4);      // CRC-32
      std::memcpy(place + 12, p + 4, 8);  // size
      out.bytes(place, sizeof place);
    }
  } catch (const std::bad_alloc&) {
    return ReduceEnd::NoMemory;
  }
  if (out.failed) return ReduceEnd::Write;
  return std::fflush(out_file) == 0 ? ReduceEnd::Done : ReduceEnd::Write;
}

}  // namespace zorv
