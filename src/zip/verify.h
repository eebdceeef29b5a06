// Content verification: reads the data of archive members and says what
// each one holds.
//
// For every member it finds the local header at the recorded offset (plus
// the bytes in front of the archive), skips the local header's own name and
// extra field, reads the compressed data and decompresses it (stored,
// deflate, bzip2, LZMA, zstd, xz), checking on the way that it yields
// exactly the size and CRC-32 the central directory records; the outcome is
// a SHA-256 digest of the content, or why there is none. Memory stays
// bounded whatever the member sizes: small members are decoded whole, big
// ones streamed, and a member that inflates past its recorded size is
// stopped one byte after it. The archives of a batch are checked side by
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

enum class Verdict : std::uint8_t {
  Ok,           // digest holds the content's SHA-256
  Encrypted,    // flag bit 0: nothing to read without a password
  Unsupported,  // a compression method this build cannot decode
  Damaged,      // no local header, data past the end of the file, a decoder
                // error, or a size or CRC-32 other than the directory's
};

struct VerifyOutcome {
  Verdict verdict;
  unsigned char digest[32];
};

// The members of one archive, in any order (they are read in offset order).
// A raw job decodes nothing: Ok's digest is that of the compressed bytes,
// so members whose compressed bytes are equal need decoding only once.
struct VerifyJob {
  const char* path;
  std::int64_t shift;  // bytes in front of the archive
  const VerifyItem* items;
  VerifyOutcome* outcomes;  // one per item
  std::size_t count;
  bool raw;
};

// Checks every job's members on up to `threads` threads (at least one, at
// most 17); the outcomes are the same whatever the number of threads. An
// archive that cannot be opened gives every member Damaged. False when
// memory ran short: then not every outcome is set.
// `tick` (when not null) is called on the calling thread, now and then,
// with `ctx` and the bytes of the members checked so far (their sizes).
// `whole_max` (tests) sets the largest deflated member decoded whole; 0:
// each thread's share of the budget.
using VerifyTick = void (*)(void* ctx, std::uint64_t done);
bool verify_jobs(VerifyJob* jobs, std::size_t count, unsigned threads, VerifyTick tick = nullptr,
                 void* ctx = nullptr, std::uint64_t whole_max = 0);

// The threads a run uses: one per core.
unsigned verify_threads();

}  // namespace zorv
