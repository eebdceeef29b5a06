// JSON string literals for names that are arbitrary bytes: archive paths are
// Unix bytes and a ZIP entry name may hold any byte, NUL included. Output is
// strict JSON (RFC 8259) in UTF-8. A name that is not valid UTF-8, or that
// holds a NUL, cannot be shown exactly: it is written with U+FFFD in place of
// what does not decode, and the caller adds the stored bytes in base64.
//
// The writers fill caller memory and never allocate: a report sink reserves
// the bound below in its output block, writes, and moves on. They cannot
// fail. A 65,535-byte ZIP name needs at most json_string_max(65535) = 393,212
// bytes, its base64 87,380.
#pragma once

#include <cstddef>

namespace zorv {

// Room json_string may use for `len` bytes: a control byte becomes six
// (\u001f), anything else at most three (one invalid byte, one U+FFFD);
// plus the two quotes. `len` up to SIZE_MAX / 6.
constexpr std::size_t json_string_max(std::size_t len) {
  return 6 * len + 2;
}

// Writes at `out` the JSON string literal, quotes included, for the `len`
// bytes at `s` and returns the end of what it wrote. Escapes `"`, `\` and
// U+0000..U+001F (\b \t \n \f \r where JSON has them, else \u00xx in
// lowercase hex); every other valid UTF-8 sequence, U+007F included, is
// copied as it is. Each maximal subpart of an ill-formed sequence (Unicode's
// recommended practice, as WHATWG and Python decode) becomes one U+FFFD: a
// truncated "\xE2\x82" is one, the surrogate "\xED\xA0\x80" three, since no
// valid sequence starts "\xED\xA0". `*exact` is set to true when the bytes are
// valid UTF-8 without NUL (the literal decodes back to them and is safe for
// tools that stop at a NUL), false when the caller should add base64.
char* json_string(char* out, const char* s, std::size_t len, bool* exact);

// True when the `len` bytes at `s` are valid UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF, nothing truncated) without a NUL:
// what json_string reports in `*exact`.
bool utf8_exact(const char* s, std::size_t len);

// Characters base64 writes for `len` bytes.
constexpr std::size_t base64_size(std::size_t len) {
  return (len + 2) / 3 * 4;
}

// Writes at `out` the `len` bytes at `s` in base64 (RFC 4648: standard
// alphabet, '=' padding, no quotes, no line breaks); returns the end.
char* base64(char* out, const char* s, std::size_t len);

}  // namespace zorv
