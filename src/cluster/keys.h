// The keys of a shard (--keys): what a cluster's hosts exchange instead of
// an index. Every directory entry with a non-zero CRC-32 becomes one
// 20-byte record (CRC-32, uncompressed size, archive number, directory
// position), written into one of P part files chosen by a hash of
// (CRC-32, size), so that an engine gathering part K from every host holds
// every copy of each key it sees, without parsing the rest. The archives
// are numbered as indexed and listed, with their entry counts, in a file
// of their own. Nothing is kept in memory per entry: a host's memory is
// its write buffers, whatever the shard holds.
#pragma once

#include <cstdint>
#include <string>

#include "util/diag.h"
#include "zip/zipdir.h"

namespace zorv {

constexpr unsigned KEY_PARTS_MAX = 256;

// The part of key (crc32, size) among `parts`: equal keys, one part, on
// every host.
inline unsigned key_part(std::uint32_t crc32, std::uint64_t size, unsigned parts) {
  std::uint32_t mixed = crc32 ^ static_cast<std::uint32_t>(size * 0x9E3779B1u);
  return static_cast<unsigned>((std::uint64_t{mixed} * parts) >> 32);
}

struct KeyOut;

// Creates (or replaces) DIR/keys.0 .. keys.P-1 and DIR/archives. Null, with
// *why and the file in *file, when one cannot be made.
KeyOut* keys_start(const std::string& dir, unsigned parts, std::string* why, std::string* file);

// Walks the archive's directory (saying what the reader says to `diag`),
// writes its keys and lists it; closes `zd`.
void keys_archive(KeyOut* out, const char* path, ZipDir* zd, Diag* diag);

// Writes what is buffered, completes the archive list and closes every
// file; releases `out`. False, with *why and *file, when a write failed
// (then or earlier): the files are not to be used.
bool keys_finish(KeyOut* out, std::string* why, std::string* file);

}  // namespace zorv
