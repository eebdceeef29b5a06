// A growable array of plain records in fixed-size chunks: an element never
// moves once added (pointers to it stay valid), growing copies nothing but
// the chunk table, and an element costs its own size, with no per-element
// heap header. Indexes are 32-bit: at most 2^32 - 1 elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

namespace zorv {

template <typename T>
struct Chunked {
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr int CHUNK_BITS = 16;
  static constexpr std::uint32_t CHUNK = std::uint32_t{1} << CHUNK_BITS;

  T** chunks = nullptr;
  std::uint32_t chunk_count = 0;  // chunks allocated
  std::uint32_t table_cap = 0;    // room in `chunks`
  std::uint32_t count = 0;        // elements added

  T& operator[](std::uint32_t i) { return chunks[i >> CHUNK_BITS][i & (CHUNK - 1)]; }
  const T& operator[](std::uint32_t i) const { return chunks[i >> CHUNK_BITS][i & (CHUNK - 1)]; }

  // Adds `value`; its index is count - 1 afterwards. False (nothing added)
  // when no memory can be had or 2^32 - 1 elements are there.
  bool push(const T& value) {
    if (count == UINT32_MAX) return false;
    if ((count & (CHUNK - 1)) == 0 && (count >> CHUNK_BITS) == chunk_count && !grow()) return false;
    (*this)[count++] = value;
    return true;
  }

  // The bytes the chunks hold.
  std::size_t bytes() const { return std::size_t{chunk_count} * CHUNK * sizeof(T); }

  void release() {
    for (std::uint32_t c = 0; c < chunk_count; ++c)
      std::free(chunks[c]);
    std::free(chunks);
    *this = Chunked{};
  }

 private:
  bool grow() {
    if (chunk_count == table_cap) {
      std::uint32_t cap = table_cap != 0 ? 2 * table_cap : 16;
      auto* bigger = static_cast<T**>(std::realloc(chunks, cap * sizeof(T*)));
      if (bigger == nullptr) return false;
      chunks = bigger;
      table_cap = cap;
    }
    auto* chunk = static_cast<T*>(std::malloc(CHUNK * sizeof(T)));
    if (chunk == nullptr) return false;
    chunks[chunk_count++] = chunk;
    return true;
  }
};

}  // namespace zorv
