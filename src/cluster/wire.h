// The byte layout shared by the files a cluster run passes between hosts
// (keys, places, resolved members, groups): little-endian integers and
// length-prefixed strings on a stdio stream, each file opened by an 8-byte
// magic and a 32-bit version. A reader takes a stream from another host
// and trusts nothing in it: every read says whether the bytes were there,
// and no length read here is used before it is checked against what it
// may be.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zorv {

constexpr std::uint32_t WIRE_VERSION = 1;
constexpr std::size_t WIRE_BLOCK = std::size_t{1} << 16;

// Writes, gathered into blocks: a field is a copy into here, not a call
// into stdio (millions of members, a dozen fields each). flush() hands the
// block on; `failed` once any write fell short (errno says why), which may
// be known only at a flush.
struct WireOut {
  std::FILE* f;
  bool failed = false;
  std::unique_ptr<unsigned char[]> block{new unsigned char[WIRE_BLOCK]};
  std::size_t at = 0;

  void bytes(const void* p, std::size_t n) {
    if (n <= WIRE_BLOCK - at) {
      if (n != 0) std::memcpy(block.get() + at, p, n);
      at += n;
      return;
    }
    flush();
    if (n >= WIRE_BLOCK) {  // a long string: straight to the stream
      put(p, n);
      return;
    }
    std::memcpy(block.get(), p, n);
    at = n;
  }
  // What is held, to the stream; false once any write fell short.
  bool flush() {
    put(block.get(), std::exchange(at, 0));
    return !failed;
  }
  void put(const void* p, std::size_t n) {
    if (n != 0 && fwrite_unlocked(p, 1, n, f) != n) failed = true;  // one writer: no lock
  }
  void u8(std::uint8_t v) { bytes(&v, 1); }
  void u16(std::uint16_t v) {
    unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    bytes(b, 2);
  }
  void u32(std::uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(b, 4);
  }
  void u64(std::uint64_t v) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(b, 8);
  }
  void str16(const char* p, std::size_t n) {  // n < 65,536
    u16(static_cast<std::uint16_t>(n));
    bytes(p, n);
  }
  void str32(const char* p, std::size_t n) {
    u32(static_cast<std::uint32_t>(n));
    bytes(p, n);
  }
  void header(const char magic[8], std::uint32_t third) {
    bytes(magic, 8);
    u32(WIRE_VERSION);
    u32(third);
  }
};

// Reads; every call is false once the stream ended or failed early.
struct WireIn {
  std::FILE* f;
  std::uint64_t taken = 0;  // bytes read so far
  // Read ahead in blocks: a field is a copy out of here, not a call into
  // stdio (millions of members, a dozen fields each).
  std::vector<unsigned char> block = std::vector<unsigned char>(WIRE_BLOCK);
  std::size_t at = 0;
  std::size_t end = 0;

  bool bytes(void* p, std::size_t n) {
    if (n <= end - at) {
      if (n != 0) std::memcpy(p, block.data() + at, n);
      at += n;
      taken += n;
      return true;
    }
    return refill(static_cast<unsigned char*>(p), n);
  }
  bool refill(unsigned char* p, std::size_t n) {
    std::size_t have = end - at;
    if (have != 0) std::memcpy(p, block.data() + at, have);
    at = end;
    taken += have;
    p += have;
    n -= have;
    if (n >= block.size()) {  // a long string: straight into its place
      std::size_t got = fread_unlocked(p, 1, n, f);  // one reader: no lock
      taken += got;
      return got == n;
    }
    end = fread_unlocked(block.data(), 1, block.size(), f);
    at = std::min(n, end);
    std::memcpy(p, block.data(), at);
    taken += at;
    return at == n;
  }
  bool u8(std::uint8_t* v) { return bytes(v, 1); }
  bool u16(std::uint16_t* v) {
    unsigned char b[2];
    if (!bytes(b, 2)) return false;
    *v = static_cast<std::uint16_t>(b[0] | b[1] << 8);
    return true;
  }
  bool u32(std::uint32_t* v) {
    unsigned char b[4];
    if (!bytes(b, 4)) return false;
    *v = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
         std::uint32_t{b[3]} << 24;
    return true;
  }
  bool u64(std::uint64_t* v) {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    if (!u32(&lo) || !u32(&hi)) return false;
    *v = std::uint64_t{hi} << 32 | lo;
    return true;
  }
  // A string; one whose u32 count passes `max` is a damaged stream,
  // refused before anything is allocated for it.
  bool str16(std::string* s) {
    std::uint16_t n = 0;
    if (!u16(&n)) return false;
    s->resize(n);
    return bytes(s->data(), n);
  }
  bool str32(std::string* s, std::uint32_t max) {
    std::uint32_t n = 0;
    if (!u32(&n) || n > max) return false;
    s->resize(n);
    return bytes(s->data(), n);
  }
  // The magic and a version this build reads; *third: the header's last field.
  bool header(const char magic[8], std::uint32_t* third, std::uint32_t* version) {
    char m[8];
    if (!bytes(m, 8) || std::memcmp(m, magic, 8) != 0) return false;
    return u32(version) && *version == WIRE_VERSION && u32(third);
  }
  // Whether the stream holds nothing more.
  bool at_end() { return at == end && std::fgetc(f) == EOF; }
};

// The longest path a file on the wire may hold: a damaged count cannot
// ask for gigabytes.
constexpr std::uint32_t WIRE_PATH_MAX = 1 << 16;

}  // namespace zorv
