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
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

// Streams move through buffers of this size. A deflated or zstd member is
// decoded in one call into one buffer (libdeflate does it two to three
// times as fast as a zlib stream; zstd then needs no window of its own)
// when both its sizes are at most WHOLE_MAX; bigger ones stream. So a
// thread holds at most 2 * WHOLE_MAX + 2 * CHUNK bytes of member data, and
// its decoder at most DECODE_WINDOW more.
constexpr std::size_t CHUNK = std::size_t{256} << 10;
constexpr std::uint64_t MIB = std::uint64_t{1} << 20;
// xz counts its decoder's own state with the dictionary: xz -9's 64 MiB
// dictionary needs 65 MiB.
constexpr std::uint64_t XZ_MEMLIMIT = DECODE_WINDOW + 2 * MIB;
constexpr int ZSTD_WINDOW_LOG = 26;
static_assert(std::uint64_t{1} << ZSTD_WINDOW_LOG == DECODE_WINDOW);

constexpr std::uint32_t SATURATED32 = 0xFFFFFFFF;
constexpr std::uint16_t ZIP64_EXTRA = 0x0001;
constexpr std::uint16_t DATA_DESCRIPTOR = 1 << 3;

std::uint32_t mib_of(std::uint64_t bytes) {
  std::uint64_t mib = bytes / MIB + (bytes % MIB != 0 ? 1 : 0);
  return mib > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(mib);
}

// Per-thread state, reused from member to member.
struct Scratch {
  std::uint64_t whole_max = WHOLE_MAX;
  unsigned char* in = nullptr;
  unsigned char* out = nullptr;
  unsigned char* whole_in = nullptr;  // WHOLE_MAX each, taken when first needed
  unsigned char* whole_out = nullptr;
  libdeflate_decompressor* deflater = nullptr;
  ZSTD_DCtx* zstd = nullptr;  // taken when first needed
  SHA256_CTX sha{};
  // Set by a decoder that refused a member for the window it needs.
  std::uint64_t needs = 0;
  int error = 0;  // errno of a failed read of a local header
  std::atomic<unsigned>* open_files = nullptr;  // the checker's, on all threads
  std::atomic<std::uint64_t>* done = nullptr;   // member bytes checked, all threads
  VerifyTick tick = nullptr;                    // on the calling thread only
  void* tick_ctx = nullptr;
  // Where decoded bytes are also written (decode_member), and the errno of
  // a write that failed.
  int copy_fd = -1;
  std::int64_t copy_at = 0;
  int copy_error = 0;

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
  // A zstd context that keeps its window within DECODE_WINDOW, reset.
  ZSTD_DCtx* zstd_ready() {
    if (zstd == nullptr) {
      zstd = ZSTD_createDCtx();
      if (zstd == nullptr ||
          ZSTD_isError(ZSTD_DCtx_setParameter(zstd, ZSTD_d_windowLogMax, ZSTD_WINDOW_LOG)) != 0) {
        return nullptr;
      }
    }
    ZSTD_DCtx_reset(zstd, ZSTD_reset_session_only);
    return zstd;
  }
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
    ZSTD_freeDCtx(zstd);
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
    return s.copy_fd < 0 || copy(data, len);
  }
  bool copy(const unsigned char* data, std::size_t len) {
    while (len > 0) {
      ssize_t n = pwrite(s.copy_fd, data, len, s.copy_at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        s.copy_error = n < 0 ? errno : EIO;
        return false;
      }
      data += n;
      len -= static_cast<std::size_t>(n);
      s.copy_at += n;
    }
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
  int error = 0;  // errno of a failed read; 0 when the file just ended

  // Up to cap bytes into buf; 0 at the end; -1 on a read error or when the
  // file ends short.
  long next(unsigned char* buf, std::size_t cap) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(cap, left));
    std::size_t got = 0;
    while (got < want) {
      ssize_t n = pread(fd, buf + got, want - got, pos);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
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
    if (ret == LZMA_MEMLIMIT_ERROR) s.needs = lzma_memusage(&z);
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
  // No match reaches back past the start of the output, so a dictionary
  // larger than the member is never used: the header's claim (up to 4 GiB)
  // is cut to what the content can need.
  std::uint64_t dict = std::min<std::uint64_t>(options->dict_size, std::max<std::uint64_t>(size, LZMA_DICT_SIZE_MIN));
  if (dict > DECODE_WINDOW) {
    std::free(options);
    s.needs = dict;
    return false;
  }
  options->dict_size = static_cast<std::uint32_t>(dict);
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
  // Concatenated streams and stream padding, as xz -d takes them.
  if (lzma_stream_decoder(&z, XZ_MEMLIMIT, LZMA_CONCATENATED) != LZMA_OK) return false;
  return lzma_run(z, src, check, s);
}

