#include "zip/verify.h"

#include <bzlib.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <lzma.h>
// The one-call SHA-256 interface: all this needs, and it links just the
// hash (with its assembly) from the static library, so a run that checks
// nothing loads nothing of OpenSSL. OpenSSL 3 calls it deprecated in favour
// of EVP, which would pull in the provider machinery.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <system_error>
#include <thread>

#include "zip/bytes.h"

namespace zorv {

namespace {

constexpr std::uint32_t LOCAL_SIG = 0x04034b50;  // "PK\3\4"
constexpr std::size_t LOCAL_SIZE = 30;           // fixed part of a local header
constexpr std::size_t LOCAL_NAME_LEN = 26;
constexpr std::size_t LOCAL_EXTRA_LEN = 28;

constexpr std::uint16_t STORED = 0;
constexpr std::uint16_t DEFLATE = 8;
constexpr std::uint16_t BZIP2 = 12;
constexpr std::uint16_t LZMA = 14;
constexpr std::uint16_t ZSTD = 93;
constexpr std::uint16_t XZ = 95;

// Streams move through buffers of this size. A deflated member is decoded
// in one call into one buffer, which libdeflate does two to three times as
// fast as a zlib stream, when both its sizes fit the thread's share of
// WHOLE_BUDGET (at least WHOLE_MIN, at most WHOLE_MAX); bigger ones stream.
// So all threads together hold at most 2 * WHOLE_BUDGET bytes of member data
// (more only when there are more than 8 of them), plus 2 * CHUNK each.
constexpr std::size_t CHUNK = std::size_t{256} << 10;
constexpr std::uint64_t WHOLE_BUDGET = std::uint64_t{128} << 20;
constexpr std::uint64_t WHOLE_MIN = std::uint64_t{16} << 20;
constexpr std::uint64_t WHOLE_MAX = std::uint64_t{64} << 20;
// An xz stream may ask for more memory to decode than this: it is damaged
// for our purpose (no sane archive member needs it).
constexpr std::uint64_t XZ_MEMLIMIT = std::uint64_t{256} << 20;

// Per-thread state, reused from member to member.
struct Scratch {
  std::uint64_t whole_max = WHOLE_MIN;  // this thread's share
  unsigned char* in = nullptr;
  unsigned char* out = nullptr;
  unsigned char* whole_in = nullptr;  // WHOLE_MAX each, taken when first needed
  unsigned char* whole_out = nullptr;
  libdeflate_decompressor* deflater = nullptr;
  SHA256_CTX sha{};

  bool init() {
    in = static_cast<unsigned char*>(std::malloc(CHUNK));
    out = static_cast<unsigned char*>(std::malloc(CHUNK));
    deflater = libdeflate_alloc_decompressor();
    return in != nullptr && out != nullptr && deflater != nullptr;
  }
  std::size_t* order_buf = nullptr;
  std::size_t order_cap = 0;

  // Room for n indices; null when memory is short.
  std::size_t* order(std::size_t n) {
    if (n > order_cap) {
      std::free(order_buf);
      order_buf = static_cast<std::size_t*>(std::malloc(n * sizeof(std::size_t)));
      order_cap = order_buf != nullptr ? n : 0;
    }
    return order_buf;
  }
  // Pages are touched only as far as members need them.
  bool whole() {
    if (whole_in == nullptr) whole_in = static_cast<unsigned char*>(std::malloc(whole_max));
    if (whole_out == nullptr) whole_out = static_cast<unsigned char*>(std::malloc(whole_max));
    return whole_in != nullptr && whole_out != nullptr;
  }
  ~Scratch() {
    std::free(in);
    std::free(out);
    std::free(whole_in);
    std::free(whole_out);
    std::free(order_buf);
    if (deflater != nullptr) libdeflate_free_decompressor(deflater);
  }
};

// What the decoded bytes must come to: counts them, and takes their CRC-32
// and SHA-256 as they pass. Refuses anything past the recorded size.
struct Check {
  Scratch& s;
  std::uint64_t expected;
  std::uint64_t seen = 0;
  std::uint32_t crc = 0;

