// Content verification: reads the data of archive members and says what
// each one holds.
//
// For every member it finds the local header at the recorded offset (plus
// the bytes in front of the archive), skips the local header's own name and
// extra field, reads the compressed data and decompresses it (stored,
// deflate, bzip2, LZMA, zstd, xz), checking on the way that it yields
// exactly the size and CRC-32 the central directory records; the outcome is
// a SHA-256 digest of the content, or why there is none. Memory stays
// bounded whatever the member sizes and whatever their own headers ask
// for: small members are decoded whole, big ones streamed, a decoder's
// window never exceeds DECODE_WINDOW (a member that needs more is not
// decoded), and a member that inflates past its recorded size is stopped
// one byte after it. A local header that contradicts the central one (in
// method, sizes or name) leaves its member unchecked: other readers go by
// the local header and would extract something else. The archives of a batch are checked side by
// side on a few threads; each archive is opened once and read in offset
// order, by one thread. Nothing here writes a message: outcomes are values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

// One member to check, from its central header.
struct VerifyItem {
  std::uint64_t local_offset;  // as recorded: the archive's shift is added
  std::uint64_t compressed_size;
  std::uint64_t size;
  std::uint32_t crc32;
  std::uint16_t method;
  std::uint16_t flags;
};

// A member's name as the central directory stores it, to compare with the
// local header's.
struct VerifyName {
  const char* bytes;
  std::uint16_t len;
};

// The most a decoder's window (LZMA dictionary, zstd window, xz memory) may
// take, per thread, beside the member data buffers: enough for xz -9, 7-Zip's
// ultra LZMA and zstd -19, refusing what an attacker's header could claim.
constexpr std::uint64_t DECODE_WINDOW = std::uint64_t{64} << 20;

enum class Verdict : std::uint8_t {
  Ok,           // digest holds the content's SHA-256
  Encrypted,    // flag bit 0: nothing to read without a password
  Unsupported,  // a compression method this build cannot decode
  Damaged,      // no local header, data past the end of the file, a decoder
                // error, or a size or CRC-32 other than the directory's
  Unreadable,   // the archive could not be opened or read: detail is errno
  NeedsMemory,  // decoding needs a window over DECODE_WINDOW: detail is MiB
  LocalDiffers, // the local header's method, sizes or name are not the central ones
  Overlaps,     // the caller's: its data overlaps another member's
};

struct VerifyOutcome {
  Verdict verdict;
  std::uint32_t detail;  // see Verdict
  unsigned char digest[32];
};

// The members of one archive, in any order (they are read in offset order).
// A raw job decodes nothing: Ok's digest is that of the compressed bytes,
// so members whose compressed bytes are equal need decoding only once.
// `end`: where the archive's bytes end in the file (an archive stored in
// another), -1: at the file's end; no member is read past it.
struct VerifyJob {
  const char* path;
  std::int64_t shift;  // bytes in front of the archive
  const VerifyItem* items;
  VerifyOutcome* outcomes;  // one per item
  const VerifyName* names;  // one per item, or null: names are not compared
  std::size_t count;
  bool raw;
  std::int64_t end = -1;
};

// Checks every job's members on up to `threads` threads (at least one, at
// most 17); the outcomes are the same whatever the number of threads. An
// archive that cannot be opened gives every member Unreadable. False when
// memory ran short: then not every outcome is set.
// `tick` (when not null) is called on the calling thread, with `ctx` and
// the bytes of the members checked so far (their sizes): every tenth of a
// second while other threads check (the caller then checks nothing), after
// each member when it checks alone, and once at the end.
// `whole_max` (tests) sets the largest member decoded whole; 0: WHOLE_MAX.
using VerifyTick = void (*)(void* ctx, std::uint64_t done);
bool verify_jobs(VerifyJob* jobs, std::size_t count, unsigned threads, VerifyTick tick = nullptr,
                 void* ctx = nullptr, std::uint64_t whole_max = 0);

// Members whose compressed and decoded sizes are both at most this are
// decoded whole (deflate, zstd): one buffer for each, so a thread holds at
// most 2 * WHOLE_MAX bytes of member data plus two 256 KiB stream buffers.
constexpr std::uint64_t WHOLE_MAX = std::uint64_t{16} << 20;

// Why a member with outcome `o` has no digest, as the warning that names
// it says; `buf` (64 bytes do) holds what needs formatting.
const char* verify_reason(const VerifyOutcome& o, const VerifyItem& item, char* buf,
                          std::size_t cap);

// The threads a run uses: one per core.
unsigned verify_threads();

// Decodes one member as a check reads it (its local header, method, sizes
// and CRC-32 must hold), from the archive in `fd` whose bytes end at `end`
// with `shift` bytes in front, and writes its content to `out` from offset
// `at`, on the calling thread. Ok, or why not (Unreadable: detail is errno,
// also of a failed write).
Verdict decode_member(int fd, std::int64_t end, std::int64_t shift, const VerifyItem& item,
                      const VerifyName* name, int out, std::int64_t at, std::uint32_t* detail);

}  // namespace zorv
