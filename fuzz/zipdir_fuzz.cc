// Fuzz target for the central directory reader: the input is one archive
// file, its pages of zeros left as holes. Two walks of it through
// openzip/readzip (and a third of the file written whole, when it has
// holes) must agree with each other and with a plain model of the reader
// written from the record layouts below, field by field, including where
// and why each walk stops. find_ecd is compared with a byte-by-byte scan of
// the raw input.
#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/walk.h"
#include "zip/zipdir.h"

namespace {

using zorv::ZipDir;
using zorv::ZipEntry;
using zorv::ZipRead;
using zorv::test::Walk;
using zorv::test::WalkedEcd;
using zorv::test::WalkedEntry;

// ---- the model: the reader's documented behaviour, as directly as possible

std::uint16_t u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] + 256 * p[1]);
}
std::uint32_t u32(const std::uint8_t* p) {
  return u16(p) + 65536u * u16(p + 2);
}

// The last "PK\5\6" with a whole 22-byte record from it to the end.
bool scan_ecd(const std::uint8_t* d, std::size_t n, std::size_t* pos) {
  for (std::size_t p = n; p-- > 0;) {
    if (p + 22 <= n && d[p] == 'P' && d[p + 1] == 'K' && d[p + 2] == 5 && d[p + 3] == 6) {
      *pos = p;
      return true;
    }
  }
  return false;
}

WalkedEntry model_entry(const std::uint8_t* h, std::uint32_t next) {
  WalkedEntry e{};
  e.signature = u32(h);
  e.made_by_version = h[4];
  e.made_by_system = h[5];
  e.needed_version = h[6];
  e.needed_system = h[7];
  e.flags = u16(h + 8);
  e.method = u16(h + 10);
  e.mod_time = u16(h + 12);
  e.mod_date = u16(h + 14);
  e.crc32 = u32(h + 16);
  e.compressed_size = u32(h + 20);
  e.uncompressed_size = u32(h + 24);
  e.name_len = u16(h + 28);
  e.extra_len = u16(h + 30);
  e.comment_len = u16(h + 32);
  e.disk_start = u16(h + 34);
  e.internal_attr = u16(h + 36);
  e.external_attr = u32(h + 38);
  e.local_header_offset = u32(h + 42);
  e.name.assign(reinterpret_cast<const char*>(h + 46), e.name_len);
  e.cd_pos = next;
  return e;
}

Walk model(const std::uint8_t* d, std::size_t n) {
  Walk w;
  std::size_t at;
  if (n == 0 || !scan_ecd(d, n, &at)) return w;
  const std::uint8_t* r = d + at;
  w.ecd_pos = static_cast<std::int64_t>(at);
  WalkedEcd& e = w.ecd;
  e.disk_number = u16(r + 4);
  e.cd_disk = u16(r + 6);
  e.disk_entries = u16(r + 8);
  e.total_entries = u16(r + 10);
  e.cd_size = u32(r + 12);
  e.cd_offset = u32(r + 16);
  e.comment_len = u16(r + 20);
  if (e.disk_number != e.cd_disk || e.disk_entries != e.total_entries || e.total_entries == 0)
    return w;
  if (e.cd_size == 0 || std::uint64_t{e.cd_offset} + e.cd_size > n) return w;
  w.opened = true;
  w.stays_stopped = true;
  const std::uint8_t* cd = d + e.cd_offset;
  // Whole headers only: a header or name running past cd_size stops the
  // walk; an extra field or comment running past it ends it after the entry.
  for (std::uint64_t pos = 0; pos < e.cd_size;) {
    if (e.cd_size - pos < 46 || pos + 46 + u16(cd + pos + 28) > e.cd_size) {
      w.stop = ZipRead::Bad;
      break;
    }
    const std::uint8_t* h = cd + pos;
    std::uint64_t next = pos + 46 + u16(h + 28) + u16(h + 30) + u16(h + 32);
    w.entries.push_back(
        model_entry(h, next > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(next)));
    pos = next;
  }
  return w;
}

// ---- the reader, with the invariants its header promises checked as it goes

