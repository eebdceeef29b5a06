// Reads a ZIP archive's central directory, entry by entry.
//
// Only the End of Central Directory record (ECD) and the central directory
// are read: no local headers, no file data, nothing is decompressed. No ZIP64
// records are looked for and no multi-disk archives are accepted. Every
// failure is reported through error_msg ("zorv: " prefix) and returned as a
// null result; nothing here ends the process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

// The fixed part of the End of Central Directory record. The archive comment
// that follows it is never used and not kept.
struct ECD {
  std::uint32_t signature;
  std::uint16_t disk_number;  // must equal cd_disk
  std::uint16_t cd_disk;
  std::uint16_t disk_entries;   // must equal total_entries
  std::uint16_t total_entries;  // must not be 0
  std::uint32_t cd_size;        // bytes of central directory; bounds the walk
  std::uint32_t cd_offset;      // file offset of the central directory
  std::uint16_t comment_len;
};

// One central file header, decoded; name is the entry's stored name with a
// NUL added (names may hold NULs of their own).
struct ZipEntry {
  std::uint32_t signature;  // never verified
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
  char* name;  // owned by the ZipDir; replaced by every readzip
};

// One opened archive, created by openzip and released by closezip.
struct ZipDir {
  char* path;              // copy of the path given to openzip
  int fd;                  // open for reading until closezip
  std::int64_t file_size;  // 64-bit: archives up to the format's 4 GiB limit and beyond
  std::int64_t ecd_pos;    // file offset of the ECD signature
  unsigned char* window;   // the file bytes of the read that found the ECD, or null
  std::int64_t window_pos;
  std::uint32_t window_len;
  unsigned char* cd_copy;       // the directory, when it lay outside the window
  std::size_t cd_copy_cap;      // bytes allocated for cd_copy
  const unsigned char* cd_buf;  // ecd.cd_size bytes: inside window, or cd_copy
  std::uint32_t cd_pos;         // offset in cd_buf of the next header; see readzip
  std::uint32_t name_cap;       // bytes allocated for entry.name
  ZipEntry entry;
  ECD ecd;
};

constexpr std::size_t ECD_SIZE = 22;  // fixed part of the end record
constexpr std::size_t CDH_SIZE = 46;  // fixed part of a central header

// The ECD search reads the file from its end in windows of this size, each
// overlapping the previous one by ECD_SIZE - 1 bytes. An archive whose
// central directory and ECD lie in its last window is read with one read.
constexpr std::uint32_t ZIP_WINDOW = 64 * 1024;

// Opens the archive at `path`: finds its ECD and loads its central directory.
// Positioned before the first entry (cd_pos 0). Null after a reported failure.
// Anything but a regular file is refused without blocking (a FIFO included).
ZipDir* openzip(const char* path);

// The next entry, or null at the end of the directory (not reported) or after
// a reported bad entry (then cd_pos stays put). After a non-null result,
// zd->cd_pos is the offset just past that entry's header, name, extra field
// and comment (saturated at UINT32_MAX): it names the entry within its archive
// and is the same on every walk of an unchanged file.
ZipEntry* readzip(ZipDir* zd);

// Releases everything the ZipDir owns, then the record. Never null. The
// buffer of a big directory is kept for the next openzip to reuse.
void closezip(ZipDir* zd);

// Gives back the directory buffer kept for reuse (at the end of a run).
void zip_release_spare();

// --- internals, exposed for tests ---

// Byte by byte, so alignment and host byte order never matter;
// g++ -O2 still emits a single load.
inline std::uint16_t le_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le_u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// 1 with *pos set to the last ECD signature in buf that has at least
// ECD_SIZE bytes from its start to the end of buf; else 0.
int find_ecd(const unsigned char* buf, std::size_t len, std::size_t* pos);

// Finds the ECD nearest the end of the file (fd and file_size set): 0 with
// window, window_pos, window_len and ecd_pos set, or -1 with nothing held.
int load_ecd(ZipDir* zd);

enum class CdhFit { End, Bad, Ok };

// Whether a central header at `pos` of a directory of `cd_size` bytes is
// whole: End when pos is at or past the end, Bad when the fixed part or the
// name runs past it, else Ok with *next = the offset just past its name,
// extra field and comment (which may lie past cd_size). `hdr` points at the
// header and is read only after the End test. Sums are 64-bit: they never wrap.
CdhFit cdh_fit(std::uint32_t cd_size, std::uint32_t pos, const unsigned char* hdr,
               std::uint64_t* next);

}  // namespace zorv