// A whole member in one call: frames follow each other (skippable ones
// too) straight into the output buffer, so no window is allocated, however
// large the frames declare theirs.
bool zstd_whole(Source& src, Check& check, Scratch& s, std::uint64_t size) {
  auto in_len = static_cast<std::size_t>(src.left);
  ZSTD_DCtx* z = s.zstd_ready();
  if (z == nullptr || !src.all(s.whole_in, in_len)) return false;
  std::size_t out = ZSTD_decompressDCtx(z, s.whole_out, static_cast<std::size_t>(size), s.whole_in, in_len);
  return ZSTD_isError(out) == 0 && check.add(s.whole_out, out);
}

// The window the frame at buf[0, len) declares (its header: magic number,
// descriptor, then a window descriptor or, for a single segment, the
// content size, which is then the window), or 0 when it is not all there.
std::uint64_t zstd_window(const unsigned char* buf, std::size_t len) {
  if (len < 6 || le_u32(buf) != 0xFD2FB528) return 0;
  unsigned descriptor = buf[4];
  if ((descriptor & 0x20) == 0) {
    unsigned w = buf[5];
    std::uint64_t base = std::uint64_t{1} << (10 + (w >> 3));
    return base + base / 8 * (w & 7);
  }
  static const unsigned dict_bytes[4] = {0, 1, 2, 4};
  static const unsigned size_bytes[4] = {1, 2, 4, 8};
  std::size_t at = 5 + dict_bytes[descriptor & 3];
  unsigned n = size_bytes[descriptor >> 6];
  if (len < at + n) return 0;
  std::uint64_t size = 0;
  for (unsigned i = n; i-- > 0;)
    size = size << 8 | buf[at + i];
  return n == 2 ? size + 256 : size;
}

// Frames one after another until the member's data ends, as zstd -d reads
// a file; a frame whose window exceeds DECODE_WINDOW is refused.
bool zstd_stream(Source& src, Check& check, Scratch& s) {
  ZSTD_DCtx* z = s.zstd_ready();
  if (z == nullptr) return false;
  ZSTD_inBuffer in{s.in, 0, 0};
  // Where the frame being decoded starts in s.in; SIZE_MAX: in an earlier buffer.
  std::size_t frame = 0;
  std::size_t ret = 0;  // 0: no frame under way
  for (;;) {
    if (in.pos == in.size) {
      if (src.left == 0) return ret == 0 && in.size != 0;
      long n = src.next(s.in, CHUNK);
      if (n <= 0) return false;
      in = ZSTD_inBuffer{s.in, static_cast<std::size_t>(n), 0};
      frame = ret == 0 ? 0 : SIZE_MAX;
    }
    ZSTD_outBuffer out{s.out, check.room(CHUNK), 0};
    std::size_t in_before = in.pos;
    ret = ZSTD_decompressStream(z, &out, &in);
    if (ZSTD_isError(ret) != 0) {
      if (ZSTD_getErrorCode(ret) == ZSTD_error_frameParameter_windowTooLarge) {
        std::uint64_t window = frame <= in.size ? zstd_window(s.in + frame, in.size - frame) : 0;
        s.needs = std::max(window, DECODE_WINDOW + 1);
      }
      return false;
    }
    if (ret != 0 && in.pos == in_before && out.pos == 0 && in.pos < in.size) return false;
    if (!check.add(s.out, out.pos)) return false;
    if (ret == 0) frame = in.pos;
  }
}

