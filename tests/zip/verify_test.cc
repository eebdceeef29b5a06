// Content verification: every supported method decodes to the recorded
// size and CRC-32 and a digest that depends on the content only; every way
// a member can be unreadable gives its verdict; the outcomes do not depend
// on the number of threads.
#include "zip/verify.h"

#include <bzlib.h>
#include <lzma.h>
#include <openssl/sha.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/deflate.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Bytes;

// Compressible, not trivial: words from a small vocabulary, seeded.
std::string text(std::size_t size, unsigned seed) {
  static const char* const words[] = {"archive ", "entry ", "copy ", "zip ", "data\n", "same "};
  std::mt19937 rng(seed);
  std::string out;
  while (out.size() < size)
    out += words[rng() % 6];
  out.resize(size);
  return out;
}

Bytes bzip2_of(const std::string& data) {
  Bytes out(data.size() + data.size() / 100 + 600);
  auto len = static_cast<unsigned>(out.size());
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                                     const_cast<char*>(data.data()),
                                     static_cast<unsigned>(data.size()), 9, 0, 0),
            BZ_OK);
  out.resize(len);
  return out;
}

Bytes xz_of(const std::string& data) {
  Bytes out(lzma_stream_buffer_bound(data.size()));
  std::size_t len = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                    reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
                                    out.data(), &len, out.size()),
            LZMA_OK);
  out.resize(len);
  return out;
}

// ZIP's LZMA: version 2 bytes, properties size 2 bytes, 5 bytes of
// properties, raw LZMA1 data with an end marker.
Bytes lzma_zip_of(const std::string& data) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out = {9, 20, 5, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(lzma_properties_encode(&filters[0], out.data() + 4), LZMA_OK);
  Bytes raw(data.size() + data.size() / 2 + 1024);
  std::size_t len = 0;
  EXPECT_EQ(
      lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const std::uint8_t*>(data.data()),
                             data.size(), raw.data(), &len, raw.size()),
      LZMA_OK);
  out.insert(out.end(), raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(len));
  return out;
}

Bytes zstd_of(const std::string& data) {
  Bytes out(ZSTD_compressBound(data.size()));
  std::size_t len = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
  EXPECT_EQ(ZSTD_isError(len), 0u);
  out.resize(len);
  return out;
}

std::string sha256_of(const std::string& data) {
  unsigned char d[32];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), d);
  return std::string(reinterpret_cast<char*>(d), 32);
}

// Checks every entry of a written archive as the report would.
std::vector<VerifyOutcome> check(const std::string& path, const ArchiveBytes& a,
                                 unsigned threads = 1, std::uint64_t whole_max = 0) {
  std::vector<VerifyItem> items;
  for (const test::CentralHeader& h : a.headers) {
    items.push_back(VerifyItem{h.local_header_offset, h.compressed_size, h.uncompressed_size,
                               h.crc32, h.method, h.flags});
  }
  std::vector<VerifyName> names;
  for (const test::CentralHeader& h : a.headers)
    names.push_back(VerifyName{h.name.data(), static_cast<std::uint16_t>(h.name.size())});
  std::vector<VerifyOutcome> out(items.size());
  VerifyJob job{path.c_str(),  static_cast<std::int64_t>(a.front.size()), items.data(), out.data(),
                names.data(), items.size(), false};
  EXPECT_TRUE(verify_jobs(&job, 1, threads, nullptr, nullptr, whole_max));
  return out;
}

std::string digest(const VerifyOutcome& o) {
  return std::string(reinterpret_cast<const char*>(o.digest), 32);
}

TEST(Verify, EveryMethodGivesTheContentsDigest) {
  std::string data = text(300000, 1);
  ArchiveBytes a;
  a.front = test::to_bytes("#!/bin/sh\nexit 0\n");  // offsets count from after it
  a.add_file("stored", data, 0);
  a.add_file("deflated", data, 8, test::deflate_raw(data, 6));
  a.add_file("bzip2", data, 12, bzip2_of(data));
  a.add_file("lzma", data, 14, lzma_zip_of(data));
  a.add_file("zstd", data, 93, zstd_of(data));
  a.add_file("xz", data, 95, xz_of(data));
  a.add_file("other content", text(300000, 2), 8, test::deflate_raw(text(300000, 2), 6));
  a.add_file("empty", "", 8, test::deflate_raw("", 6));
  test::TempDir dir;
  std::vector<VerifyOutcome> out = check(dir.write("m.zip", a.bytes()), a);
  for (std::size_t i = 0; i < out.size(); ++i)
    ASSERT_EQ(out[i].verdict, Verdict::Ok) << a.headers[i].name;
  for (std::size_t i = 0; i < 6; ++i)
    EXPECT_EQ(digest(out[i]), sha256_of(data)) << a.headers[i].name;
  EXPECT_EQ(digest(out[6]), sha256_of(text(300000, 2)));
  EXPECT_EQ(digest(out[7]), sha256_of(""));
}

