// Reads a ZIP archive's central directory, entry by entry.
//
// Only the End of Central Directory record (ECD), the ZIP64 records that
// extend it, and the central directory are read: no local headers, no file
// data, nothing is decompressed. Archives with data in front of them (self-
// extractors) are read where their directory really is. No multi-disk
// archives are accepted, nor ones whose ZIP64 end record contradicts a
// classic value that was not saturated. Every failure is said, one "zorv: " line, to the
// Diag the caller hands in (null: silently) and returned as a null result
// or a stop; nothing here writes to standard error itself or ends the
// process.
//
// Two limits the rest of the program leans on:
// - An entry's identity within its archive is its 32-bit position in the
//   directory (zip_entry_pos): the offset just past its header, name, extra
//   field and comment. The same on every walk of an unchanged file, and what
//   the report uses to find a name again. Directories of 4 GiB or more are
//   therefore refused ("central directory of 4 GiB or more"); they cannot
//   occur in a sane archive.
// - The directory is held whole, in one buffer of its recorded size, which is
//   checked against the file size before anything is allocated: a small file
//   can never make the reader reserve more than the file holds.
#pragma once

#include <cstddef>
#include <sys/stat.h>

#include <cstdint>
#include <mutex>

#include "util/diag.h"
#include "zip/bytes.h"
#include "zip/zip64.h"

