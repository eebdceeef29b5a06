// Where an archive stored inside another keeps its bytes.
//
// A member is an archive in place only when it is stored whole: not
// compressed, not encrypted (a compressed one must be decoded first). Its bytes then lie in the outer archive's
// file, right after its local header, and the reader opens them as a span
// of that file (ZipSpan): nothing is decompressed and only the local
// header and the inner archive's own end records and directory are read.
// The span must lie wholly inside the outer archive's own bytes, so an
// inner archive can never reach past its member into the file around it.
#pragma once

#include <cstdint>

#include "zip/verify.h"
#include "zip/zipdir.h"

namespace zorv {

enum class InnerWhere {
  Stored,      // *data is its span
  Compressed,  // its bytes are coded: only a decoder reads it; *data holds them
  Encrypted,
  PastEnd,     // its local header or data run past the outer archive's bytes
  NoHeader,    // no local header where the directory says
};

// Reads the local header of the member `m` (as the outer directory gives
// it, with `local_offset` a file offset: the outer archive's shift added)
// from `fd`, whose archive is the `outer` span of it (len: its bytes, never
// -1). Nothing is said.
InnerWhere locate_inner(int fd, ZipSpan outer, const VerifyItem& m, ZipSpan* data);

constexpr std::size_t LFH_SIZE = 30;                 // fixed part of a local header
constexpr std::uint32_t LFH_SIGNATURE = 0x04034b50;  // "PK\3\4"

}  // namespace zorv
