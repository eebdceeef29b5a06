// What an entry's name is, as text: the rule that turns the bytes a central
// header stores into the UTF-8 a JSON report shows. With general-purpose
// flag bit 11 set the stored bytes are UTF-8 already; otherwise an Info-ZIP
// Unicode Path extra block (0x7075: version 1, the CRC-32 of the stored
// name, then the name in UTF-8) gives the name when its CRC-32 still
// matches the stored bytes (a writer that renamed the entry without
// updating the block left a stale one); otherwise the bytes are code page
// 437, the encoding of DOS and of most old writers. This file owns that
// rule and the CP437 table, nothing else: finding entries and cutting names
// at a NUL stay with the reader and the report. Nothing here allocates or
// fails; every function reads only the lengths it is given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

constexpr std::uint16_t FLAG_UTF8_NAME = 0x0800;      // general-purpose bit 11
constexpr std::uint16_t EXTRA_UNICODE_PATH = 0x7075;  // Info-ZIP "up" block

// An entry's name bytes with what decides how to read them.
struct StoredName {
  const char* bytes;
  std::size_t len;
  std::uint16_t flags;         // the central header's general-purpose flags
  const unsigned char* extra;  // its extra field (may be null when extra_len is 0)
  std::size_t extra_len;
};

// True when the name shown may differ from the stored bytes: bit 11 is
// clear and the name has a byte of 0x80 or more or the extra field holds a
// Unicode Path block. The cheap test a report makes before decoding.
bool zip_name_may_differ(const StoredName& n);

// The UTF-8 name of a Unicode Path block that applies to `n` (first block
// with that id; version 1, CRC-32 of all the stored bytes, a non-empty name
// that is valid UTF-8), with its length in *len; null when none applies.
// Bit 11 is not looked at here. A block that runs past the extra field, or
// is too short for its version and CRC, does not apply.
const char* zip_unicode_path(const StoredName& n, std::size_t* len);

// Room zip_name_utf8 may use for `n`: three bytes a stored byte, or the
// extra field's length, whichever is more.
inline std::size_t zip_name_max(const StoredName& n) {
  return 3 * n.len > n.extra_len ? 3 * n.len : n.extra_len;
}

// Writes at `out` the name in UTF-8 by the rule above and returns the end.
// Under bit 11 the stored bytes are copied as they are, valid or not (the
// JSON writer replaces what does not decode). A NUL stays a NUL.
char* zip_name_utf8(char* out, const StoredName& n);

// Writes `len` CP437 bytes at `s` as UTF-8 at `out` (at most 3 * len
// bytes); returns the end. Bytes below 0x80 are ASCII.
char* cp437_to_utf8(char* out, const char* s, std::size_t len);

}  // namespace zorv