bool fits_whole(const VerifyItem& item, Scratch& s) {
  return item.compressed_size <= s.whole_max && item.size <= s.whole_max && s.whole();
}

bool supported(std::uint16_t method) {
  return method == STORED || method == DEFLATE || method == BZIP2 || method == LZMA ||
         method == ZSTD || method == XZ;
}

enum class Local : std::uint8_t { Ok, Damaged, Differs, Unreadable };

// The local header's sizes where it defers them to a ZIP64 extra field:
// its fields that read 0xFFFFFFFF, in order (uncompressed, compressed).
bool local_zip64(const unsigned char* extra, std::size_t len, std::uint64_t* size,
                 std::uint64_t* csize, bool want_size, bool want_csize) {
  for (std::size_t at = 0; at + 4 <= len;) {
    std::uint16_t id = le_u16(extra + at);
    std::size_t field = le_u16(extra + at + 2);
    if (at + 4 + field > len) return false;
    if (id == ZIP64_EXTRA) {
      std::size_t need = (want_size ? 8 : 0) + (want_csize ? 8 : 0);
      if (field < need) return false;
      const unsigned char* v = extra + at + 4;
      if (want_size) *size = le_u64(v), v += 8;
      if (want_csize) *csize = le_u64(v);
      return true;
    }
    at += 4 + field;
  }
  return false;
}