  Check(Scratch& scratch, std::uint64_t size) : s(scratch), expected(size) { SHA256_Init(&s.sha); }
  // Room for one byte past the size: a member that yields it is damaged.
  // Never 0: a decoder given no room makes no progress. (A size near 2^64,
  // which a hostile ZIP64 field can claim, must not wrap this to 0.)
  std::size_t room(std::size_t cap) const {
    std::uint64_t left = expected - std::min(seen, expected);
    return left >= cap ? cap : static_cast<std::size_t>(left) + 1;
  }
  bool add(const unsigned char* data, std::size_t len) {
    seen += len;
    if (seen > expected) return false;
    crc = static_cast<std::uint32_t>(libdeflate_crc32(crc, data, len));
    SHA256_Update(&s.sha, data, len);
    return true;
  }
  bool finish(std::uint32_t want_crc, unsigned char* digest) {
    SHA256_Final(digest, &s.sha);
    return seen == expected && crc == want_crc;
  }
};

// The compressed bytes of one member, read in order.
struct Source {
  int fd;
  std::int64_t pos;
  std::uint64_t left;

  // Up to cap bytes into buf; 0 at the end; -1 on a read error.
  long next(unsigned char* buf, std::size_t cap) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(cap, left));
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = pread(fd, buf + got, want - got, pos);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return -1;
      got += static_cast<std::size_t>(n);
      pos += n;
    }
    left -= got;
    return static_cast<long>(got);
  }
  bool all(unsigned char* buf, std::size_t len) {
    return len == left && next(buf, len) == static_cast<long>(len);
  }
};

bool stored(Source& src, Check& check, Scratch& s) {
  for (;;) {
    long n = src.next(s.in, CHUNK);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!check.add(s.in, static_cast<std::size_t>(n))) return false;
  }
}

bool deflate_whole(Source& src, Check& check, Scratch& s, std::uint64_t size) {
  auto in_len = static_cast<std::size_t>(src.left);
  if (!src.all(s.whole_in, in_len)) return false;
  std::size_t out = 0;
  // Decoding stops at the recorded size: more is "insufficient space".
  libdeflate_result r = libdeflate_deflate_decompress(s.deflater, s.whole_in, in_len, s.whole_out,
                                                      static_cast<std::size_t>(size), &out);
  return r == LIBDEFLATE_SUCCESS && check.add(s.whole_out, out);
}

bool deflate_stream(Source& src, Check& check, Scratch& s) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  int ret = Z_OK;
  bool ok = true;
  while (ok && ret != Z_STREAM_END) {
    if (z.avail_in == 0) {
      long n = src.next(s.in, CHUNK);
      if (n <= 0) {
        ok = false;
        break;
      }
      z.next_in = s.in;
      z.avail_in = static_cast<uInt>(n);
    }
    z.next_out = s.out;
    z.avail_out = static_cast<uInt>(check.room(CHUNK));
    ret = inflate(&z, Z_NO_FLUSH);
    if (ret != Z_OK && ret != Z_STREAM_END) ok = false;
    ok = ok && check.add(s.out, static_cast<std::size_t>(z.next_out - s.out));
  }
  inflateEnd(&z);
  return ok;
}

bool bzip2(Source& src, Check& check, Scratch& s) {
  bz_stream z{};
  if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return false;
  int ret = BZ_OK;
  bool ok = true;
  while (ok && ret != BZ_STREAM_END) {
    if (z.avail_in == 0) {
      long n = src.next(s.in, CHUNK);
      if (n <= 0) {
        ok = false;
        break;
      }
      z.next_in = reinterpret_cast<char*>(s.in);
      z.avail_in = static_cast<unsigned>(n);
    }
    z.next_out = reinterpret_cast<char*>(s.out);
    z.avail_out = static_cast<unsigned>(check.room(CHUNK));
    unsigned in_before = z.avail_in;
    ret = BZ2_bzDecompress(&z);
    if (ret != BZ_OK && ret != BZ_STREAM_END) ok = false;
    // Neither input taken nor output given: the stream cannot go on.
    if (ret == BZ_OK && z.avail_in == in_before &&
        reinterpret_cast<unsigned char*>(z.next_out) == s.out) {
      ok = false;
    }
    ok = ok && check.add(s.out, static_cast<std::size_t>(
                                    reinterpret_cast<unsigned char*>(z.next_out) - s.out));
  }
  BZ2_bzDecompressEnd(&z);
  return ok;
}

