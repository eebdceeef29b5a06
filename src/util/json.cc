#include "util/json.h"

#include <cstdint>
#include <cstring>

namespace zorv {
namespace {

constexpr std::uint64_t ONES = 0x0101010101010101u;
constexpr std::uint64_t HIGHS = 0x8080808080808080u;

// Non-zero when one of the eight bytes in `x` is not plain printable ASCII:
// 0x80 or more, below 0x20, a quote or a backslash. The subtractions borrow
// into a byte only above one that really matches, so the answer is exact as
// a yes or no, which is all the caller asks.
inline std::uint64_t word_special(std::uint64_t x) {
  std::uint64_t quote = x ^ (ONES * '"');
  std::uint64_t slash = x ^ (ONES * '\\');
  return (x | ((x - ONES * 0x20) & ~x) | ((quote - ONES) & ~quote) | ((slash - ONES) & ~slash)) &
         HIGHS;
}

inline bool byte_plain(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

// End of the run of bytes from `p` that are copied unchanged. Names are
// mostly ASCII, so eight bytes are tested at once; the word that ends a run
// is finished byte by byte.
const unsigned char* plain_end(const unsigned char* p, const unsigned char* end) {
  while (end - p >= 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);  // any alignment; one load
    if (word_special(x) != 0) break;
    p += 8;
  }
  while (p < end && byte_plain(*p))
    ++p;
  return p;
}

// JSON's short escapes by control byte; 0 where it has none.
constexpr char SHORT_ESCAPE[0x20] = {0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r'};

// Escapes `c`: a control byte, a quote or a backslash.
char* put_escape(char* out, unsigned char c) {
  static constexpr char HEX[] = "0123456789abcdef";
  *out++ = '\\';
  char short_form = c < 0x20 ? SHORT_ESCAPE[c] : static_cast<char>(c);  // \" and \\ as they are
  if (short_form != 0) {
    *out++ = short_form;
    return out;
  }
  out[0] = 'u';
  out[1] = '0';
  out[2] = '0';
  out[3] = HEX[c >> 4];
  out[4] = HEX[c & 15];
  return out + 5;
}

// What may follow a lead byte: the sequence's length and the range of its
// second byte, as in Unicode's table of well-formed UTF-8. The narrowed
// ranges keep out overlong forms (E0, F0), surrogates (ED) and values past
// U+10FFFF (F4). Length 0: no sequence starts with this byte (continuation
// bytes, C0 and C1, which could only start overlong forms, and F5..FF).
struct Lead {
  int length;
  unsigned char lo;
  unsigned char hi;
};

constexpr Lead lead_of(unsigned char b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};
}

// Length of the valid sequence at `p` (*p >= 0x80), or minus the length of
// the maximal subpart to replace with one U+FFFD: the longest prefix of a
// valid sequence, and at least one byte.
int utf8_sequence(const unsigned char* p, const unsigned char* end) {
  Lead lead = lead_of(p[0]);
  std::ptrdiff_t avail = end - p;
  if (lead.length == 0 || avail < 2 || p[1] < lead.lo || p[1] > lead.hi) return -1;
  for (int k = 2; k < lead.length; ++k)
    if (k >= avail || (p[k] & 0xC0) != 0x80) return -k;
  return lead.length;
}

}  // namespace

char* json_string(char* out, const char* s, std::size_t len, bool* exact) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  const unsigned char* end = p + len;
  bool ok = true;
  *out++ = '"';
  for (;;) {
    const unsigned char* run = plain_end(p, end);
    if (run != p) std::memcpy(out, p, run - p);  // p may be null when len is 0
    out += run - p;
    p = run;
    if (p == end) break;
    if (*p < 0x80) {
      ok = ok && *p != 0;
      out = put_escape(out, *p++);
      continue;
    }
    int n = utf8_sequence(p, end);
    if (n > 0) {
      std::memcpy(out, p, n);
      out += n;
      p += n;
    } else {
      static constexpr unsigned char REPLACEMENT[] = {0xEF, 0xBF, 0xBD};  // U+FFFD
      std::memcpy(out, REPLACEMENT, 3);
      out += 3;
      p -= n;
      ok = false;
    }
  }
  *out++ = '"';
  *exact = ok;
  return out;
}

bool utf8_exact(const char* s, std::size_t len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  const unsigned char* end = p + len;
  while (p < end) {
    while (end - p >= 8) {  // skip ASCII without NUL eight bytes at a time
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      if (((x | ((x - ONES) & ~x)) & HIGHS) != 0) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      if (*p++ == 0) return false;
      continue;
    }
    int n = utf8_sequence(p, end);
    if (n < 0) return false;
    p += n;
  }
  return true;
}

char* base64(char* out, const char* s, std::size_t len) {
  static constexpr char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  for (; len >= 3; len -= 3, p += 3) {
    std::uint32_t v = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    out[0] = ALPHABET[v >> 18];
    out[1] = ALPHABET[v >> 12 & 63];
    out[2] = ALPHABET[v >> 6 & 63];
    out[3] = ALPHABET[v & 63];
    out += 4;
  }
  if (len == 0) return out;
  std::uint32_t v = std::uint32_t{p[0]} << 16 | (len == 2 ? std::uint32_t{p[1]} << 8 : 0);
  out[0] = ALPHABET[v >> 18];
  out[1] = ALPHABET[v >> 12 & 63];
  out[2] = len == 2 ? ALPHABET[v >> 6 & 63] : '=';
  out[3] = '=';
  return out + 4;
}

}  // namespace zorv