// What openzip holds must be the file's own bytes.
void check_opened(const ZipDir* zd, const std::uint8_t* d, std::size_t n) {
  zorv::ZipLayout l = zorv::zip_layout(zd);
  FUZZ_CHECK(l.file_size == static_cast<std::int64_t>(n));
  FUZZ_CHECK(zorv::zip_entry_pos(zd) == 0);
  FUZZ_CHECK(l.ecd.signature == 0x06054b50u);
  FUZZ_CHECK(l.ecd_pos >= 0 && l.ecd_pos + 22 <= l.file_size);
  FUZZ_CHECK(l.cd != nullptr);
  FUZZ_CHECK(std::uint64_t{l.ecd.cd_offset} + l.ecd.cd_size <= n);
  FUZZ_CHECK(std::memcmp(l.cd, d + l.ecd.cd_offset, l.ecd.cd_size) == 0);
  FUZZ_CHECK(zorv::zip_total_entries(zd) == l.ecd.total_entries);
}

// Each entry lies whole in the directory, its name ends in a NUL, and its
// position is the end of its header, name, extra field and comment.
void check_entry(const ZipDir* zd, const ZipEntry& e, std::uint32_t* pos) {
  zorv::ZipLayout l = zorv::zip_layout(zd);
  FUZZ_CHECK(*pos < l.ecd.cd_size);  // no entry after the one that reached the end
  FUZZ_CHECK(std::uint64_t{*pos} + 46 + e.name_len <= l.ecd.cd_size);
  FUZZ_CHECK(e.name != nullptr && e.name[e.name_len] == '\0');
  FUZZ_CHECK(std::memcmp(e.name, l.cd + *pos + 46, e.name_len) == 0);
  std::uint64_t next = std::uint64_t{*pos} + 46 + e.name_len + e.extra_len + e.comment_len;
  FUZZ_CHECK(zorv::zip_entry_pos(zd) == (next > UINT32_MAX ? UINT32_MAX : next));
  *pos = zorv::zip_entry_pos(zd);
}

Walk read(const char* path, const std::uint8_t* d, std::size_t n) {
  std::uint32_t pos = 0;
  int free_fd = zorv::fuzz::lowest_free_fd();
  Walk w = zorv::test::walk_archive(
      path, [&](const ZipDir* zd) { check_opened(zd, d, n); },
      [&](const ZipDir* zd, const ZipEntry& e) { check_entry(zd, e, &pos); });
  // A walk that stopped short stopped at a damaged header, and stays stopped.
  if (w.opened) {
    FUZZ_CHECK(w.stays_stopped);
    FUZZ_CHECK((w.stop == ZipRead::Bad) == (pos < w.ecd.cd_size));
  }
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  return w;
}

void check_find_ecd(const std::uint8_t* d, std::size_t n) {
  std::size_t want = 0;
  std::size_t got = 0;
  bool found = scan_ecd(d, n, &want);
  FUZZ_CHECK(zorv::find_ecd(d, n, &got) == (found ? 1 : 0));
  if (found) FUZZ_CHECK(got == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_find_ecd(data, size);
  // Pages of zeros are holes: the reader skips those unread and must see
  // the same archive as in the file written whole.
  std::size_t holes = 0;
  const char* path = zorv::fuzz::input_path(data, size, zorv::fuzz::Layout::Sparse, &holes);
  int free_fd = zorv::fuzz::lowest_free_fd();
  Walk first = read(path, data, size);
  Walk second = read(path, data, size);
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  FUZZ_CHECK(first == second);
  if (holes > 0) {
    Walk dense = read(zorv::fuzz::input_path(data, size), data, size);
    FUZZ_CHECK(dense == first);
  }
  Walk expect = model(data, size);
  FUZZ_CHECK(first.opened == expect.opened);
  if (first.opened) {
    FUZZ_CHECK(first.ecd_pos == expect.ecd_pos);
    FUZZ_CHECK(first.entries.size() == expect.entries.size());
    for (std::size_t i = 0; i < first.entries.size(); ++i)
      FUZZ_CHECK(first.entries[i] == expect.entries[i]);
    FUZZ_CHECK(first.stop == expect.stop);
    FUZZ_CHECK(first == expect);  // the end record's fields
  }
  return 0;
}
