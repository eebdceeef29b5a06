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
#include "zip/zipdir.h"

namespace {

using zorv::ECD;
using zorv::ZipDir;
using zorv::ZipEntry;

// Everything readzip decodes, plus the cursor after the entry.
struct Entry {
  std::uint32_t signature, crc32, compressed_size, uncompressed_size;
  std::uint32_t external_attr, local_header_offset, cd_pos;
  std::uint16_t flags, method, mod_time, mod_date, name_len, extra_len, comment_len;
  std::uint16_t disk_start, internal_attr;
  std::uint8_t made_by_version, made_by_system, needed_version, needed_system;
  std::string name;  // name_len bytes, NULs included
  bool operator==(const Entry&) const = default;
};

struct Walk {
  bool opened = false;
  std::int64_t ecd_pos = -1;
  std::uint16_t disk_number = 0, cd_disk = 0, disk_entries = 0, total_entries = 0;
  std::uint16_t comment_len = 0;
  std::uint32_t cd_size = 0, cd_offset = 0;
  std::vector<Entry> entries;
  bool stopped_at_bad_header = false;  // else the walk ran to the directory's end
  bool operator==(const Walk&) const = default;
};

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

Entry model_entry(const std::uint8_t* h, std::uint32_t next) {
  Entry e{};
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
  w.disk_number = u16(r + 4);
  w.cd_disk = u16(r + 6);
  w.disk_entries = u16(r + 8);
  w.total_entries = u16(r + 10);
  w.cd_size = u32(r + 12);
  w.cd_offset = u32(r + 16);
  w.comment_len = u16(r + 20);
  if (w.disk_number != w.cd_disk || w.disk_entries != w.total_entries || w.total_entries == 0)
    return w;
  if (w.cd_size == 0 || std::uint64_t{w.cd_offset} + w.cd_size > n) return w;
  w.opened = true;
  const std::uint8_t* cd = d + w.cd_offset;
  // Whole headers only: a header or name running past cd_size stops the
  // walk; an extra field or comment running past it ends it after the entry.
  for (std::uint64_t pos = 0; pos < w.cd_size;) {
    if (w.cd_size - pos < 46 || pos + 46 + u16(cd + pos + 28) > w.cd_size) {
      w.stopped_at_bad_header = true;
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

Entry copy_entry(const ZipEntry& e, std::uint32_t cd_pos) {
  return Entry{.signature = e.signature,
               .crc32 = e.crc32,
               .compressed_size = e.compressed_size,
               .uncompressed_size = e.uncompressed_size,
               .external_attr = e.external_attr,
               .local_header_offset = e.local_header_offset,
               .cd_pos = cd_pos,
               .flags = e.flags,
               .method = e.method,
               .mod_time = e.mod_time,
               .mod_date = e.mod_date,
               .name_len = e.name_len,
               .extra_len = e.extra_len,
               .comment_len = e.comment_len,
               .disk_start = e.disk_start,
               .internal_attr = e.internal_attr,
               .made_by_version = e.made_by_version,
               .made_by_system = e.made_by_system,
               .needed_version = e.needed_version,
               .needed_system = e.needed_system,
               .name = std::string(e.name, e.name_len)};
}

// What openzip holds must be the file's own bytes.
void check_opened(const ZipDir* zd, const char* path, const std::uint8_t* d, std::size_t n) {
  FUZZ_CHECK(std::strcmp(zd->path, path) == 0);
  FUZZ_CHECK(zd->file_size == static_cast<std::int64_t>(n));
  FUZZ_CHECK(zd->cd_pos == 0);
  FUZZ_CHECK(zd->ecd.signature == 0x06054b50u);
  FUZZ_CHECK(zd->ecd_pos >= 0 && zd->ecd_pos + 22 <= zd->file_size);
  FUZZ_CHECK(zd->cd_buf != nullptr);
  FUZZ_CHECK(std::uint64_t{zd->ecd.cd_offset} + zd->ecd.cd_size <= n);
  FUZZ_CHECK(std::memcmp(zd->cd_buf, d + zd->ecd.cd_offset, zd->ecd.cd_size) == 0);
  if (zd->window != nullptr) {
    FUZZ_CHECK(zd->cd_copy == nullptr);  // one buffer at a time
    FUZZ_CHECK(zd->window_pos >= 0 && zd->window_pos + zd->window_len <= zd->file_size);
    FUZZ_CHECK(zd->window_pos <= zd->ecd_pos &&
               zd->ecd_pos + 22 <= zd->window_pos + zd->window_len);
    FUZZ_CHECK(std::memcmp(zd->window, d + zd->window_pos, zd->window_len) == 0);
  } else {
    FUZZ_CHECK(zd->cd_copy == zd->cd_buf);
  }
}

Walk read(const char* path, const std::uint8_t* d, std::size_t n) {
  Walk w;
  ZipDir* zd = zorv::openzip(path);
  if (zd == nullptr) return w;
  check_opened(zd, path, d, n);
  w.opened = true;
  w.ecd_pos = zd->ecd_pos;
  const ECD& ecd = zd->ecd;
  w.disk_number = ecd.disk_number;
  w.cd_disk = ecd.cd_disk;
  w.disk_entries = ecd.disk_entries;
  w.total_entries = ecd.total_entries;
  w.cd_size = ecd.cd_size;
  w.cd_offset = ecd.cd_offset;
  w.comment_len = ecd.comment_len;
  std::uint32_t pos = 0;
  while (const ZipEntry* e = zorv::readzip(zd)) {
    FUZZ_CHECK(e == &zd->entry);
    FUZZ_CHECK(pos < ecd.cd_size);  // no entry after the one that reached the end
    FUZZ_CHECK(std::uint64_t{pos} + 46 + e->name_len <= ecd.cd_size);
    FUZZ_CHECK(e->name != nullptr && e->name[e->name_len] == '\0');
    FUZZ_CHECK(zd->name_cap > e->name_len);
    FUZZ_CHECK(std::memcmp(e->name, zd->cd_buf + pos + 46, e->name_len) == 0);
    std::uint64_t next = std::uint64_t{pos} + 46 + e->name_len + e->extra_len + e->comment_len;
    FUZZ_CHECK(zd->cd_pos == (next > UINT32_MAX ? UINT32_MAX : next));
    w.entries.push_back(copy_entry(*e, zd->cd_pos));
    pos = zd->cd_pos;
  }
  // A null result leaves the cursor where it was, and stays null.
  FUZZ_CHECK(zd->cd_pos == pos);
  w.stopped_at_bad_header = pos < ecd.cd_size;
  FUZZ_CHECK(zorv::readzip(zd) == nullptr);
  FUZZ_CHECK(zd->cd_pos == pos);
  int fd = zd->fd;
  zorv::closezip(zd);
  FUZZ_CHECK(fcntl(fd, F_GETFD) == -1);
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
    FUZZ_CHECK(first.stopped_at_bad_header == expect.stopped_at_bad_header);
    FUZZ_CHECK(first == expect);  // the end record's fields
  }
  return 0;
}
