// Fuzz target for the central directory reader: the input is one archive
// file, its pages of zeros left as holes. Two walks of it through
// openzip/readzip (and a third of the file written whole, when it has
// holes) must agree with each other and with a plain model of the reader
// written from the record layouts below, field by field, including the
// ZIP64 records, the shift for data in front, and where and why each walk
// stops. find_ecd is compared with a byte-by-byte scan of the raw input.
// The directory image of every archive opened walks the same; the input
// read as an image is refused or walked safely.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
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
using zorv::test::WalkedEnd;
using zorv::test::WalkedEntry;

// ---- the model: the reader's documented behaviour, as directly as possible

constexpr std::uint32_t CENTRAL_SIG = 0x02014b50;  // "PK\1\2"
constexpr std::uint32_t END64_SIG = 0x06064b50;    // "PK\6\6"
constexpr std::uint32_t LOCATOR_SIG = 0x07064b50;  // "PK\6\7"
constexpr std::uint32_t SATURATED = 0xffffffff;

// Written out here rather than taken from zipdir.h, so a change of the
// reader's bound shows up as a disagreement.
constexpr std::size_t ECD_REACH = (std::size_t{16} << 20) + 22;

std::uint16_t u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] + 256 * p[1]);
}
std::uint32_t u32(const std::uint8_t* p) {
  return u16(p) + 65536u * u16(p + 2);
}
std::uint64_t u64(const std::uint8_t* p) {
  return u32(p) + 4294967296u * std::uint64_t{u32(p + 4)};
}

// The last "PK\5\6" at or after `from` with a whole 22-byte record from it
// to the end.
bool scan_ecd(const std::uint8_t* d, std::size_t n, std::size_t from, std::size_t* pos) {
  for (std::size_t p = n; p-- > from;) {
    if (p + 22 <= n && d[p] == 'P' && d[p + 1] == 'K' && d[p + 2] == 5 && d[p + 3] == 6) {
      *pos = p;
      return true;
    }
  }
  return false;
}

// Whether the 4 bytes at `pos` are in the file and read `sig`.
bool sig_at(const std::uint8_t* d, std::size_t n, std::uint64_t pos, std::uint32_t sig) {
  return pos <= n && n - pos >= 4 && u32(d + pos) == sig;
}

// The locator fills the 20 bytes before the end record. The ZIP64 end
// record (56 bytes) is looked for right before the locator, then where the
// locator says, when it ends by the locator; the first with its signature
// gives its value for each classic field that reads 0xFFFF or 0xFFFFFFFF.
// Its position, or -1; -2 when a classic field that does not read so
// differs from the record's (the archive is refused).
std::int64_t model_end64(const std::uint8_t* d, std::size_t ecd_at, WalkedEnd* end) {
  if (ecd_at < 20 || u32(d + ecd_at - 20) != LOCATOR_SIG) return -1;
  std::size_t loc = ecd_at - 20;
  std::uint64_t given = u64(d + loc + 8);
  std::vector<std::size_t> tries;
  if (loc >= 56) tries.push_back(loc - 56);
  if (given <= loc && loc - given >= 56) tries.push_back(given);
  for (std::size_t at : tries) {
    const std::uint8_t* r = d + at;
    if (u32(r) != END64_SIG) continue;
    bool agree = true;
    auto take = [&agree](auto& field, std::uint64_t saturated, std::uint64_t wide) {
      if (field == saturated) {
        field = static_cast<std::remove_reference_t<decltype(field)>>(wide);
      } else {
        agree = agree && field == wide;
      }
    };
    WalkedEnd e = *end;
    take(e.disk_number, 0xffff, u32(r + 16));
    take(e.cd_disk, 0xffff, u32(r + 20));
    take(e.disk_entries, 0xffff, u64(r + 24));
    take(e.total_entries, 0xffff, u64(r + 32));
    take(e.cd_size, 0xffffffff, u64(r + 40));
    take(e.cd_offset, 0xffffffff, u64(r + 48));
    if (!agree) return -2;
    *end = e;
    return static_cast<std::int64_t>(at);
  }
  return -1;
}

// Data in front of the archive: the directory recorded to end short of
// where the end record stands, and a central header at the offset moved
// by the gap (whatever stands at the recorded offset).
std::uint64_t model_shift(const std::uint8_t* d, std::size_t n, std::uint64_t stands,
                          const WalkedEnd& end) {
  if (end.cd_offset > stands || end.cd_size >= stands - end.cd_offset) return 0;
  std::uint64_t gap = stands - end.cd_offset - end.cd_size;
  return sig_at(d, n, end.cd_offset + gap, CENTRAL_SIG) ? gap : 0;
}