// Runs an initialised liblzma stream over the rest of src.
bool lzma_run(lzma_stream& z, Source& src, Check& check, Scratch& s) {
  lzma_ret ret = LZMA_OK;
  bool ok = true;
  while (ok && ret != LZMA_STREAM_END) {
    lzma_action action = LZMA_RUN;
    if (z.avail_in == 0) {
      long n = src.next(s.in, CHUNK);
      if (n < 0) {
        ok = false;
        break;
      }
      z.next_in = s.in;
      z.avail_in = static_cast<std::size_t>(n);
      if (src.left == 0) action = LZMA_FINISH;
    } else if (src.left == 0) {
      action = LZMA_FINISH;
    }
    z.next_out = s.out;
    z.avail_out = check.room(CHUNK);
    ret = lzma_code(&z, action);
    if (ret != LZMA_OK && ret != LZMA_STREAM_END) ok = false;
    ok = ok && check.add(s.out, static_cast<std::size_t>(z.next_out - s.out));
    // No progress with all input given: the stream ends short.
    if (ok && ret == LZMA_OK && z.avail_in == 0 && src.left == 0 && z.next_out == s.out) ok = false;
  }
  lzma_end(&z);
  return ok;
}

// ZIP's LZMA: a 4-byte header (version, properties size), the properties,
// then raw LZMA1 data, with or without an end marker; the directory's size
// says where it ends.
bool lzma_zip(Source& src, Check& check, Scratch& s, std::uint64_t size) {
  unsigned char head[4 + 5];
  if (src.left < sizeof head || src.next(head, 4) != 4) return false;
  std::uint32_t props_size = le_u16(head + 2);
  if (props_size != 5 || src.next(head + 4, 5) != 5) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, head + 4, 5) != LZMA_OK) return false;
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  options->ext_size_low = static_cast<std::uint32_t>(size);
  options->ext_size_high = static_cast<std::uint32_t>(size >> 32);
  lzma_stream z = LZMA_STREAM_INIT;
  lzma_ret ret = lzma_raw_decoder(&z, filters);
  std::free(options);  // copied by the decoder
  if (ret != LZMA_OK) return false;
  return lzma_run(z, src, check, s);
}

bool xz(Source& src, Check& check, Scratch& s) {
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&z, XZ_MEMLIMIT, 0) != LZMA_OK) return false;
  return lzma_run(z, src, check, s);
}

bool zstd(Source& src, Check& check, Scratch& s) {
  ZSTD_DStream* z = ZSTD_createDStream();
  if (z == nullptr) return false;
  ZSTD_inBuffer in{s.in, 0, 0};
  bool ok = true;
  std::size_t ret = 1;  // 0: a frame is complete
  while (ok && ret != 0) {
    if (in.pos == in.size) {
      long n = src.next(s.in, CHUNK);
      if (n <= 0) {
        ok = false;
        break;
      }
      in = ZSTD_inBuffer{s.in, static_cast<std::size_t>(n), 0};
    }
    ZSTD_outBuffer out{s.out, check.room(CHUNK), 0};
    std::size_t in_before = in.pos;
    ret = ZSTD_decompressStream(z, &out, &in);
    if (ZSTD_isError(ret) != 0) ok = false;
    if (ret != 0 && in.pos == in_before && out.pos == 0 && in.pos < in.size) ok = false;
    ok = ok && check.add(s.out, out.pos);
  }
  ZSTD_freeDStream(z);
  return ok;
}

bool supported(std::uint16_t method) {
  return method == STORED || method == DEFLATE || method == BZIP2 || method == LZMA ||
         method == ZSTD || method == XZ;
}

// Where the member's data starts: past its local header, whose own name and
// extra field lengths count (they may differ from the central ones).
bool find_data(int fd, std::int64_t file_size, std::uint64_t header, std::int64_t* data) {
  unsigned char h[LOCAL_SIZE];
  if (header > static_cast<std::uint64_t>(file_size) ||
      static_cast<std::uint64_t>(file_size) - header < LOCAL_SIZE) {
    return false;
  }
  Source at{fd, static_cast<std::int64_t>(header), LOCAL_SIZE};
  if (!at.all(h, LOCAL_SIZE) || le_u32(h) != LOCAL_SIG) return false;
  *data = static_cast<std::int64_t>(header + LOCAL_SIZE + le_u16(h + LOCAL_NAME_LEN) +
                                    le_u16(h + LOCAL_EXTRA_LEN));
  return true;
}

// The compressed bytes' SHA-256, nothing decoded: members with equal
// compressed bytes hold equal contents (a decoder is deterministic).
Verdict digest_stored_bytes(Source& src, Scratch& s, unsigned char* digest) {
  SHA256_Init(&s.sha);
  for (;;) {
    long n = src.next(s.in, CHUNK);
    if (n < 0) return Verdict::Damaged;
    if (n == 0) break;
    SHA256_Update(&s.sha, s.in, static_cast<std::size_t>(n));
  }
  SHA256_Final(digest, &s.sha);
  return Verdict::Ok;
}

