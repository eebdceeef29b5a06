// One walk of an archive through openzip/readzip with every decoded field
// kept: what the reader's tests and both fuzz targets compare. Header-only,
// so the fuzz build (clang, its own project) uses it without test support.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zip/zipdir.h"

namespace zorv::test {

// Everything readzip decodes, plus the entry's position after it.
struct WalkedEntry {
  std::uint32_t signature, crc32, compressed_size, uncompressed_size;
  std::uint32_t external_attr, local_header_offset, cd_pos;
  std::uint16_t flags, method, mod_time, mod_date, name_len, extra_len, comment_len;
  std::uint16_t disk_start, internal_attr;
  std::uint8_t made_by_version, made_by_system, needed_version, needed_system;
  std::string name;  // name_len bytes, NULs included
  bool operator==(const WalkedEntry&) const = default;
};

// The end record's fields as decoded (a plain copy, so walks compare).
struct WalkedEcd {
  std::uint16_t disk_number, cd_disk, disk_entries, total_entries, comment_len;
  std::uint32_t cd_size, cd_offset;
  bool operator==(const WalkedEcd&) const = default;
};

struct Walk {
  bool opened = false;
  std::int64_t ecd_pos = -1;
  WalkedEcd ecd{};
  std::vector<WalkedEntry> entries;
  ZipRead stop = ZipRead::End;  // how the walk ended: End, or Bad at a damaged header
  bool stays_stopped = false;   // one more readzip: the same answer, the same position
                                // (asked only when `check` is given: a Bad stop
                                // reports again)
  bool operator==(const Walk&) const = default;
};

inline WalkedEntry walked(const ZipEntry& e, std::uint32_t cd_pos) {
  return WalkedEntry{e.signature,       e.crc32,          e.compressed_size,
                     e.uncompressed_size, e.external_attr, e.local_header_offset,
                     cd_pos,            e.flags,          e.method,
                     e.mod_time,        e.mod_date,       e.name_len,
                     e.extra_len,       e.comment_len,    e.disk_start,
                     e.internal_attr,   e.made_by_version, e.made_by_system,
                     e.needed_version,  e.needed_system,  std::string(e.name, e.name_len)};
}

// Opens and walks the archive at `path`. `check(zd, entry)` runs for every
// entry while it is current (the fuzz target checks invariants there),
// `opened(zd)` once after the open; with `once_more`, readzip is asked once
// more after the walk ended (stays_stopped).
template <typename Opened, typename Check>
Walk walk_archive(const char* path, Opened&& opened, Check&& check, bool once_more = true) {
  Walk w;
  ZipDir* zd = openzip(path);
  if (zd == nullptr) return w;
  w.opened = true;
  opened(zd);
  ZipLayout layout = zip_layout(zd);
  w.ecd_pos = layout.ecd_pos;
  const ECD& e = layout.ecd;
  w.ecd = WalkedEcd{e.disk_number,   e.cd_disk,  e.disk_entries, e.total_entries,
                    e.comment_len,   e.cd_size,  e.cd_offset};
  const ZipEntry* entry;
  while ((w.stop = readzip(zd, &entry)) == ZipRead::Entry) {
    check(zd, *entry);
    w.entries.push_back(walked(*entry, zip_entry_pos(zd)));
  }
  if (once_more) {
    std::uint32_t at = zip_entry_pos(zd);
    w.stays_stopped = readzip(zd, &entry) == w.stop && zip_entry_pos(zd) == at;
  }
  closezip(zd);
  return w;
}

inline Walk walk_archive(const char* path) {
  return walk_archive(
      path, [](const ZipDir*) {}, [](const ZipDir*, const ZipEntry&) {}, false);
}

}  // namespace zorv::test