// The ZIP64 extra field: blocks of (id, size, data); the first with id 1
// gives 8-byte values to the saturated fields in order, as long as its data
// lasts. A block running past `len` ends the scan with nothing taken.
void model_extra(const std::uint8_t* x, std::size_t len, WalkedEntry* e) {
  std::size_t at = 0;
  while (len - at >= 4) {
    std::uint16_t id = u16(x + at);
    std::size_t size = u16(x + at + 2);
    if (size > len - at - 4) return;
    if (id != 1) {
      at += 4 + size;
      continue;
    }
    std::size_t v = at + 4;
    std::size_t stop = v + size;
    std::pair<std::uint32_t, std::uint64_t*> fields[] = {
        {e->uncompressed_size, &e->uncompressed_size64},
        {e->compressed_size, &e->compressed_size64},
        {e->local_header_offset, &e->local_header_offset64}};
    for (auto [narrow, wide] : fields) {
      if (narrow != SATURATED || stop - v < 8) continue;
      *wide = u64(x + v);
      v += 8;
    }
    return;
  }
}

// A central header at `pos` of the `cd_size`-byte directory `cd`, whose
// fixed part and name are known to lie inside it.
WalkedEntry model_entry(const std::uint8_t* cd, std::uint64_t cd_size, std::uint64_t pos) {
  const std::uint8_t* h = cd + pos;
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
  e.uncompressed_size64 = e.uncompressed_size;
  e.compressed_size64 = e.compressed_size;
  e.local_header_offset64 = e.local_header_offset;
  if (e.uncompressed_size == SATURATED || e.compressed_size == SATURATED ||
      e.local_header_offset == SATURATED) {
    // Only the part of the extra field inside the directory counts.
    std::uint64_t from = pos + 46 + e.name_len;
    std::uint64_t len = std::min<std::uint64_t>(e.extra_len, cd_size - from);
    model_extra(cd + from, len, &e);
  }
  std::uint64_t next = pos + 46 + e.name_len + e.extra_len + e.comment_len;
  e.cd_pos = next > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(next);
  return e;
}

Walk model(const std::uint8_t* d, std::size_t n) {
  std::size_t at;
  if (n == 0 || !scan_ecd(d, n, n > ECD_REACH ? n - ECD_REACH : 0, &at)) return Walk{};
  const std::uint8_t* r = d + at;
  Walk w;
  w.ecd_pos = static_cast<std::int64_t>(at);
  WalkedEcd& c = w.ecd;
  c.disk_number = u16(r + 4);
  c.cd_disk = u16(r + 6);
  c.disk_entries = u16(r + 8);
  c.total_entries = u16(r + 10);
  c.cd_size = u32(r + 12);
  c.cd_offset = u32(r + 16);
  c.comment_len = u16(r + 20);
  WalkedEnd& e = w.end;
  e = WalkedEnd{c.disk_number, c.cd_disk, c.disk_entries, c.total_entries, c.cd_size, c.cd_offset};
  w.end64_pos = model_end64(d, at, &e);
  if (w.end64_pos == -2) return Walk{};
  // An archive extra data record where the directory is read, or, with no
  // central header at the recorded offset, where the bytes in front would
  // move it: an encrypted directory, refused.
  std::uint64_t end_at = w.end64_pos >= 0 ? static_cast<std::uint64_t>(w.end64_pos) : at;
  std::uint64_t moved = model_shift(d, n, end_at, e);
  if (sig_at(d, n, e.cd_offset + moved, 0x08064b50u)) return Walk{};
  if (moved == 0 && e.cd_offset <= end_at && e.cd_size < end_at - e.cd_offset &&
      !sig_at(d, n, e.cd_offset, CENTRAL_SIG) && sig_at(d, n, end_at - e.cd_size, 0x08064b50u)) {
    return Walk{};
  }
  bool empty = e.disk_number == e.cd_disk && e.disk_entries == 0 && e.total_entries == 0 &&
               e.cd_size == 0;
  if (empty) {
    w.opened = true;
    w.stays_stopped = true;
    return w;
  }
  if (e.disk_number != e.cd_disk || e.disk_entries != e.total_entries || e.total_entries == 0)
    return Walk{};
  std::uint64_t stands = w.end64_pos >= 0 ? static_cast<std::uint64_t>(w.end64_pos) : at;
  std::uint64_t shift = model_shift(d, n, stands, e);
  std::uint64_t start = e.cd_offset + shift;
  if (e.cd_size == 0 || start > n || e.cd_size > n - start) return Walk{};
  if (e.cd_size > UINT32_MAX) return Walk{};
  w.shift = static_cast<std::int64_t>(shift);
  w.opened = true;
  w.stays_stopped = true;
  const std::uint8_t* cd = d + start;
  // Whole headers only: a header or name running past cd_size stops the
  // walk; an extra field or comment running past it ends it after the entry.
  for (std::uint64_t pos = 0; pos < e.cd_size;) {
    if ((e.cd_size - pos >= 4 && u32(cd + pos) != 0x02014b50u) || e.cd_size - pos < 46 || pos + 46 + u16(cd + pos + 28) > e.cd_size) {
      w.stop = ZipRead::Bad;
      break;
    }
    w.entries.push_back(model_entry(cd, e.cd_size, pos));
    pos = pos + 46 + u16(cd + pos + 28) + u16(cd + pos + 30) + u16(cd + pos + 32);
  }
  return w;
}