// A deflated member bigger than a thread decodes whole is streamed: the
// same digest, and a member that inflates past its size is stopped either
// way (here the limit is 1 MiB, not the run's 16 to 64).
TEST(Verify, BigMembersStreamAndBombsStop) {
  std::string big = text((std::size_t{3} << 20) + 3, 3);
  ArchiveBytes a;
  a.add_file("big", big, 8, test::deflate_raw(big, 6));
  // Sizes deferred to a data descriptor: the local header cannot give them away.
  auto deferred = [&a](const std::string& name, const std::string& data, std::size_t size) {
    test::CentralHeader& h = a.add_file(name, data, 8, test::deflate_raw(data, 6));
    h.uncompressed_size = static_cast<std::uint32_t>(size);
    h.flags = 8;
  };
  deferred("big, size one short", big, big.size() - 1);
  std::string small = text(1000, 4);
  deferred("small, size one short", small, 999);
  deferred("small, size one long", small, 1001);
  test::TempDir dir;
  std::string path = dir.write("b.zip", a.bytes());
  for (std::uint64_t whole_max : {std::uint64_t{1} << 20, std::uint64_t{0}}) {
    std::vector<VerifyOutcome> out = check(path, a, 1, whole_max);
    EXPECT_EQ(out[0].verdict, Verdict::Ok) << whole_max;
    EXPECT_EQ(digest(out[0]), sha256_of(big)) << whole_max;
    for (std::size_t i = 1; i < 4; ++i)
      EXPECT_EQ(out[i].verdict, Verdict::Damaged) << a.headers[i].name << " " << whole_max;
  }
}

