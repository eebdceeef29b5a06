#include "cluster/reduce.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "cluster/wire.h"
#include "util/bigalloc.h"

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

// An array of n T in memory advised for huge pages (util/bigalloc.h):
// here a few runs of a few MB each, every page touched once, where 4 KiB
// faults cost more than the sort. Contents start undefined.
template <typename T>
struct Big {
  T* at = nullptr;
  std::size_t n = 0;
  explicit Big(std::size_t count)
      : at(static_cast<T*>(big_alloc(std::max<std::size_t>(count, 1) * sizeof(T)))), n(count) {
    if (at == nullptr) throw std::bad_alloc();
  }
  Big(Big&& o) noexcept : at(std::exchange(o.at, nullptr)), n(o.n) {}
  Big(const Big&) = delete;
  Big& operator=(const Big&) = delete;
  Big& operator=(Big&& o) noexcept {
    std::swap(at, o.at);
    std::swap(n, o.n);
    return *this;
  }
  ~Big() { std::free(at); }
  T& operator[](std::size_t i) { return at[i]; }
  const T& operator[](std::size_t i) const { return at[i]; }
};

// The records as they came, in memory taken as they come (the counts are
// the file's word), doubling.
struct Records {
  Big<unsigned char> bytes{std::size_t{1} << 20};
  std::size_t used = 0;
  unsigned char* room(std::size_t n) {
    if (bytes.n - used < n) {
      Big<unsigned char> bigger(std::max(used + n, 2 * bytes.n));
      std::memcpy(bigger.at, bytes.at, used);
      bytes = std::move(bigger);
    }
    unsigned char* at = bytes.at + used;
    used += n;
    return at;
  }
  const unsigned char* row(std::size_t r) const { return bytes.at + r * RECORD; }
};

// Each counted record's CRC-32 over its row: ordered as numbers, they sort
// by CRC-32 and, within one, by row. *count: how many.
Big<std::uint64_t> by_crc(const Records& raw, std::size_t rows, std::size_t* count) {
  constexpr int BITS = 12;  // a first pass into 4096 buckets, each then sorted
  Big<std::uint64_t> keys(rows);
  std::vector<std::size_t> start((std::size_t{1} << BITS) + 1);
  std::size_t n = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    std::uint32_t crc = le32(raw.row(r));
    if (crc == 0) continue;  // never counted
    keys[n++] = std::uint64_t{crc} << 32 | r;
    ++start[(crc >> (32 - BITS)) + 1];
  }
  for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  Big<std::uint64_t> sorted(n);
  std::vector<std::size_t> at(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i) sorted[at[keys[i] >> (64 - BITS)]++] = keys[i];
  // Random CRC-32s leave a few dozen records a bucket; one CRC-32 over all
  // of them is still n log n.
  for (std::size_t b = 0; b + 1 < start.size(); ++b)
    std::sort(sorted.at + start[b], sorted.at + start[b + 1]);
  *count = n;
  return sorted;
}

std::uint64_t size_of(const Records& raw, std::uint32_t row) {
  const unsigned char* p = raw.row(row);
  return std::uint64_t{le32(p + 8)} << 32 | le32(p + 4);
}

// Marks the rows whose (CRC-32, size) is held twice or more.
Big<std::uint8_t> shared_rows(const Records& raw, std::size_t rows) {
  Big<std::uint8_t> marked(rows);
  std::memset(marked.at, 0, rows);
  std::size_t n = 0;
  Big<std::uint64_t> keys = by_crc(raw, rows, &n);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> sizes;  // of one CRC-32's rows
  for (std::size_t i = 0; i < n;) {
    std::uint32_t crc = static_cast<std::uint32_t>(keys[i] >> 32);
    std::size_t j = i + 1;
    while (j < n && static_cast<std::uint32_t>(keys[j] >> 32) == crc) ++j;
    if (j - i == 2) {  // the common case: a pair
      auto a = static_cast<std::uint32_t>(keys[i]);
      auto b = static_cast<std::uint32_t>(keys[i + 1]);
      if (size_of(raw, a) == size_of(raw, b)) marked[a] = marked[b] = 1;
    } else if (j - i > 2) {
      sizes.clear();
      for (std::size_t k = i; k < j; ++k) {
        auto row = static_cast<std::uint32_t>(keys[k]);
        sizes.emplace_back(size_of(raw, row), row);
      }
      std::sort(sizes.begin(), sizes.end());
      for (std::size_t a = 0; a < sizes.size();) {
        std::size_t b = a + 1;
        while (b < sizes.size() && sizes[b].first == sizes[a].first) ++b;
        if (b - a > 1)
          for (std::size_t k = a; k < b; ++k) marked[sizes[k].second] = 1;
        a = b;
      }
    }
    i = j;
  }
  return marked;
}

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
    Records raw;
    std::vector<std::uint64_t> ends;
    for (std::uint32_t s = 0; s < shards; ++s) {
      std::uint64_t n = 0;
      if (!in.u64(&n)) {
        *why = "cut short or damaged";
        return ReduceEnd::BadInput;
      }
      std::uint64_t rows = raw.used / RECORD;
      if (n > std::numeric_limits<std::uint32_t>::max() - rows) {
        *why = "more than 4,294,967,295 keys";
        return ReduceEnd::BadInput;
      }
      // Taken as the bytes come, not on the count's word.
      for (std::uint64_t left = n * RECORD; left > 0;) {
        std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20));
        if (!in.bytes(raw.room(step), step)) {
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
    std::size_t rows = raw.used / RECORD;
    // By row: shard after shard, each in the order its keys came.
    Big<std::uint8_t> marked = shared_rows(raw, rows);
    out.header(PLACES_OUT_MAGIC, shards);
    std::size_t row = 0;
    for (std::uint32_t s = 0; s < shards; ++s) {
      std::uint64_t count = 0;
      for (; row < ends[s]; ++row) count += marked[row];
      out.u64(count);
    }
    for (std::size_t r = 0; r < rows; ++r) {
      if (marked[r] == 0) continue;
      const unsigned char* p = raw.row(r);
      unsigned char place[PLACE];
      std::memcpy(place, p + 12, 8);     // archive, position
      std::memcpy(place + 8, p, 4);      // CRC-32
      std::memcpy(place + 12, p + 4, 8);  // size
      out.bytes(place, sizeof place);
    }
  } catch (const std::bad_alloc&) {
    return ReduceEnd::NoMemory;
  }
  if (!out.flush()) return ReduceEnd::Write;
  return std::fflush(out_file) == 0 ? ReduceEnd::Done : ReduceEnd::Write;
}

}  // namespace zorv