Verdict check_member(int fd, std::int64_t file_size, std::int64_t shift, const VerifyItem& item,
                     bool raw, Scratch& s, unsigned char* digest) {
  if ((item.flags & 1) != 0) return Verdict::Encrypted;
  if (!supported(item.method)) return Verdict::Unsupported;
  std::int64_t data;
  if (shift < 0 || item.local_offset > static_cast<std::uint64_t>(file_size) ||
      !find_data(fd, file_size, item.local_offset + static_cast<std::uint64_t>(shift), &data) ||
      data > file_size || item.compressed_size > static_cast<std::uint64_t>(file_size - data)) {
    return Verdict::Damaged;
  }
  Source src{fd, data, item.compressed_size};
  if (raw) return digest_stored_bytes(src, s, digest);
  Check check(s, item.size);
  bool ok = false;
  switch (item.method) {
    case STORED:
      ok = stored(src, check, s);
      break;
    case DEFLATE:
      ok = item.compressed_size <= s.whole_max && item.size <= s.whole_max && s.whole()
               ? deflate_whole(src, check, s, item.size)
               : deflate_stream(src, check, s);
      break;
    case BZIP2:
      ok = bzip2(src, check, s);
      break;
    case LZMA:
      ok = lzma_zip(src, check, s, item.size);
      break;
    case ZSTD:
      ok = zstd(src, check, s);
      break;
    case XZ:
      ok = xz(src, check, s);
      break;
    default:
      break;
  }
  bool whole = check.finish(item.crc32, digest);
  return ok && whole ? Verdict::Ok : Verdict::Damaged;
}

// False when memory ran short (the outcomes are then not all set).
bool run_job(VerifyJob& job, Scratch& s) {
  if (job.count > 0 && s.order(job.count) == nullptr) return false;
  int fd = open(job.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st;
  bool usable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // In offset order: one pass over the file.
  std::size_t* order = s.order(job.count);
  std::iota(order, order + job.count, std::size_t{0});
  std::sort(order, order + job.count, [&job](std::size_t a, std::size_t b) {
    return job.items[a].local_offset < job.items[b].local_offset;
  });
  for (std::size_t k = 0; k < job.count; ++k) {
    std::size_t i = order[k];
    VerifyOutcome& out = job.outcomes[i];
    std::memset(out.digest, 0, sizeof out.digest);
    out.verdict =
        usable ? check_member(fd, st.st_size, job.shift, job.items[i], job.raw, s, out.digest)
               : Verdict::Damaged;
  }
  if (fd >= 0) close(fd);
  return true;
}

}  // namespace

unsigned verify_threads() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

bool verify_jobs(VerifyJob* jobs, std::size_t count, unsigned threads, VerifyTick tick, void* ctx,
                 std::uint64_t whole_max) {
  if (count == 0) return true;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> short_of_memory{false};
  std::atomic<std::uint64_t> done{0};
  std::size_t most = std::min<std::size_t>(std::max(threads, 1u), 17);
  auto helpers = static_cast<unsigned>(std::min(most, count) - 1);
  std::uint64_t share =
      whole_max != 0 ? whole_max : std::clamp(WHOLE_BUDGET / (helpers + 1), WHOLE_MIN, WHOLE_MAX);
  auto work = [&](bool caller) {
    Scratch s;
    s.whole_max = share;
    bool ready = s.init();
    for (std::size_t j; (j = next.fetch_add(1)) < count;) {
      if (!ready || !run_job(jobs[j], s)) short_of_memory = true;
      std::uint64_t bytes = 0;
      for (std::size_t i = 0; i < jobs[j].count; ++i)
        bytes += jobs[j].items[i].size;
      done += bytes;
      if (caller && tick != nullptr) tick(ctx, done);
    }
  };
  // Threads that cannot be started leave their share to the others.
  std::thread pool[16];
  unsigned started = 0;
  for (; started < helpers; ++started) {
    try {
      pool[started] = std::thread(work, false);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(true);
  for (unsigned t = 0; t < started; ++t)
    pool[t].join();
  if (tick != nullptr) tick(ctx, done);
  return !short_of_memory;
}

}  // namespace zorv
