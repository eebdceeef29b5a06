// Fuzz target for the content checker: the input is one member's stored
// data, behind a header of 12 bytes that picks the member's method (stored,
// deflate, bzip2, LZMA, zstd, xz, or one nothing decodes), flags, recorded
// size and CRC-32. The member is written as an archive file (a local header
// and the data) and checked raw and decoded, on one thread and on two, each
// twice. Checks: the outcome never depends on the threads or the run; a raw
// check of readable bytes is Ok with the digest of the stored bytes; a
// stored member is Ok exactly when its bytes have the recorded size and
// CRC-32, with their digest; an encrypted flag gives Encrypted, an unknown
// method Unsupported, and neither reads anything; no descriptor is left.
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "zip/verify.h"

namespace {

constexpr std::uint16_t METHODS[] = {0, 8, 12, 14, 93, 95, 99};

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

zorv::VerifyOutcome check(const char* path, const zorv::VerifyItem& item, bool raw,
                          unsigned threads) {
  zorv::VerifyOutcome out{};
  zorv::VerifyJob job{path, 0, &item, &out, nullptr, 1, raw};
  FUZZ_CHECK(zorv::verify_jobs(&job, 1, threads));
  return out;
}

bool same(const zorv::VerifyOutcome& a, const zorv::VerifyOutcome& b) {
  return a.verdict == b.verdict &&
         (a.verdict != zorv::Verdict::Ok || std::memcmp(a.digest, b.digest, 32) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  std::uint16_t method = METHODS[data[0] % (sizeof METHODS / sizeof METHODS[0])];
  std::uint16_t flags = data[1] & 0x09;  // encrypted, data descriptor
  // The recorded size: near the data's length mostly, anything sometimes.
  std::uint32_t recorded = le32(data + 2);
  std::uint64_t body_len = size - 12;
  std::uint64_t claimed = (data[6] & 0x80) != 0 ? recorded % (std::uint32_t{1} << 24)
                                                : body_len + (data[6] & 0x7f);
  const std::uint8_t* body = data + 12;
  std::uint32_t crc = (data[7] & 1) != 0 ? le32(data + 8)
                                         : static_cast<std::uint32_t>(crc32(0, body, static_cast<uInt>(body_len)));
  std::vector<std::uint8_t> file;
  put32(file, 0x04034b50);
  put16(file, 20);
  put16(file, flags);
  put16(file, method);
  put32(file, 0);  // time, date
  put32(file, crc);
  put32(file, static_cast<std::uint32_t>(body_len));
  put32(file, static_cast<std::uint32_t>(claimed));
  put16(file, 1);  // name length
  put16(file, 0);  // extra length
  file.push_back('m');
  file.insert(file.end(), body, body + body_len);
  const char* path = zorv::fuzz::input_path(file.data(), file.size());
  int free_fd = zorv::fuzz::lowest_free_fd();
  zorv::VerifyItem item{0, body_len, claimed, crc, method, flags};

  unsigned char body_digest[32];
  SHA256(body, body_len, body_digest);
  for (bool raw : {true, false}) {
    zorv::VerifyOutcome first = check(path, item, raw, 1);
    FUZZ_CHECK(same(first, check(path, item, raw, 1)));
    FUZZ_CHECK(same(first, check(path, item, raw, 2)));
    if ((flags & 1) != 0) {
      FUZZ_CHECK(first.verdict == zorv::Verdict::Encrypted);
      continue;
    }
    if (method == 99) {
      FUZZ_CHECK(first.verdict == zorv::Verdict::Unsupported);
      continue;
    }
    if (raw || method == 0) {
      bool whole = raw || (claimed == body_len &&
                           crc == static_cast<std::uint32_t>(crc32(0, body, static_cast<uInt>(body_len))));
      FUZZ_CHECK((first.verdict == zorv::Verdict::Ok) == whole);
      if (whole) FUZZ_CHECK(std::memcmp(first.digest, body_digest, 32) == 0);
    }
  }
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  return 0;
}