TEST(Verify, UnreadableMembersGiveTheirVerdict) {
  std::string data = text(5000, 5);
  ArchiveBytes a;
  a.add_file("encrypted", data, 8, test::deflate_raw(data, 6)).flags = 1;
  a.add_file("deflate64", data, 8, test::deflate_raw(data, 6)).method = 9;
  a.add_file("ppmd", data, 8, test::deflate_raw(data, 6)).method = 98;
  a.add_file("wrong crc", data, 0).crc32 ^= 1;
  a.add_file("no local header", data, 0, std::nullopt,
             [](test::LocalHeader& h) { h.signature = 0x04034b51; });
  a.add_file("offset past the end", data, 0).local_header_offset = 1u << 30;
  a.add_file("data past the end", data, 0).compressed_size = 1u << 20;
  Bytes junk = test::to_bytes(text(200, 6));
  a.add_file("not deflate", data, 8, junk);
  Bytes cut = bzip2_of(data);
  cut.resize(cut.size() - 20);
  a.add_file("cut bzip2", data, 12, cut);
  test::CentralHeader& deferred = a.add_file("stored, size differs", data, 0);
  deferred.uncompressed_size = 4999;
  deferred.flags = 8;  // sizes in a data descriptor: the local header has no say
  // What other readers would extract instead: the local header's.
  a.add_file("local method", data, 0, std::nullopt, [](test::LocalHeader& h) { h.method = 8; });
  a.add_file("local size", data, 0, std::nullopt,
             [](test::LocalHeader& h) { h.uncompressed_size = 4999; });
  a.add_file("local name", data, 0, std::nullopt, [](test::LocalHeader& h) { h.name = "local Name"; });
  a.add_file("local name longer", data, 0, std::nullopt,
             [](test::LocalHeader& h) { h.name = "local name longer.txt"; });
  // ZIP64 sizes in the local header: they are the central ones.
  a.add_file("local zip64", data, 0, std::nullopt, [](test::LocalHeader& h) {
    h.compressed_size = h.uncompressed_size = 0xffffffffu;
    h.extra = {0x01, 0x00, 16, 0, 0x88, 0x13, 0, 0, 0, 0, 0, 0, 0x88, 0x13, 0, 0, 0, 0, 0, 0};
  });
  a.add_file("local zip64, other size", data, 0, std::nullopt, [](test::LocalHeader& h) {
    h.uncompressed_size = 0xffffffffu;
    h.extra = {0x01, 0x00, 8, 0, 0x89, 0x13, 0, 0, 0, 0, 0, 0};
  });
  // A local extra field longer than the central one is skipped by its own
  // length, so this one reads.
  a.add_file("long local extra", data, 0, std::nullopt,
             [](test::LocalHeader& h) { h.extra = Bytes(33, 'e'); });
  test::TempDir dir;
  std::vector<VerifyOutcome> out = check(dir.write("u.zip", a.bytes()), a);
  const std::vector<Verdict> want = {
      Verdict::Encrypted,    Verdict::Unsupported,  Verdict::Unsupported,  Verdict::Damaged,
      Verdict::Damaged,      Verdict::Damaged,      Verdict::Damaged,      Verdict::Damaged,
      Verdict::Damaged,      Verdict::Damaged,      Verdict::LocalDiffers, Verdict::LocalDiffers,
      Verdict::LocalDiffers, Verdict::LocalDiffers, Verdict::Ok,           Verdict::LocalDiffers,
      Verdict::Ok};
  ASSERT_EQ(out.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(out[i].verdict, want[i]) << a.headers[i].name;
  EXPECT_EQ(digest(out.back()), sha256_of(data));
}

// A size near 2^64 (a hostile ZIP64 field claims what it likes) must not
// leave a decoder without room: every method ends, with "damaged".
TEST(Verify, HugeClaimedSizeEndsDamaged) {
  std::string data = text(20000, 9);
  ArchiveBytes a;
  a.add_file("stored", data, 0);
  a.add_file("deflated", data, 8, test::deflate_raw(data, 6));
  a.add_file("bzip2", data, 12, bzip2_of(data));
  a.add_file("lzma", data, 14, lzma_zip_of(data));
  a.add_file("zstd", data, 93, zstd_of(data));
  a.add_file("xz", data, 95, xz_of(data));
  for (test::CentralHeader& h : a.headers)
    h.uncompressed_size = 0xffffffffu;  // stands in for the 64-bit claim below
  test::TempDir dir;
  std::string path = dir.write("h.zip", a.bytes());
  std::vector<VerifyItem> items;
  for (const test::CentralHeader& h : a.headers) {
    items.push_back(VerifyItem{h.local_header_offset, h.compressed_size, ~std::uint64_t{0}, h.crc32,
                               h.method, static_cast<std::uint16_t>(h.flags | 8)});
  }
  std::vector<VerifyOutcome> out(items.size());
  VerifyJob job{path.c_str(), 0, items.data(), out.data(), nullptr, items.size(), false};
  ASSERT_TRUE(verify_jobs(&job, 1, 1));
  for (std::size_t i = 0; i < out.size(); ++i)
    EXPECT_EQ(out[i].verdict, Verdict::Damaged) << a.headers[i].name;
}

// A zstd frame as a stream writer leaves it: no content size, so the
// window the compressor was given is what the frame declares.
Bytes zstd_window_of(const std::string& data, int window_log) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  Bytes out(ZSTD_compressBound(data.size()) + 64);
  // Fed in two calls: given all at once, the compressor fits the window to it.
  ZSTD_inBuffer in{data.data(), data.size() / 2, 0};
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  EXPECT_EQ(ZSTD_isError(ZSTD_compressStream2(c, &o, &in, ZSTD_e_continue)), 0u);
  in = ZSTD_inBuffer{data.data() + data.size() / 2, data.size() - data.size() / 2, 0};
  EXPECT_EQ(ZSTD_compressStream2(c, &o, &in, ZSTD_e_end), 0u);
  ZSTD_freeCCtx(c);
  out.resize(o.pos);
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a member's own header asks for decides nothing about memory beyond
// DECODE_WINDOW: an LZMA dictionary is cut to the member's size, a frame
// that needs more is named with what it needs. And what zstd -d and xz -d
// read, this reads: frames and streams one after another, skippable frames,
// a 2 GiB window on a small member.
TEST(Verify, DecodersKeepTheirBoundAndReadWhatTheToolsRead) {
  std::string data = text(200000, 11);
  std::string half = data.substr(0, 100000);
  std::string rest = data.substr(100000);
  Bytes lzma_4g = lzma_zip_of(data);
  for (int i = 5; i < 9; ++i)
    lzma_4g[static_cast<std::size_t>(i)] = 0xff;  // dictionary 4 GiB - 1
  Bytes skippable = {0x50, 0x2a, 0x4d, 0x18, 3, 0, 0, 0, 'a', 'b', 'c'};
  Bytes long_window = zstd_window_of(data, 31);
  ArchiveBytes a;
  a.add_file("lzma, 4 GiB dictionary", data, 14, lzma_4g);
  a.add_file("zstd, two frames", data, 93, concat(zstd_of(half), zstd_of(rest)));
  a.add_file("zstd, skippable frame first", data, 93, concat(skippable, zstd_of(data)));
  a.add_file("zstd, 2 GiB window", data, 93, long_window);
  a.add_file("xz, two streams", data, 95, concat(xz_of(half), xz_of(rest)));
  a.add_file("zstd, trailing junk", data, 93, concat(zstd_of(data), Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  test::TempDir dir;
  std::string path = dir.write("w.zip", a.bytes());
  // Whole and streamed alike (a 64 KiB whole limit streams them all).
  for (std::uint64_t whole_max : {std::uint64_t{0}, std::uint64_t{64} << 10}) {
    std::vector<VerifyOutcome> out = check(path, a, 1, whole_max);
    for (std::size_t i = 0; i < 5; ++i) {
      std::string at = a.headers[i].name + " " + std::to_string(whole_max);
      if (i == 3 && whole_max != 0) {
        // Streamed, the frame's window must be allocated: refused, by its size.
        EXPECT_EQ(out[i].verdict, Verdict::NeedsMemory) << at;
        EXPECT_EQ(out[i].detail, 2048u) << at;
        continue;
      }
      ASSERT_EQ(out[i].verdict, Verdict::Ok) << at;
      EXPECT_EQ(digest(out[i]), sha256_of(data)) << at;
    }
    EXPECT_EQ(out[5].verdict, Verdict::Damaged) << whole_max;
  }
  // Claimed bigger than DECODE_WINDOW, the 4 GiB dictionary is not cut to
  // the window: refused before anything is decoded, with what it needs.
  std::vector<VerifyItem> items = {VerifyItem{a.headers[0].local_header_offset,
                                              a.headers[0].compressed_size, std::uint64_t{100} << 20,
                                              a.headers[0].crc32, 14, 8}};
  VerifyOutcome out{};
  VerifyJob job{path.c_str(), 0, items.data(), &out, nullptr, 1, false};
  ASSERT_TRUE(verify_jobs(&job, 1, 1));
  EXPECT_EQ(out.verdict, Verdict::NeedsMemory);
  EXPECT_EQ(out.detail, 100u);
}

// Several archives on several threads: the outcomes of one thread, and an
// archive that is gone gives every member Damaged.
TEST(Verify, ThreadsChangeNothing) {
  test::TempDir dir;
  std::vector<ArchiveBytes> archives(9);
  std::vector<std::string> paths;
  std::vector<std::vector<VerifyItem>> items(archives.size());
  for (std::size_t k = 0; k < archives.size(); ++k) {
    for (unsigned e = 0; e < 20; ++e) {
      std::string content = text(1000 + 97 * e, e * 31 + static_cast<unsigned>(k));
      archives[k].add_file("e" + std::to_string(e), content, 8, test::deflate_raw(content, 6));
    }
    archives[k].headers[k].crc32 ^= 1;
    paths.push_back(dir.write("t" + std::to_string(k) + ".zip", archives[k].bytes()));
    for (const test::CentralHeader& h : archives[k].headers)
      items[k].push_back(VerifyItem{h.local_header_offset, h.compressed_size, h.uncompressed_size,
                                    h.crc32, h.method, h.flags});
  }
  paths.back() = dir / "gone.zip";
  auto run = [&](unsigned threads) {
    std::vector<std::vector<VerifyOutcome>> out(archives.size());
    std::vector<VerifyJob> jobs;
    for (std::size_t k = 0; k < archives.size(); ++k) {
      out[k].resize(items[k].size());
      jobs.push_back(
          VerifyJob{paths[k].c_str(), 0, items[k].data(), out[k].data(), nullptr, items[k].size(),
                    false});
    }
    EXPECT_TRUE(verify_jobs(jobs.data(), jobs.size(), threads));
    std::vector<std::pair<Verdict, std::string>> flat;
    for (const auto& v : out)
      for (const VerifyOutcome& o : v)
        flat.emplace_back(o.verdict, digest(o));
    return flat;
  };
  auto one = run(1);
  EXPECT_EQ(run(4), one);
  for (std::size_t k = 0; k < archives.size(); ++k) {
    for (std::size_t e = 0; e < 20; ++e) {
      Verdict v = one[k * 20 + e].first;
      Verdict want = k + 1 == archives.size() ? Verdict::Unreadable
                     : e == k                 ? Verdict::Damaged
                                              : Verdict::Ok;
      EXPECT_EQ(v, want) << k << e;
    }
  }
}

}  // namespace
}  // namespace zorv