namespace zorv {

// The fixed part of the End of Central Directory record. The archive comment
// that follows it is never used and not kept.
struct ECD {
  std::uint32_t signature;
  std::uint16_t disk_number;  // must equal cd_disk
  std::uint16_t cd_disk;
  std::uint16_t disk_entries;   // must equal total_entries
  std::uint16_t total_entries;  // 0 only in an archive with no directory
  std::uint32_t cd_size;        // bytes of central directory; bounds the walk
  std::uint32_t cd_offset;      // file offset of the central directory
  std::uint16_t comment_len;
};

// One central file header, decoded; name is the entry's stored name with a
// NUL added (names may hold NULs of their own).
struct ZipEntry {
  std::uint32_t signature;  // always "PK\1\2": the walk ends at any other
  std::uint8_t made_by_version;
  std::uint8_t made_by_system;
  std::uint8_t needed_version;
  std::uint8_t needed_system;
  std::uint16_t flags;
  std::uint16_t method;
  std::uint16_t mod_time;
  std::uint16_t mod_date;
  std::uint32_t crc32;
  std::uint32_t compressed_size;
  std::uint32_t uncompressed_size;
  std::uint16_t name_len;
  std::uint16_t extra_len;
  std::uint16_t comment_len;
  std::uint16_t disk_start;
  std::uint16_t internal_attr;
  std::uint32_t external_attr;
  std::uint32_t local_header_offset;
  // The same three, from the ZIP64 extra field where the 32-bit field reads
  // 0xFFFFFFFF and the extra field has a value for it; else the 32-bit value.
  // The offset is as recorded: add zip_data_shift for a file offset.
  std::uint64_t uncompressed_size64;
  std::uint64_t compressed_size64;
  std::uint64_t local_header_offset64;
  char* name;  // owned by the ZipDir; replaced by every readzip
  // The extra field where it lies in the directory (a field running past
  // the directory's end is cut there): valid until closezip.
  const unsigned char* extra;
  std::uint16_t extra_seen;
};

// One opened archive, created by openzip and released by closezip. Its
// inside is the reader's own: callers use the functions below.
struct ZipDir;

// A directory buffer handed from one archive to the next. Big archives are
// read twice (index, then report) and collections hold copies of them: fresh
// memory costs a fault and zeroing per page on first touch, more than the
// read into it. Owned by the caller, value-initialised to start; openzip
// borrows it and closezip gives the buffer back, from any thread.
struct ZipCache {
  unsigned char* buf = nullptr;  // null, or cap bytes
  std::size_t cap = 0;
  std::mutex lock;  // archives opened on one thread may be closed on another
};

// The bytes of a file an archive lies in: `len` bytes from `base` (an
// archive stored inside another), or the whole file (len -1). Every offset
// the reader finds then counts from `base`, and nothing outside is read.
struct ZipSpan {
  std::int64_t base = 0;
  std::int64_t len = -1;
};

// Where openzip_at says why it failed (`diag`, may be null), and how it
// gets the memory for a directory the tail read did not hold: `admit` (may
// be null) is told its size first and may wait until that much is free to
// hold, or refuse it: openzip_at then gives up without a word (the caller
// knows why); `cache` (may be null) lends the buffer.
// `ecd_reach` (0: ECD_SEARCH_MAX) bounds how far from the end of the file
// the end record is looked for. `span`: the archive's bytes in the file
// (the path is then only the name its messages give).
struct ZipOpen {
  Diag* diag;
  ZipCache* cache;
  bool (*admit)(std::size_t bytes, void* ctx);
  void* ctx;
  std::int64_t ecd_reach = 0;
  ZipSpan span = {};
};

constexpr std::size_t ECD_SIZE = 22;  // fixed part of the end record
constexpr std::size_t CDH_SIZE = 46;  // fixed part of a central header
constexpr std::uint32_t CDH_SIGNATURE = 0x02014b50;  // "PK\1\2"

// The ECD search reads the file from its end in windows of this size, each
// overlapping the previous one by ECD_SIZE - 1 bytes. An archive whose
// central directory and ECD lie in its last window is read with one read.
constexpr std::uint32_t ZIP_WINDOW = 64 * 1024;

// The ECD is looked for only this far from the end of the file: every valid
// archive has it within 65,557 bytes (its comment is at most 65,535), and
// the margin keeps archives with trailing junk readable, while a big file
// that is no archive is refused without being read whole.
constexpr std::int64_t ECD_SEARCH_MAX = (std::int64_t{16} << 20) + ECD_SIZE;

// The reach for a file that is an archive only if its bytes say so: where
// a valid end record with the longest comment stands, no farther. Past it,
// any file with "PK\5\6" somewhere in its last 16 MiB would count.
constexpr std::int64_t ECD_SEARCH_STRICT = 65535 + ECD_SIZE;

// Opens the archive at `path`: finds its ECD and loads its central directory.
// Positioned before the first entry. Null after a failure, said to `diag`. Anything
// but a regular file is refused without blocking (a FIFO included). `cache`
// (may be null) lends a buffer for a directory too big for the tail read.
// The file is closed again once the directory is read: an open archive
// holds no descriptor.
ZipDir* openzip(const char* path, Diag* diag, ZipCache* cache = nullptr);

// As openzip, with the reader's choices `how` (its span: an archive stored
// in the file at `path`), its messages naming the archive `name`.
ZipDir* openzip_named(const char* path, const char* name, const ZipOpen& how);

// The flags openzip opens with: for reading, and never blocking on a FIFO.
int zip_open_flags();

// As openzip, for a caller that opened `path` itself: `fd` (taken over,
// closed by the time this returns) with `st` its status, or fd -1 or st null
// when opening or the status failed (reported here as openzip would).
ZipDir* openzip_at(int fd, const struct stat* st, const char* path, const ZipOpen& how);

// Why a walk stopped, or that it has not.
enum class ZipRead {
  Entry,  // *entry is the next entry
  End,    // the directory is read to its end (not reported)
  Bad,    // a damaged header (no signature, or cut short), or no memory
          // for a name: said to the Diag
          // readzip was handed; the rest of the directory is unknown
};

// Moves to the next entry. After Entry, *entry is valid until the next call
// and zip_entry_pos names it. After End or Bad the walk stays where it was
// and every further call says the same.
ZipRead readzip(ZipDir* zd, const ZipEntry** entry, Diag* diag);

// The identity of the entry readzip returned last (0 before the first): the
// offset just past its header, name, extra field and comment, saturated at
// UINT32_MAX.
std::uint32_t zip_entry_pos(const ZipDir* zd);

// The number of entries the end record claims (the ZIP64 record's, where
// one was read and the classic count is saturated).
std::uint64_t zip_total_entries(const ZipDir* zd);

// How many bytes of the file stand in front of the archive (a self-
// extractor's stub, the outer archive's bytes before an inner one): recorded
// offsets count from its start, file offsets from the file's.
std::int64_t zip_data_shift(const ZipDir* zd);

// The file offset of the end record: two archives with the same one are
// the same archive.
std::int64_t zip_end_offset(const ZipDir* zd);

// Releases everything the ZipDir owns, then the record. Never null. A
// directory buffer borrowed from a cache goes back to it.
void closezip(ZipDir* zd);

// Gives back the buffer a cache holds; the cache is empty again.
void zip_cache_release(ZipCache* cache);

// --- directory images ---
//
// An image is what an open found, in bytes: the end records as decoded, the
// shift and the directory itself. A ZipDir made from one walks exactly as
// the open it was taken from, without a read of the file, so a store that
// keeps images (the content cache) can spare a run the opens of archives
// it knows unchanged. Only archives that are a whole file have one.

// The bytes zip_image writes for `zd`.
std::size_t zip_image_size(const ZipDir* zd);

// The bytes of the image of an archive whose directory takes `cd_size`.
std::size_t zip_image_size_max(std::uint32_t cd_size);

// Writes `zd`'s image, zip_image_size(zd) bytes, to `out`. False (nothing
// written) for an archive stored in another file's bytes.
bool zip_image(const ZipDir* zd, unsigned char* out);

// A ZipDir as the open that `image` was taken from left it, its messages
// naming `path`; `how`'s admit and cache as for openzip_at, its span the
// whole file. Null, without a word, when the image is not one or no memory
// is left (the caller then opens the file), or when `how.admit` refused.
ZipDir* openzip_image(const unsigned char* image, std::size_t len, const char* path,
                      const ZipOpen& how);

// --- internals, exposed for tests ---

// Where openzip found things (offsets within the span read): its size, the end record's position and
// fields as decoded, the ZIP64 end record's position (-1: none read), the
// values in force (the classic ones, with the ZIP64 record's for those
// saturated), the shift, and the directory bytes it walks (end.cd_size of
// them, read at end.cd_offset + shift).
struct ZipLayout {
  std::int64_t file_size;
  std::int64_t ecd_pos;
  ECD ecd;
  std::int64_t end64_pos;
  DirEnd end;
  std::int64_t shift;
  const unsigned char* cd;
};
ZipLayout zip_layout(const ZipDir* zd);

// 1 with *pos set to the last ECD signature in buf that has at least
// ECD_SIZE bytes from its start to the end of buf; else 0.
int find_ecd(const unsigned char* buf, std::size_t len, std::size_t* pos);

enum class CdhFit { End, Bad, Ok };

// Whether a central header at `pos` of a directory of `cd_size` bytes is
// whole: End when pos is at or past the end, Bad when the fixed part or the
// name runs past it, else Ok with *next = the offset just past its name,
// extra field and comment (which may lie past cd_size). `hdr` points at the
// header and is read only after the End test. Sums are 64-bit: they never wrap.
CdhFit cdh_fit(std::uint32_t cd_size, std::uint32_t pos, const unsigned char* hdr,
               std::uint64_t* next);

}  // namespace zorv
