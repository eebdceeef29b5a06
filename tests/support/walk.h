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
  std::uint64_t uncompressed_size64, compressed_size64, local_header_offset64;
  std::string name;  // name_len bytes, NULs included
  bool operator==(const WalkedEntry&) const = default;
};

// The end record's fields as decoded (a plain copy, so walks compare).
struct WalkedEcd {
  std::uint16_t disk_number, cd_disk, disk_entries, total_entries, comment_len;
  std::uint32_t cd_size, cd_offset;
  bool operator==(const WalkedEcd&) const = default;
};

// The values in force (DirEnd): the ZIP64 end record's, else the ECD's.
struct WalkedEnd {
  std::uint32_t disk_number, cd_disk;
  std::uint64_t disk_entries, total_entries, cd_size, cd_offset;
  bool operator==(const WalkedEnd&) const = default;
};

struct Walk {
  bool opened = false;
  std::int64_t ecd_pos = -1;
  WalkedEcd ecd{};
  std::int64_t end64_pos = -1;  // the ZIP64 end record read, or -1
  WalkedEnd end{};
  std::int64_t shift = 0;  // bytes in front of the archive
  std::vector<WalkedEntry> entries;
  ZipRead stop = ZipRead::End;  // how the walk ended: End, or Bad at a damaged header
  bool stays_stopped = false;   // one more readzip: the same answer, the same position
                                // (asked only when `check` is given: a Bad stop
                                // reports again)
  bool operator==(const Walk&) const = default;
};

inline WalkedEntry walked(const ZipEntry& e, std::uint32_t cd_pos) {
  return WalkedEntry{.signature = e.signature,
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
                     .uncompressed_size64 = e.uncompressed_size64,
                     .compressed_size64 = e.compressed_size64,
                     .local_header_offset64 = e.local_header_offset64,
                     .name = std::string(e.name, e.name_len)};
}

// Opens and walks the archive at `path`. `check(zd, entry)` runs for every
// entry while it is current (the fuzz target checks invariants there),
// `opened(zd)` once after the open; with `once_more`, readzip is asked once
// more after the walk ended (stays_stopped). The reader's lines go to
// `diag` (null: nowhere).
// walk_zip: the same for an archive opened already (null: none), which it
// closes.
template <typename Opened, typename Check>
Walk walk_zip(ZipDir* zd, Opened&& opened, Check&& check, bool once_more, Diag* diag) {
  Walk w;
  if (zd == nullptr) return w;
  w.opened = true;
  opened(zd);
  ZipLayout layout = zip_layout(zd);
  w.ecd_pos = layout.ecd_pos;
  const ECD& e = layout.ecd;
  w.ecd = WalkedEcd{e.disk_number, e.cd_disk, e.disk_entries, e.total_entries,
                    e.comment_len, e.cd_size, e.cd_offset};
  w.end64_pos = layout.end64_pos;
  const DirEnd& d = layout.end;
  w.end =
      WalkedEnd{d.disk_number, d.cd_disk, d.disk_entries, d.total_entries, d.cd_size, d.cd_offset};
  w.shift = layout.shift;
  const ZipEntry* entry;
  while ((w.stop = readzip(zd, &entry, diag)) == ZipRead::Entry) {
    check(zd, *entry);
    w.entries.push_back(walked(*entry, zip_entry_pos(zd)));
  }
  if (once_more) {
    std::uint32_t at = zip_entry_pos(zd);
    w.stays_stopped = readzip(zd, &entry, diag) == w.stop && zip_entry_pos(zd) == at;
  }
  closezip(zd);
  return w;
}

template <typename Opened, typename Check>
Walk walk_archive(const char* path, Opened&& opened, Check&& check, bool once_more = true,
                  Diag* diag = nullptr) {
  return walk_zip(openzip(path, diag), opened, check, once_more, diag);
}

// The archive `how` names in the file at `path` (its span), quietly.
inline Walk walk_archive(const char* path, const ZipOpen& how) {
  return walk_zip(
      openzip_named(path, path, how), [](const ZipDir*) {}, [](const ZipDir*, const ZipEntry&) {},
      false, nullptr);
}

inline Walk walk_archive(const char* path, Diag* diag = nullptr) {
  return walk_archive(
      path, [](const ZipDir*) {}, [](const ZipDir*, const ZipEntry&) {}, false, diag);
}

}  // namespace zorv::test
