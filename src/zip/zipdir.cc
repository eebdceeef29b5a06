#include "zip/zipdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/diag.h"
#include "util/bigalloc.h"

namespace zorv {

struct ZipDir {
  char* path;              // copy of the path given to openzip
  int fd;                  // open for reading until the directory is read
  std::int64_t file_size;  // of the span read; 64-bit: archives up to 4 GiB and beyond
  std::int64_t base;       // file offset of the span: every offset below counts from it
  std::int64_t ecd_pos;    // file offset of the ECD signature
  unsigned char* window;   // the file bytes of the read that found the ECD, or null
  std::int64_t window_pos;
  std::uint32_t window_len;
  unsigned char* cd_copy;       // the directory, when it lay outside the window
  std::size_t cd_copy_cap;      // bytes allocated for cd_copy
  ZipOpen how;                  // cache: where cd_copy came from and goes back to
  const unsigned char* cd_buf;  // cd_size bytes: inside window, or cd_copy
  std::uint32_t cd_size;        // end.cd_size, once checked to be below 4 GiB
  std::uint32_t cd_pos;         // offset in cd_buf of the next header
  std::uint32_t name_cap;       // bytes allocated for entry.name
  ZipEntry entry;
  ECD ecd;                 // the classic end record as decoded
  std::int64_t end64_pos;  // file offset of the ZIP64 end record read, or -1
  DirEnd end;              // the values in force: the ECD's, widened by a ZIP64 record
  std::int64_t shift;      // bytes in front of the archive
};

namespace {

// End of Central Directory record offsets.
constexpr std::size_t ECD_DISK = 4;
constexpr std::size_t ECD_CD_DISK = 6;
constexpr std::size_t ECD_DISK_ENTRIES = 8;
constexpr std::size_t ECD_TOTAL_ENTRIES = 10;
constexpr std::size_t ECD_CD_SIZE = 12;
constexpr std::size_t ECD_CD_OFFSET = 16;
constexpr std::size_t ECD_COMMENT_LEN = 20;

// Central file header offsets.
constexpr std::size_t CDH_MADE_BY = 4;
constexpr std::size_t CDH_NEEDED = 6;
constexpr std::size_t CDH_FLAGS = 8;
constexpr std::size_t CDH_METHOD = 10;
constexpr std::size_t CDH_MOD_TIME = 12;
constexpr std::size_t CDH_MOD_DATE = 14;
constexpr std::size_t CDH_CRC32 = 16;
constexpr std::size_t CDH_COMPRESSED = 20;
constexpr std::size_t CDH_UNCOMPRESSED = 24;
constexpr std::size_t CDH_NAME_LEN = 28;
constexpr std::size_t CDH_EXTRA_LEN = 30;
constexpr std::size_t CDH_COMMENT_LEN = 32;
constexpr std::size_t CDH_DISK_START = 34;
constexpr std::size_t CDH_INTERNAL_ATTR = 36;
constexpr std::size_t CDH_EXTERNAL_ATTR = 38;
constexpr std::size_t CDH_LOCAL_OFFSET = 42;

// Reads exactly len bytes at offset; false on an error or an early end.
bool read_at(int fd, unsigned char* out, std::size_t len, std::int64_t offset) {
  while (len > 0) {
    ssize_t got = pread(fd, out, len, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    len -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

// True when [pos, pos + len) lies wholly in a hole of a sparse file: it
// reads as zeros, so no signature can start there and it need not be read.
// (Bytes of a hole that follow a signature in a window that is read are
// read with it, as zeros.)
bool is_hole(int fd, std::int64_t pos, std::uint32_t len) {
  off_t data = lseek(fd, pos, SEEK_DATA);
  if (data < 0) return errno == ENXIO;  // no data from pos to the end
  return data >= pos + len;
}

// Only regular files are archives; anything else is refused after the open.
// A span must lie in the file.
bool take_regular(ZipDir* zd, int fd, const struct stat* st) {
  zd->fd = fd;
  if (fd < 0 || st == nullptr || !S_ISREG(st->st_mode)) return false;
  zd->file_size = st->st_size;
  const ZipSpan& span = zd->how.span;
  if (span.len < 0) return true;
  if (span.base < 0 || span.base > st->st_size || span.len > st->st_size - span.base) return false;
  zd->base = span.base;
  zd->file_size = span.len;
  return true;
}

void decode_ecd(const unsigned char* p, ECD* ecd) {
  ecd->signature = le_u32(p);
  ecd->disk_number = le_u16(p + ECD_DISK);
  ecd->cd_disk = le_u16(p + ECD_CD_DISK);
  ecd->disk_entries = le_u16(p + ECD_DISK_ENTRIES);
  ecd->total_entries = le_u16(p + ECD_TOTAL_ENTRIES);
  ecd->cd_size = le_u32(p + ECD_CD_SIZE);
  ecd->cd_offset = le_u32(p + ECD_CD_OFFSET);
  ecd->comment_len = le_u16(p + ECD_COMMENT_LEN);
}

void decode_cdh(const unsigned char* p, ZipEntry* e) {
  e->signature = le_u32(p);
  e->made_by_version = p[CDH_MADE_BY];
  e->made_by_system = p[CDH_MADE_BY + 1];
  e->needed_version = p[CDH_NEEDED];
  e->needed_system = p[CDH_NEEDED + 1];
  e->flags = le_u16(p + CDH_FLAGS);
  e->method = le_u16(p + CDH_METHOD);
  e->mod_time = le_u16(p + CDH_MOD_TIME);
  e->mod_date = le_u16(p + CDH_MOD_DATE);
  e->crc32 = le_u32(p + CDH_CRC32);
  e->compressed_size = le_u32(p + CDH_COMPRESSED);
  e->uncompressed_size = le_u32(p + CDH_UNCOMPRESSED);
  e->name_len = le_u16(p + CDH_NAME_LEN);
  e->extra_len = le_u16(p + CDH_EXTRA_LEN);
  e->comment_len = le_u16(p + CDH_COMMENT_LEN);
  e->disk_start = le_u16(p + CDH_DISK_START);
  e->internal_attr = le_u16(p + CDH_INTERNAL_ATTR);
  e->external_attr = le_u32(p + CDH_EXTERNAL_ATTR);
  e->local_header_offset = le_u32(p + CDH_LOCAL_OFFSET);
  e->uncompressed_size64 = e->uncompressed_size;
  e->compressed_size64 = e->compressed_size;
  e->local_header_offset64 = e->local_header_offset;
}

// A cache keeps a buffer up to this size; bigger ones go back to the system.
constexpr std::size_t SPARE_MAX = std::size_t{64} << 20;

unsigned char* take_buffer(ZipCache* cache, std::size_t size, std::size_t* cap) {
  if (cache != nullptr) {
    std::lock_guard<std::mutex> hold(cache->lock);
    if (cache->buf != nullptr && cache->cap >= size) {
      *cap = std::exchange(cache->cap, 0);
      return std::exchange(cache->buf, nullptr);
    }
  }
  *cap = size;
  return static_cast<unsigned char*>(big_alloc(size));
}

void give_buffer(ZipCache* cache, unsigned char* buf, std::size_t cap) {
  if (cache != nullptr && cap <= SPARE_MAX) {
    std::unique_lock<std::mutex> hold(cache->lock);
    if (cap >= cache->cap) {
      std::swap(cache->buf, buf);
      cache->cap = cap;
    }
  }
  std::free(buf);  // outside the lock: freeing a big buffer unmaps it
}

// Copies len bytes at file offset pos: from the window when it holds them,
// else with a read. False when they are not all in the file.
bool read_span(const ZipDir* zd, std::int64_t pos, std::size_t len, unsigned char* out) {
  if (pos < 0 || pos > zd->file_size || len > static_cast<std::uint64_t>(zd->file_size - pos))
    return false;
  if (zd->window != nullptr && pos >= zd->window_pos &&
      pos + static_cast<std::int64_t>(len) <= zd->window_pos + zd->window_len) {
    std::memcpy(out, zd->window + (pos - zd->window_pos), len);
    return true;
  }
  return read_at(zd->fd, out, len, zd->base + pos);
}

enum class End64 { None, Read, Disagrees };

// When the ZIP64 locator stands right before the ECD, the ZIP64 end record
// it leads to widens the classic values that are saturated (merge_zip64_end).
// The record is looked for right before the locator first, where it stands
// unless an extensible data sector follows it: when bytes were prepended the
// locator's offset misses it, and in `cat a.zip b.zip` it may even hit the
// first archive's record. Then at the offset the locator gives. Without
// either, the classic values stand.
End64 read_zip64_end(ZipDir* zd) {
  std::int64_t locator = zd->ecd_pos - static_cast<std::int64_t>(ZIP64_LOCATOR_SIZE);
  unsigned char bytes[ZIP64_END_SIZE];
  std::uint64_t recorded;
  if (!read_span(zd, locator, ZIP64_LOCATOR_SIZE, bytes) ||
      !decode_zip64_locator(bytes, &recorded)) {
    return End64::None;
  }
  std::int64_t before = locator - static_cast<std::int64_t>(ZIP64_END_SIZE);
  if (before < 0) return End64::None;
  // The record must end at or before the locator: a hostile offset is
  // never read beyond it.
  std::int64_t at[2] = {
      before,
      recorded <= static_cast<std::uint64_t>(before) ? static_cast<std::int64_t>(recorded) : -1};
  for (std::int64_t pos : at) {
    DirEnd wide;
    if (pos >= 0 && read_span(zd, pos, ZIP64_END_SIZE, bytes) && decode_zip64_end(bytes, &wide)) {
      if (!merge_zip64_end(zd->end, wide, &zd->end)) return End64::Disagrees;
      zd->end64_pos = pos;
      return End64::Read;
    }
  }
  return End64::None;
}

// Whether the 4 bytes at `pos` are in the file and read `signature`.
bool signature_at(const ZipDir* zd, std::uint64_t pos, std::uint32_t signature) {
  unsigned char sig[4];
  return pos <= INT64_MAX && read_span(zd, static_cast<std::int64_t>(pos), sizeof sig, sig) &&
         le_u32(sig) == signature;
}

// Bytes in front of the archive (a self-extractor's stub, `cat stub a.zip`)
// leave the recorded offsets counting from the archive's own start: the
// directory then ends short of where the end record really stands. When a
// central header starts at the offset moved by that gap, the gap is the
// shift, whatever stands at the recorded offset: in `cat a.zip b.zip` that
// is a.zip's directory, and unzip and Python's zipfile read b.zip's. Only
// without a header there is the directory read where it is recorded.
std::int64_t find_shift(const ZipDir* zd) {
  const DirEnd& end = zd->end;
  auto stands = static_cast<std::uint64_t>(zd->end64_pos >= 0 ? zd->end64_pos : zd->ecd_pos);
  if (end.cd_offset > stands || end.cd_size >= stands - end.cd_offset) return 0;
  auto gap = static_cast<std::int64_t>(stands - end.cd_offset - end.cd_size);
  auto recorded = static_cast<std::int64_t>(end.cd_offset);
  return signature_at(zd, static_cast<std::uint64_t>(recorded + gap), CDH_SIGNATURE) ? gap : 0;
}

constexpr std::uint32_t ARCHIVE_EXTRA_SIGNATURE = 0x08064b50;  // "PK\6\8"

// Whether the directory starts with an archive extra data record: where it
// is read (the shift that puts a central header there), or, when no central
// header stands at the recorded offset, where the bytes in front would move
// it (an encrypted directory has no central header to find it by).
bool encrypted_directory(const ZipDir* zd) {
  const DirEnd& end = zd->end;
  std::int64_t shift = find_shift(zd);
  if (signature_at(zd, end.cd_offset + static_cast<std::uint64_t>(shift), ARCHIVE_EXTRA_SIGNATURE))
    return true;
  auto stands = static_cast<std::uint64_t>(zd->end64_pos >= 0 ? zd->end64_pos : zd->ecd_pos);
  if (shift != 0 || end.cd_offset > stands || end.cd_size >= stands - end.cd_offset ||
      signature_at(zd, end.cd_offset, CDH_SIGNATURE)) {
    return false;
  }
  return signature_at(zd, stands - end.cd_size, ARCHIVE_EXTRA_SIGNATURE);
}

// Makes the central directory available in cd_buf: in place when the read
// that found the ECD holds it (every small archive), else with one more read.
// A directory running past the end of the file is refused before anything is
// allocated for it, so a tiny hostile file cannot reserve gigabytes.
bool load_cd(ZipDir* zd, const char* path) {
  Diag* diag = zd->how.diag;
  const DirEnd& end = zd->end;
  zd->shift = find_shift(zd);
  std::uint64_t start = end.cd_offset + static_cast<std::uint64_t>(zd->shift);
  auto file_size = static_cast<std::uint64_t>(zd->file_size);
  if (end.cd_size == 0 || start > file_size || end.cd_size > file_size - start) {
    say(diag, "error reading central directory: %s", path);
    return false;
  }
  if (end.cd_size > UINT32_MAX) {
    say(diag, "error, central directory of 4 GiB or more: %s", path);
    return false;
  }
  zd->cd_size = static_cast<std::uint32_t>(end.cd_size);
  auto from = static_cast<std::int64_t>(start);
  if (from >= zd->window_pos && from + zd->cd_size <= zd->window_pos + zd->window_len) {
    zd->cd_buf = zd->window + (from - zd->window_pos);
    return true;
  }
  std::free(zd->window);  // the end records are decoded; keep only one buffer
  zd->window = nullptr;
  if (zd->how.admit != nullptr && !zd->how.admit(zd->cd_size, zd->how.ctx)) return false;
  zd->cd_copy = take_buffer(zd->how.cache, zd->cd_size, &zd->cd_copy_cap);
  if (zd->cd_copy == nullptr) {
    say(diag, "malloc failed allocating: %u bytes", zd->cd_size);
    return false;
  }
  if (!read_at(zd->fd, zd->cd_copy, zd->cd_size, zd->base + from)) {
    say(diag, "error reading central directory: %s", path);
    return false;
  }
  zd->cd_buf = zd->cd_copy;
  return true;
}

// Grows entry.name to hold len bytes and a NUL; the buffer is reused from
// entry to entry, so a walk allocates only a handful of times.
bool copy_name(ZipDir* zd, const unsigned char* src, std::uint32_t len) {
  if (len + 1 > zd->name_cap) {
    std::uint32_t cap = 256;
    while (cap < len + 1)
      cap *= 2;
    std::free(zd->entry.name);
    zd->entry.name = static_cast<char*>(std::malloc(cap));
    zd->name_cap = zd->entry.name != nullptr ? cap : 0;
    if (zd->entry.name == nullptr) return false;
  }
  std::memcpy(zd->entry.name, src, len);
  zd->entry.name[len] = '\0';
  return true;
}

// Releases a partly opened ZipDir on every early return of openzip.
struct OpenGuard {
  ZipDir* zd;
  ~OpenGuard() {
    if (zd != nullptr) closezip(zd);
  }
  ZipDir* release() { return std::exchange(zd, nullptr); }
};

}  // namespace

int find_ecd(const unsigned char* buf, std::size_t len, std::size_t* pos) {
  if (len < ECD_SIZE) return 0;
  std::size_t end = len - ECD_SIZE + 1;  // candidates lie in [0, end)
  while (end > 0) {
    const void* hit = memrchr(buf, 'P', end);
    if (hit == nullptr) return 0;
    auto p = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - buf);
    if (buf[p + 1] == 'K' && buf[p + 2] == 5 && buf[p + 3] == 6) {
      *pos = p;
      return 1;
    }
    end = p;
  }
  return 0;
}

namespace {

// Finds the ECD nearest the end of the file (fd and file_size set): 0 with
// window, window_pos, window_len and ecd_pos set, or -1 with nothing held.
int load_ecd(ZipDir* zd) {
  std::int64_t size = zd->file_size;
  std::int64_t reach = zd->how.ecd_reach > 0 ? zd->how.ecd_reach : ECD_SEARCH_MAX;
  std::int64_t floor = size > reach ? size - reach : 0;
  std::uint32_t cap = size < ZIP_WINDOW ? static_cast<std::uint32_t>(size) : ZIP_WINDOW;
  auto* buf = static_cast<unsigned char*>(std::malloc(cap));
  if (buf == nullptr) return -1;
  std::int64_t pos = size - cap;
  std::uint32_t len = cap;
  for (bool first = true;; first = false) {
    if (first || !is_hole(zd->fd, zd->base + pos, len)) {
      if (!read_at(zd->fd, buf, len, zd->base + pos)) break;
      std::size_t hit;
      if (find_ecd(buf, len, &hit) != 0) {
        zd->window = buf;
        zd->window_pos = pos;
        zd->window_len = len;
        zd->ecd_pos = pos + static_cast<std::int64_t>(hit);
        return 0;
      }
    }
    if (pos <= floor) break;
    // The next window ends ECD_SIZE - 1 bytes into this one: a record that
    // starts just before this window is then read whole.
    std::int64_t end = pos + static_cast<std::int64_t>(ECD_SIZE - 1);
    pos = end - floor > cap ? end - cap : floor;
    len = static_cast<std::uint32_t>(end - pos);
  }
  std::free(buf);
  return -1;
}

}  // namespace

CdhFit cdh_fit(std::uint32_t cd_size, std::uint32_t pos, const unsigned char* hdr,
               std::uint64_t* next) {
  if (pos >= cd_size) return CdhFit::End;
  if (cd_size - pos < CDH_SIZE) return CdhFit::Bad;
  std::uint64_t name_end = std::uint64_t{pos} + CDH_SIZE + le_u16(hdr + CDH_NAME_LEN);
  if (name_end > cd_size) return CdhFit::Bad;
  *next = name_end + le_u16(hdr + CDH_EXTRA_LEN) + le_u16(hdr + CDH_COMMENT_LEN);
  return CdhFit::Ok;
}

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
int zip_open_flags() {
  return O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
}

ZipDir* openzip(const char* path, Diag* diag, ZipCache* cache) {
  return openzip_named(path, path, ZipOpen{diag, cache, nullptr, nullptr});
}

ZipDir* openzip_named(const char* path, const char* name, const ZipOpen& how) {
  int fd = open(path, zip_open_flags());
  struct stat st;
  bool known = fd >= 0 && fstat(fd, &st) == 0;
  return openzip_at(fd, known ? &st : nullptr, name, how);
}

ZipDir* openzip_at(int fd, const struct stat* st, const char* path, const ZipOpen& how) {
  Diag* diag = how.diag;
  auto* zd = static_cast<ZipDir*>(std::calloc(1, sizeof(ZipDir)));
  if (zd == nullptr) {
    if (fd >= 0) close(fd);
    say(diag, "malloc failed allocating: %u bytes", static_cast<unsigned>(sizeof(ZipDir)));
    return nullptr;
  }
  zd->how = how;
  OpenGuard guard{zd};
  if (!take_regular(zd, fd, st)) {
    say(diag, "unable to open file: %s", path);
    return nullptr;
  }
  if (zd->file_size < 0) {
    say(diag, "unable to get file size: %s", path);
    return nullptr;
  }
  if (zd->file_size == 0) {
    say(diag, "error, file is empty: %s", path);
    return nullptr;
  }
  if (load_ecd(zd) != 0) {
    say(diag, "error reading ECD (End of Central Directory): %s", path);
    return nullptr;
  }
  decode_ecd(zd->window + (zd->ecd_pos - zd->window_pos), &zd->ecd);
  const ECD& ecd = zd->ecd;
  zd->end = DirEnd{ecd.disk_number,   ecd.cd_disk, ecd.disk_entries,
                   ecd.total_entries, ecd.cd_size, ecd.cd_offset};
  zd->end64_pos = -1;
  End64 end64 = read_zip64_end(zd);
  // A directory encrypted by PKWARE's strong encryption starts with an
  // archive extra data record, and the end records' counts may be masked:
  // no count can be trusted, and none of it can be read.
  if (encrypted_directory(zd)) {
    say(diag, "error, central directory is encrypted: %s", path);
    return nullptr;
  }
  if (end64 == End64::Disagrees) {
    say(diag, "error, ZIP64 and classic end records disagree: %s", path);
    return nullptr;
  }
  const DirEnd& end = zd->end;
  // An end record alone, counting nothing and pointing at no directory, is
  // how zip, Python and 7-Zip write an archive with no entries: read it as
  // one. A zero count beside a directory still disagrees with it.
  bool empty = end.disk_number == end.cd_disk && end.disk_entries == 0 &&
               end.total_entries == 0 && end.cd_size == 0;
  if (!empty && (end.disk_number != end.cd_disk || end.disk_entries != end.total_entries ||
                 end.total_entries == 0)) {
    say(diag, "error, spanned disks are not supported: %s", path);
    return nullptr;
  }
  if (empty) {
    zd->cd_size = 0;
    zd->cd_buf = zd->window + (zd->ecd_pos - zd->window_pos);  // nothing is read from it
  } else if (!load_cd(zd, path)) {
    return nullptr;
  }

  std::size_t len = std::strlen(path) + 1;
  zd->path = static_cast<char*>(std::malloc(len));
  if (zd->path == nullptr) {
    say(diag, "malloc failed allocating: %u bytes", static_cast<unsigned>(len));
    return nullptr;
  }
  std::memcpy(zd->path, path, len);
  close(std::exchange(zd->fd, -1));  // nothing more is read
  zd->how.diag = nullptr;            // the caller's for this call only
  return guard.release();
}

ZipRead readzip(ZipDir* zd, const ZipEntry** entry, Diag* diag) {
  std::uint32_t pos = zd->cd_pos;
  if (pos >= zd->cd_size) return ZipRead::End;
  const unsigned char* hdr = zd->cd_buf + pos;
  // Whatever does not start with a header's signature is not a header: a
  // directory offset a few bytes off would otherwise decode into phantom
  // entries with CRC-32s taken from the middle of a real one.
  if (zd->cd_size - pos >= 4 && le_u32(hdr) != CDH_SIGNATURE) {
    say(diag, "error, invalid header signature in directory: %s", zd->path);
    return ZipRead::Bad;
  }
  std::uint64_t next;
  if (cdh_fit(zd->cd_size, pos, hdr, &next) != CdhFit::Ok) {
    say(diag, "error, invalid filename length in directory: %s", zd->path);
    return ZipRead::Bad;
  }
  ZipEntry& e = zd->entry;
  decode_cdh(hdr, &e);
  // Only the part of the extra field that lies in the directory is read.
  std::uint32_t extra_at = pos + static_cast<std::uint32_t>(CDH_SIZE) + e.name_len;
  std::uint32_t extra_len = std::min<std::uint32_t>(e.extra_len, zd->cd_size - extra_at);
  e.extra = zd->cd_buf + extra_at;
  e.extra_seen = static_cast<std::uint16_t>(extra_len);
  if (e.uncompressed_size == SATURATED_32 || e.compressed_size == SATURATED_32 ||
      e.local_header_offset == SATURATED_32) {
    Zip64Values wide{e.uncompressed_size64, e.compressed_size64, e.local_header_offset64};
    apply_zip64_extra(zd->cd_buf + extra_at, extra_len, &wide);
    e.uncompressed_size64 = wide.uncompressed_size;
    e.compressed_size64 = wide.compressed_size;
    e.local_header_offset64 = wide.local_header_offset;
  }
  if (!copy_name(zd, hdr + CDH_SIZE, zd->entry.name_len)) {
    say(diag, "malloc failed allocating: %u bytes", zd->entry.name_len + 1u);
    return ZipRead::Bad;
  }
  // Past the last entry the walk ends; saturating keeps the cursor from
  // wrapping back into the directory.
  zd->cd_pos = next > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(next);
  *entry = &zd->entry;
  return ZipRead::Entry;
}

std::uint32_t zip_entry_pos(const ZipDir* zd) {
  return zd->cd_pos;
}

std::uint64_t zip_total_entries(const ZipDir* zd) {
  return zd->end.total_entries;
}

std::int64_t zip_data_shift(const ZipDir* zd) {
  return zd->base + zd->shift;
}

std::int64_t zip_end_offset(const ZipDir* zd) {
  return zd->base + zd->ecd_pos;
}

ZipLayout zip_layout(const ZipDir* zd) {
  return ZipLayout{zd->file_size, zd->ecd_pos, zd->ecd,   zd->end64_pos,
                   zd->end,       zd->shift,   zd->cd_buf};
}

namespace {

constexpr std::uint32_t IMAGE_MAGIC = 0x31494452;  // "RDI1": a layout change needs a new one

// magic, file size, end record position, the end record's fixed part as
// the file holds it, ZIP64 end record position, the values in force, shift,
// directory size; then the directory.
constexpr std::size_t IMAGE_HEAD = 4 + 8 + 8 + ECD_SIZE + 8 + (4 + 4 + 8 + 8 + 8 + 8) + 8 + 4;

struct ImageOut {
  unsigned char* p;
  void put(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      *p++ = static_cast<unsigned char>(v >> (8 * i));
  }
};

struct ImageIn {
  const unsigned char* p;
  std::uint64_t get(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
      v |= std::uint64_t{*p++} << (8 * i);
    return v;
  }
  std::int64_t get_i64() {
    std::uint64_t v = get(8);
    std::int64_t s;
    std::memcpy(&s, &v, sizeof s);
    return s;
  }
};

void put_ecd(ImageOut* out, const ECD& e) {
  out->put(e.signature, 4);
  out->put(e.disk_number, 2);
  out->put(e.cd_disk, 2);
  out->put(e.disk_entries, 2);
  out->put(e.total_entries, 2);
  out->put(e.cd_size, 4);
  out->put(e.cd_offset, 4);
  out->put(e.comment_len, 2);
}

// The directory of an image, in a buffer of the ZipDir's own: a small one
// where the tail read would have held it, a big one as load_cd takes it.
bool take_image_cd(ZipDir* zd, const unsigned char* cd) {
  if (zd->cd_size > ZIP_WINDOW) {
    if (zd->how.admit != nullptr && !zd->how.admit(zd->cd_size, zd->how.ctx)) return false;
    zd->cd_copy = take_buffer(zd->how.cache, zd->cd_size, &zd->cd_copy_cap);
    if (zd->cd_copy == nullptr) return false;
    std::memcpy(zd->cd_copy, cd, zd->cd_size);
    zd->cd_buf = zd->cd_copy;
    return true;
  }
  zd->window = static_cast<unsigned char*>(std::malloc(std::max<std::uint32_t>(zd->cd_size, 1)));
  if (zd->window == nullptr) return false;
  std::memcpy(zd->window, cd, zd->cd_size);
  zd->cd_buf = zd->window;
  return true;
}

}  // namespace

std::size_t zip_image_size(const ZipDir* zd) {
  return zip_image_size_max(zd->cd_size);
}

std::size_t zip_image_size_max(std::uint32_t cd_size) {
  return IMAGE_HEAD + cd_size;
}

bool zip_image(const ZipDir* zd, unsigned char* out) {
  if (zd->base != 0 || zd->how.span.len >= 0) return false;
  ImageOut o{out};
  o.put(IMAGE_MAGIC, 4);
  o.put(static_cast<std::uint64_t>(zd->file_size), 8);
  o.put(static_cast<std::uint64_t>(zd->ecd_pos), 8);
  put_ecd(&o, zd->ecd);
  o.put(static_cast<std::uint64_t>(zd->end64_pos), 8);
  o.put(zd->end.disk_number, 4);
  o.put(zd->end.cd_disk, 4);
  o.put(zd->end.disk_entries, 8);
  o.put(zd->end.total_entries, 8);
  o.put(zd->end.cd_size, 8);
  o.put(zd->end.cd_offset, 8);
  o.put(static_cast<std::uint64_t>(zd->shift), 8);
  o.put(zd->cd_size, 4);
  if (zd->cd_size > 0) std::memcpy(o.p, zd->cd_buf, zd->cd_size);
  return true;
}

ZipDir* openzip_image(const unsigned char* image, std::size_t len, const char* path,
                      const ZipOpen& how) {
  if (len < IMAGE_HEAD || le_u32(image) != IMAGE_MAGIC || how.span.len >= 0) return nullptr;
  auto* zd = static_cast<ZipDir*>(std::calloc(1, sizeof(ZipDir)));
  if (zd == nullptr) return nullptr;
  zd->how = how;
  zd->fd = -1;
  OpenGuard guard{zd};
  ImageIn in{image + 4};
  zd->file_size = in.get_i64();
  zd->ecd_pos = in.get_i64();
  decode_ecd(in.p, &zd->ecd);
  in.p += ECD_SIZE;
  zd->end64_pos = in.get_i64();
  zd->end.disk_number = static_cast<std::uint32_t>(in.get(4));
  zd->end.cd_disk = static_cast<std::uint32_t>(in.get(4));
  zd->end.disk_entries = in.get(8);
  zd->end.total_entries = in.get(8);
  zd->end.cd_size = in.get(8);
  zd->end.cd_offset = in.get(8);
  zd->shift = in.get_i64();
  zd->cd_size = static_cast<std::uint32_t>(in.get(4));
  // The directory is the rest, and what the end records say it is (none
  // for an archive with no entries).
  if (len - IMAGE_HEAD != zd->cd_size || (zd->cd_size != 0 && zd->end.cd_size != zd->cd_size))
    return nullptr;
  std::size_t path_len = std::strlen(path) + 1;
  zd->path = static_cast<char*>(std::malloc(path_len));
  if (zd->path == nullptr || !take_image_cd(zd, in.p)) return nullptr;
  std::memcpy(zd->path, path, path_len);
  zd->how.diag = nullptr;
  return guard.release();
}

void closezip(ZipDir* zd) {
  std::free(zd->entry.name);
  if (zd->cd_copy != nullptr) give_buffer(zd->how.cache, zd->cd_copy, zd->cd_copy_cap);
  std::free(zd->window);
  if (zd->fd >= 0) close(zd->fd);
  std::free(zd->path);
  std::free(zd);
}

void zip_cache_release(ZipCache* cache) {
  std::lock_guard<std::mutex> hold(cache->lock);
  std::free(cache->buf);
  cache->buf = nullptr;
  cache->cap = 0;
}

}  // namespace zorv