// Where the member's data starts: past its local header, whose own name and
// extra field lengths count. Its method, sizes (unless a data descriptor
// carries them) and name must be the central header's.
Local find_data(int fd, std::int64_t file_size, std::uint64_t header, const VerifyItem& item,
                const VerifyName* name, Scratch& s, std::int64_t* data) {
  if (header > static_cast<std::uint64_t>(file_size) ||
      static_cast<std::uint64_t>(file_size) - header < LOCAL_SIZE) {
    return Local::Damaged;
  }
  // The header and its name, when as long as the central one: one read.
  // The central name is known up to its first NUL, so one byte more says
  // whether the local one ends there too.
  std::uint64_t room = static_cast<std::uint64_t>(file_size) - header;
  std::size_t want = LOCAL_SIZE + (name != nullptr ? name->len + std::size_t{1} : 0);
  if (want > room) want = static_cast<std::size_t>(room);
  unsigned char* h = s.in;
  Source at{fd, static_cast<std::int64_t>(header), want};
  if (!at.all(h, want)) {
    s.error = at.error;
    return at.error != 0 ? Local::Unreadable : Local::Damaged;
  }
  if (le_u32(h) != LOCAL_SIG) return Local::Damaged;
  std::size_t name_len = le_u16(h + LOCAL_NAME_LEN);
  std::size_t extra_len = le_u16(h + LOCAL_EXTRA_LEN);
  *data = static_cast<std::int64_t>(header + LOCAL_SIZE + name_len + extra_len);
  if (le_u16(h + 8) != item.method) return Local::Differs;
  if (name != nullptr) {
    bool ends = name_len == name->len || (name_len > name->len && LOCAL_SIZE + name->len < want &&
                                          h[LOCAL_SIZE + name->len] == 0);
    if (!ends || LOCAL_SIZE + name->len > want ||
        std::memcmp(h + LOCAL_SIZE, name->bytes, name->len) != 0) {
      return Local::Differs;
    }
  }
  if (((le_u16(h + 6) | item.flags) & DATA_DESCRIPTOR) != 0) return Local::Ok;
  std::uint64_t csize = le_u32(h + 18);
  std::uint64_t size = le_u32(h + 22);
  if (csize == SATURATED32 || size == SATURATED32) {
    if (LOCAL_SIZE + name_len + extra_len > room) return Local::Damaged;
    Source ex{fd, static_cast<std::int64_t>(header + LOCAL_SIZE + name_len), extra_len};
    if (!ex.all(s.in, extra_len) ||
        !local_zip64(s.in, extra_len, &size, &csize, size == SATURATED32, csize == SATURATED32)) {
      return Local::Differs;
    }
  }
  return csize == item.compressed_size && size == item.size ? Local::Ok : Local::Differs;
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

Verdict verdict_of(int fd, std::int64_t file_size, std::int64_t shift, const VerifyItem& item,
                   const VerifyName* name, bool raw, Scratch& s, unsigned char* digest,
                   std::uint32_t* detail) {
  if ((item.flags & 1) != 0) return Verdict::Encrypted;
  if (!supported(item.method)) return Verdict::Unsupported;
  if (shift < 0 || item.local_offset > static_cast<std::uint64_t>(file_size)) return Verdict::Damaged;
  std::int64_t data = 0;
  Local local = find_data(fd, file_size, item.local_offset + static_cast<std::uint64_t>(shift),
                          item, name, s, &data);
  if (local == Local::Damaged) return Verdict::Damaged;
  if (local == Local::Unreadable) {
    *detail = static_cast<std::uint32_t>(s.error);
    return Verdict::Unreadable;
  }
  if (data > file_size || item.compressed_size > static_cast<std::uint64_t>(file_size - data))
    return Verdict::Damaged;
  if (local == Local::Differs) return Verdict::LocalDiffers;
  Source src{fd, data, item.compressed_size};
  if (raw) {
    Verdict v = digest_stored_bytes(src, s, digest);
    if (src.error != 0) *detail = static_cast<std::uint32_t>(src.error);
    return src.error != 0 ? Verdict::Unreadable : v;
  }
  s.needs = 0;
  Check check(s, item.size);
  bool ok = false;
  switch (item.method) {
    case STORED:
      ok = stored(src, check, s);
      break;
    case DEFLATE:
      ok = fits_whole(item, s) ? deflate_whole(src, check, s, item.size)
                               : deflate_stream(src, check, s);
      break;
    case BZIP2:
      ok = bzip2(src, check, s);
      break;
    case LZMA:
      ok = lzma_zip(src, check, s, item.size);
      break;
    case ZSTD:
      ok = fits_whole(item, s) ? zstd_whole(src, check, s, item.size) : zstd_stream(src, check, s);
      break;
    case XZ:
      ok = xz(src, check, s);
      break;
    default:
      break;
  }
  bool whole = check.finish(item.crc32, digest);
  if (ok && whole) return Verdict::Ok;
  if (src.error != 0 || s.copy_error != 0) {
    *detail = static_cast<std::uint32_t>(src.error != 0 ? src.error : s.copy_error);
    return Verdict::Unreadable;
  }
  if (s.needs != 0) {
    *detail = mib_of(s.needs);
    return Verdict::NeedsMemory;
  }
  return Verdict::Damaged;
}

// Opens an archive to check. Out of descriptors while other threads hold
// theirs, it waits for one of them to close its own (each holds one at a
// time): a member is then never called unreadable for want of a descriptor
// the checker itself holds.
int open_archive(const char* path, std::atomic<unsigned>& open_files) {
  for (;;) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      ++open_files;
      return fd;
    }
    if ((errno != EMFILE && errno != ENFILE) || open_files.load() == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// False when memory ran short (the outcomes are then not all set).
bool run_job(VerifyJob& job, Scratch& s) {
  if (job.count > 0 && s.order(job.count) == nullptr) return false;
  int fd = open_archive(job.path, *s.open_files);
  struct stat st;
  int error = fd < 0 ? errno : 0;
  bool usable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (fd >= 0 && !usable) error = S_ISREG(st.st_mode) ? errno : 0;
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
    out.detail = 0;
    if (usable) {
      std::int64_t end = job.end >= 0 ? std::min<std::int64_t>(job.end, st.st_size) : st.st_size;
      out.verdict = verdict_of(fd, end, job.shift, job.items[i],
                               job.names != nullptr ? &job.names[i] : nullptr, job.raw, s,
                               out.digest, &out.detail);
    } else {
      out.verdict = error != 0 ? Verdict::Unreadable : Verdict::Damaged;
      out.detail = static_cast<std::uint32_t>(error);
    }
    *s.done += job.items[i].size;
    if (s.tick != nullptr) s.tick(s.tick_ctx, *s.done);
  }
  if (fd >= 0) {
    close(fd);
    --*s.open_files;
  }
  return true;
}

}  // namespace