// ---- the reader, with the invariants its header promises checked as it goes

// The end record and the ZIP64 end record as openzip found them: where they
// stand, and the values in force, which an opened archive must accept.
void check_end_records(const zorv::ZipLayout& l, const std::uint8_t* d) {
  const zorv::DirEnd& end = l.end;
  FUZZ_CHECK(l.ecd.signature == 0x06054b50u);
  FUZZ_CHECK(l.ecd_pos >= 0 && l.ecd_pos + 22 <= l.file_size);
  if (l.end64_pos >= 0) {
    // Wholly before the locator, which stands right before the ECD.
    FUZZ_CHECK(l.end64_pos + 56 + 20 <= l.ecd_pos);
    FUZZ_CHECK(u32(d + l.end64_pos) == END64_SIG);
    FUZZ_CHECK(u32(d + l.ecd_pos - 20) == LOCATOR_SIG);
  } else {
    FUZZ_CHECK(l.end64_pos == -1);
    const zorv::ECD& c = l.ecd;
    FUZZ_CHECK(end.disk_number == c.disk_number && end.cd_disk == c.cd_disk);
    FUZZ_CHECK(end.disk_entries == c.disk_entries && end.total_entries == c.total_entries);
    FUZZ_CHECK(end.cd_size == c.cd_size && end.cd_offset == c.cd_offset);
  }
  FUZZ_CHECK(end.disk_number == end.cd_disk);
  FUZZ_CHECK(end.disk_entries == end.total_entries);
  FUZZ_CHECK(end.total_entries != 0 || end.cd_size == 0);
}

// What openzip holds must be the file's own bytes, bounded as promised.
void check_opened(const ZipDir* zd, const std::uint8_t* d, std::size_t n) {
  zorv::ZipLayout l = zorv::zip_layout(zd);
  const zorv::DirEnd& end = l.end;
  FUZZ_CHECK(l.file_size == static_cast<std::int64_t>(n));
  FUZZ_CHECK(zorv::zip_entry_pos(zd) == 0);
  check_end_records(l, d);
  FUZZ_CHECK(zorv::zip_total_entries(zd) == end.total_entries);
  FUZZ_CHECK(l.shift >= 0 && zorv::zip_data_shift(zd) == l.shift);
  FUZZ_CHECK(l.cd != nullptr);
  FUZZ_CHECK(end.cd_size <= UINT32_MAX);
  if (end.cd_size == 0) return;  // an empty archive: no directory to hold
  FUZZ_CHECK(end.cd_offset <= n && static_cast<std::uint64_t>(l.shift) <= n - end.cd_offset);
  std::uint64_t start = end.cd_offset + static_cast<std::uint64_t>(l.shift);
  FUZZ_CHECK(end.cd_size <= n - start);
  FUZZ_CHECK(std::memcmp(l.cd, d + start, end.cd_size) == 0);
}

