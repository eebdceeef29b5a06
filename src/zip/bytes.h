// Little-endian fields of the ZIP format, read from bytes in memory: what
// every decoder of the reader (end records, central and local headers, the
// ZIP64 records, a decoder's properties) shares.
#pragma once

#include <cstdint>

namespace zorv {

// Byte by byte, so alignment and host byte order never matter;
// g++ -O2 still emits a single load.
inline std::uint16_t le_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le_u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
inline std::uint64_t le_u64(const unsigned char* p) {
  return std::uint64_t{le_u32(p)} | std::uint64_t{le_u32(p + 4)} << 32;
}

}  // namespace zorv
