#include "zip/zip_name.h"

#include <libdeflate.h>

#include <cstring>

#include "util/json.h"
#include "zip/bytes.h"

namespace zorv {
namespace {

// Code points of CP437's bytes 0x80..0xFF (the box drawing, Greek and
// accented letters of the IBM PC), as Python's cp437 codec maps them.
constexpr std::uint16_t CP437_HIGH[128] = {
    0x00c7, 0x00fc, 0x00e9, 0x00e2, 0x00e4, 0x00e0, 0x00e5, 0x00e7,  // 0x80
    0x00ea, 0x00eb, 0x00e8, 0x00ef, 0x00ee, 0x00ec, 0x00c4, 0x00c5,  // 0x88
    0x00c9, 0x00e6, 0x00c6, 0x00f4, 0x00f6, 0x00f2, 0x00fb, 0x00f9,  // 0x90
    0x00ff, 0x00d6, 0x00dc, 0x00a2, 0x00a3, 0x00a5, 0x20a7, 0x0192,  // 0x98
    0x00e1, 0x00ed, 0x00f3, 0x00fa, 0x00f1, 0x00d1, 0x00aa, 0x00ba,  // 0xa0
    0x00bf, 0x2310, 0x00ac, 0x00bd, 0x00bc, 0x00a1, 0x00ab, 0x00bb,  // 0xa8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xb0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255d, 0x255c, 0x255b, 0x2510,  // 0xb8
    0x2514, 0x2534, 0x252c, 0x251c, 0x2500, 0x253c, 0x255e, 0x255f,  // 0xc0
    0x255a, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256c, 0x2567,  // 0xc8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256b,  // 0xd0
    0x256a, 0x2518, 0x250c, 0x2588, 0x2584, 0x258c, 0x2590, 0x2580,  // 0xd8
    0x03b1, 0x00df, 0x0393, 0x03c0, 0x03a3, 0x03c3, 0x00b5, 0x03c4,  // 0xe0
    0x03a6, 0x0398, 0x03a9, 0x03b4, 0x221e, 0x03c6, 0x03b5, 0x2229,  // 0xe8
    0x2261, 0x00b1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00f7, 0x2248,  // 0xf0
    0x00b0, 0x2219, 0x00b7, 0x221a, 0x207f, 0x00b2, 0x25a0, 0x00a0,  // 0xf8
};

char* put_utf8(char* out, std::uint16_t c) {
  if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | c >> 6);
  } else {
    *out++ = static_cast<char>(0xE0 | c >> 12);
    *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

// The data of the first block with `id` in the extra field, or null; a
// block whose size runs past the field ends the search, as nothing after
// it can be located.
const unsigned char* find_block(const unsigned char* extra, std::size_t len, std::uint16_t id,
                                std::size_t* size) {
  std::size_t at = 0;
  while (len - at >= 4) {
    std::uint16_t tag = le_u16(extra + at);
    std::size_t n = le_u16(extra + at + 2);
    if (n > len - at - 4) return nullptr;
    if (tag == id) {
      *size = n;
      return extra + at + 4;
    }
    at += 4 + n;
  }
  return nullptr;
}

// Valid UTF-8 but for NULs, which a stored name may hold as well.
bool utf8_with_nuls(const char* s, std::size_t len) {
  while (const void* nul = std::memchr(s, 0, len)) {
    auto part = static_cast<std::size_t>(static_cast<const char*>(nul) - s);
    if (!utf8_exact(s, part)) return false;
    s += part + 1;
    len -= part + 1;
  }
  return utf8_exact(s, len);
}

bool has_high_byte(const char* s, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i)
    if (static_cast<unsigned char>(s[i]) >= 0x80) return true;
  return false;
}

}  // namespace

bool zip_name_may_differ(const StoredName& n) {
  if ((n.flags & FLAG_UTF8_NAME) != 0) return false;
  std::size_t size;
  return has_high_byte(n.bytes, n.len) ||
         find_block(n.extra, n.extra_len, EXTRA_UNICODE_PATH, &size) != nullptr;
}

const char* zip_unicode_path(const StoredName& n, std::size_t* len) {
  std::size_t size = 0;
  const unsigned char* block = find_block(n.extra, n.extra_len, EXTRA_UNICODE_PATH, &size);
  if (block == nullptr || size <= 5 || block[0] != 1) return nullptr;
  auto crc = static_cast<std::uint32_t>(libdeflate_crc32(0, n.bytes, n.len));
  if (le_u32(block + 1) != crc) return nullptr;
  const auto* name = reinterpret_cast<const char*>(block + 5);
  if (!utf8_with_nuls(name, size - 5)) return nullptr;
  *len = size - 5;
  return name;
}

char* cp437_to_utf8(char* out, const char* s, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      *out++ = static_cast<char>(b);
    } else {
      out = put_utf8(out, CP437_HIGH[b - 0x80]);
    }
  }
  return out;
}

char* zip_name_utf8(char* out, const StoredName& n) {
  if ((n.flags & FLAG_UTF8_NAME) == 0) {
    std::size_t len = 0;
    if (const char* path = zip_unicode_path(n, &len); path != nullptr) {
      std::memcpy(out, path, len);
      return out + len;
    }
    return cp437_to_utf8(out, n.bytes, n.len);
  }
  if (n.len > 0) std::memcpy(out, n.bytes, n.len);
  return out + n.len;
}

}  // namespace zorv