// Each entry lies whole in the directory, its name ends in a NUL, its
// position is the end of its header, name, extra field and comment, and a
// 64-bit value differs from its 32-bit field only where that is saturated.
void check_entry(const ZipDir* zd, const ZipEntry& e, std::uint32_t* pos) {
  zorv::ZipLayout l = zorv::zip_layout(zd);
  FUZZ_CHECK(*pos < l.end.cd_size);  // no entry after the one that reached the end
  FUZZ_CHECK(std::uint64_t{*pos} + 46 + e.name_len <= l.end.cd_size);
  FUZZ_CHECK(e.name != nullptr && e.name[e.name_len] == '\0');
  FUZZ_CHECK(std::memcmp(e.name, l.cd + *pos + 46, e.name_len) == 0);
  std::uint64_t next = std::uint64_t{*pos} + 46 + e.name_len + e.extra_len + e.comment_len;
  FUZZ_CHECK(zorv::zip_entry_pos(zd) == (next > UINT32_MAX ? UINT32_MAX : next));
  FUZZ_CHECK(e.uncompressed_size == SATURATED || e.uncompressed_size64 == e.uncompressed_size);
  FUZZ_CHECK(e.compressed_size == SATURATED || e.compressed_size64 == e.compressed_size);
  FUZZ_CHECK(e.local_header_offset == SATURATED ||
             e.local_header_offset64 == e.local_header_offset);
  *pos = zorv::zip_entry_pos(zd);
}

Walk read(const char* path, const std::uint8_t* d, std::size_t n) {
  std::uint32_t pos = 0;
  int free_fd = zorv::fuzz::lowest_free_fd();
  Walk w = zorv::test::walk_archive(
      path,
      [&](const ZipDir* zd) {
        // The directory is held in memory: an opened archive holds no descriptor.
        FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
        check_opened(zd, d, n);
      },
      [&](const ZipDir* zd, const ZipEntry& e) { check_entry(zd, e, &pos); });
  // A walk that stopped short stopped at a damaged header, and stays stopped.
  if (w.opened) {
    FUZZ_CHECK(w.stays_stopped);
    FUZZ_CHECK((w.stop == ZipRead::Bad) == (pos < w.end.cd_size));
  }
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  return w;
}

void check_find_ecd(const std::uint8_t* d, std::size_t n) {
  std::size_t want = 0;
  std::size_t got = 0;
  bool found = scan_ecd(d, n, 0, &want);
  FUZZ_CHECK(zorv::find_ecd(d, n, &got) == (found ? 1 : 0));
  if (found) FUZZ_CHECK(got == want);
}

// Field by field first, so a failure names the part that differs.
void check_model(const Walk& got, const Walk& expect) {
  FUZZ_CHECK(got.opened == expect.opened);
  if (got.opened) {
    FUZZ_CHECK(got.ecd_pos == expect.ecd_pos);
    FUZZ_CHECK(got.ecd == expect.ecd);
    FUZZ_CHECK(got.end64_pos == expect.end64_pos);
    FUZZ_CHECK(got.end == expect.end);
    FUZZ_CHECK(got.shift == expect.shift);
    FUZZ_CHECK(got.entries.size() == expect.entries.size());
    for (std::size_t i = 0; i < got.entries.size(); ++i)
      FUZZ_CHECK(got.entries[i] == expect.entries[i]);
    FUZZ_CHECK(got.stop == expect.stop);
  }
  FUZZ_CHECK(got == expect);
}

}  // namespace

// The archive's directory image walks as the open it was taken from (the
// first walk, `read`); the input itself, taken as an image, is refused or
// walks to a stop.
void check_image(const char* path, const Walk& read) {
  ZipDir* zd = zorv::openzip(path, nullptr);
  FUZZ_CHECK((zd != nullptr) == read.opened);
  if (zd == nullptr) return;
  std::vector<unsigned char> image(zorv::zip_image_size(zd));
  FUZZ_CHECK(zorv::zip_image(zd, image.data()));
  zorv::closezip(zd);
  zorv::ZipOpen how{nullptr, nullptr, nullptr, nullptr};
  auto nothing = [](const ZipDir*) {};
  auto any = [](const ZipDir*, const ZipEntry&) {};
  ZipDir* made = zorv::openzip_image(image.data(), image.size(), path, how);
  FUZZ_CHECK(made != nullptr);
  FUZZ_CHECK(zorv::test::walk_zip(made, nothing, any, true, nullptr) == read);
}

void walk_as_image(const std::uint8_t* data, std::size_t size) {
  zorv::ZipOpen how{nullptr, nullptr, nullptr, nullptr};
  ZipDir* zd = zorv::openzip_image(data, size, "input", how);
  zorv::test::walk_zip(zd, [](const ZipDir*) {}, [](const ZipDir*, const ZipEntry&) {}, true,
                       nullptr);
}

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
  check_model(first, model(data, size));
  check_image(path, first);
  walk_as_image(data, size);
  return 0;
}