Verdict decode_member(int fd, std::int64_t end, std::int64_t shift, const VerifyItem& item,
                      const VerifyName* name, int out, std::int64_t at, std::uint32_t* detail) {
  Scratch s;
  if (!s.init()) return Verdict::NeedsMemory;
  std::atomic<unsigned> open_files{0};
  std::atomic<std::uint64_t> done{0};
  s.open_files = &open_files;
  s.done = &done;
  s.copy_fd = out;
  s.copy_at = at;
  unsigned char digest[32];
  *detail = 0;
  return verdict_of(fd, end, shift, item, name, false, s, digest, detail);
}

const char* verify_reason(const VerifyOutcome& o, const VerifyItem& item, char* buf,
                          std::size_t cap) {
  switch (o.verdict) {
    case Verdict::Encrypted:
      return "encrypted";
    case Verdict::Unsupported:
      std::snprintf(buf, cap, "compression method %u not supported", item.method);
      return buf;
    case Verdict::Unreadable:
      return std::strerror(static_cast<int>(o.detail));
    case Verdict::NeedsMemory:
      std::snprintf(buf, cap, "needs %" PRIu32 " MiB to decode", o.detail);
      return buf;
    case Verdict::LocalDiffers:
      return "local header differs";
    case Verdict::Overlaps:
      return "data overlaps another member";
    default:
      return "damaged data";
  }
}

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
  std::atomic<unsigned> open_files{0};
  std::size_t workers = std::min<std::size_t>(std::min<std::size_t>(std::max(threads, 1u), 17), count);
  std::uint64_t share = whole_max != 0 ? whole_max : WHOLE_MAX;
  std::mutex lock;
  std::condition_variable finished_one;
  unsigned finished = 0;
  // The caller, when it works, gives the tick itself after each member.
  auto work = [&](bool caller) {
    Scratch s;
    s.whole_max = share;
    s.open_files = &open_files;
    s.done = &done;
    if (caller) {
      s.tick = tick;
      s.tick_ctx = ctx;
    }
    bool ready = s.init();
    for (std::size_t j; (j = next.fetch_add(1)) < count;) {
      if (!ready || !run_job(jobs[j], s)) {
        short_of_memory = true;
        for (std::size_t i = 0; i < jobs[j].count; ++i)
          done += jobs[j].items[i].size;
      }
    }
  };
  // With a tick to give, the calling thread only gives it, every tenth of a
  // second, member by member as the workers finish them: a job may take
  // seconds (a big member, slow storage), and a count that moves only as
  // jobs end looks stuck. Threads that cannot be started leave their share
  // to the others (to the caller when none starts).
  bool ticking = tick != nullptr && workers > 1;
  std::thread pool[17];
  unsigned started = 0;
  for (; started < workers - (ticking ? 0 : 1); ++started) {
    try {
      pool[started] = std::thread([&] {
        work(false);
        std::lock_guard<std::mutex> hold(lock);
        ++finished;
        finished_one.notify_one();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (ticking && started > 0) {
    std::unique_lock<std::mutex> hold(lock);
    while (finished < started) {
      hold.unlock();
      tick(ctx, done);
      hold.lock();
      finished_one.wait_for(hold, std::chrono::milliseconds(100),
                            [&] { return finished == started; });
    }
  } else {
    work(true);
  }
  for (unsigned t = 0; t < started; ++t)
    pool[t].join();
  if (tick != nullptr) tick(ctx, done);
  return !short_of_memory;
}

}  // namespace zorv
