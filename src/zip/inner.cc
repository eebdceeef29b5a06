#include "zip/inner.h"

#include <unistd.h>

#include <cerrno>

#include "zip/bytes.h"

namespace zorv {

namespace {

constexpr std::size_t LFH_NAME_LEN = 26;
constexpr std::size_t LFH_EXTRA_LEN = 28;

}  // namespace

InnerWhere locate_inner(int fd, ZipSpan outer, const VerifyItem& m, ZipSpan* data) {
  if ((m.flags & 1) != 0) return InnerWhere::Encrypted;
  bool coded = m.method != 0 || m.compressed_size != m.size;
  if (m.local_offset > INT64_MAX) return InnerWhere::PastEnd;
  auto local_at = static_cast<std::int64_t>(m.local_offset);
  // 64-bit sums of values below 2^48 and 2^64: compared, never wrapped.
  std::int64_t end = outer.base + outer.len;
  if (local_at < outer.base || local_at > end ||
      static_cast<std::uint64_t>(end - local_at) < LFH_SIZE) {
    return InnerWhere::PastEnd;
  }
  unsigned char h[LFH_SIZE];
  ssize_t got;
  do {
    got = pread(fd, h, sizeof h, local_at);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof h)) return InnerWhere::PastEnd;
  if (le_u32(h) != LFH_SIGNATURE) return InnerWhere::NoHeader;
  std::int64_t at = local_at + static_cast<std::int64_t>(LFH_SIZE) + le_u16(h + LFH_NAME_LEN) +
                    le_u16(h + LFH_EXTRA_LEN);
  if (at > end || m.compressed_size > static_cast<std::uint64_t>(end - at))
    return InnerWhere::PastEnd;
  *data = ZipSpan{at, static_cast<std::int64_t>(m.compressed_size)};
  return coded ? InnerWhere::Compressed : InnerWhere::Stored;
}

}  // namespace zorv
