// ZIP64: the records that carry an archive's 64-bit counts, sizes and
// offsets when the classic 16- and 32-bit fields cannot hold them.
//
// Decoding only: the ZIP64 end of central directory record and its locator
// (which stands right before the classic end record), and the extended-
// information extra field of a central header, each with the rule that
// says which classic values its 64-bit ones replace. Finding these records
// in a file, and what to do with an archive they contradict, is the
// reader's (zipdir.cc).
// Every decoder reads only the bytes it is given the length of.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

constexpr std::size_t ZIP64_LOCATOR_SIZE = 20;
constexpr std::size_t ZIP64_END_SIZE = 56;  // fixed part; an extensible data sector may follow
constexpr std::uint16_t SATURATED_16 = 0xffffu;
constexpr std::uint32_t SATURATED_32 = 0xffffffffu;

// The values of an end record that locate and bound the central directory,
// 64-bit wide whichever record they came from.
struct DirEnd {
  std::uint32_t disk_number;
  std::uint32_t cd_disk;
  std::uint64_t disk_entries;
  std::uint64_t total_entries;
  std::uint64_t cd_size;
  std::uint64_t cd_offset;
};

// True when `p` (ZIP64_LOCATOR_SIZE bytes) is a locator ("PK\6\7"); then
// *record_offset is the file offset it gives for the ZIP64 end record.
bool decode_zip64_locator(const unsigned char* p, std::uint64_t* record_offset);

// True when `p` (ZIP64_END_SIZE bytes) is a ZIP64 end record ("PK\6\6");
// then its values go to *end. The record's own size field is not trusted
// (writers get it wrong, and an extensible data sector may follow).
bool decode_zip64_end(const unsigned char* p, DirEnd* end);

// The values in force when a ZIP64 end record (`wide`) was read with the
// classic end record (`classic`, its 16- and 32-bit fields widened): the
// record's value for each classic field that reads 0xFFFF or 0xFFFFFFFF,
// which a writer saturates when the value does not fit, and the classic
// value for every other. False, with *out untouched, when a classic value
// that is not saturated differs from the record's: the two then describe
// different directories, and neither can be trusted.
bool merge_zip64_end(const DirEnd& classic, const DirEnd& wide, DirEnd* out);

// An entry's three fields that ZIP64 may widen, each holding its 32-bit
// value to begin with.
struct Zip64Values {
  std::uint64_t uncompressed_size;
  std::uint64_t compressed_size;
  std::uint64_t local_header_offset;
};

// For each of v's uncompressed size, compressed size and local header
// offset that reads 0xFFFFFFFF, in that order, takes the next 64-bit value
// of the ZIP64 extended-information field (header ID 0x0001) among the
// `len` bytes of extra data at `extra`. A field with no value there keeps
// its 32-bit value; so do all of them when the extra data is malformed
// (a block running past its end).
void apply_zip64_extra(const unsigned char* extra, std::size_t len, Zip64Values* v);

}  // namespace zorv
