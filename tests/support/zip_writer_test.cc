// The writer's ZIP64 records, extra fields, holes, data in front and
// entries with data, read back by an independent reader: Python's zipfile
// for the entries and their contents, and a few lines of struct unpacking
// for what zipfile does not check (it ignores the locator's offset, the
// record's size field and the counts). Last, the archives of the build's
// verify/ folder against what they are meant to hold.
#include "support/zip_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/deflate.h"
#include "support/files.h"

namespace zorv::test {
namespace {

// The system interpreter starts in a few milliseconds; a version-manager
// shim on PATH may take half a second.
const char* python() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Every entry as zipfile reads it: name, CRC-32, local header offset (moved
// by whatever zipfile takes for data in front), sizes; or its error.
constexpr const char* ENTRIES = R"(
import sys, zipfile
try:
    with zipfile.ZipFile(sys.argv[1]) as zf:
        for i in zf.infolist():
            print(i.filename, '%08x' % i.CRC, i.header_offset, i.file_size, i.compress_size)
except zipfile.BadZipFile as e:
    print('BadZipFile:', e)
)";

// The classic end record's counts, size and offset; the locator; and the
// record found where the locator points (argv[2]: bytes in front of the
// archive), with whether it ends exactly where the locator starts.
constexpr const char* RECORDS = R"(
import struct, sys
with open(sys.argv[1], 'rb') as f:
    size = f.seek(0, 2)
    start = f.seek(max(0, size - 65536))
    tail = f.read()
    at = tail.rfind(b'PK\x05\x06')
    print('end', *struct.unpack_from('<4H2I', tail, at + 4))
    sig, disk, offset, disks = struct.unpack_from('<IIQI', tail, at - 20)
    print('locator %08x' % sig, disk, offset, disks)
    f.seek(int(sys.argv[2]) + offset)
    rec = struct.unpack('<IQ2H2I4Q', f.read(56).ljust(56, b'\0'))
    ends = int(sys.argv[2]) + offset + 12 + rec[1] == start + at - 20
    print('record %08x' % rec[0], *rec[1:], 'ends at locator' if ends else 'does not end at locator')
)";

// Every entry's contents as zipfile reads them (hex, or the length when
// long), or the error reading them raised (with the message that says which
// check failed for a damaged archive); then what testzip() names.
constexpr const char* CONTENTS = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as zf:
    for i in zf.infolist():
        try:
            data = zf.read(i)
            shown = data.hex() if len(data) <= 64 else '%d bytes' % len(data)
        except zipfile.BadZipFile as e:
            shown = 'BadZipFile: %s' % e
        except Exception as e:
            shown = type(e).__name__
        print(i.filename, i.compress_type, '%08x' % i.CRC, i.file_size, i.compress_size, shown)
    try:
        print('testzip', zf.testzip())
    except Exception as e:
        print('testzip', type(e).__name__)
)";

std::string run_python(const char* script, const std::string& path, std::size_t front = 0) {
  RunResult r = run_program({python(), "-c", script, path, std::to_string(front)}, "", 60);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

std::string entries(const std::string& path) {
  return run_python(ENTRIES, path);
}

std::string records(const std::string& path, std::size_t front = 0) {
  return run_python(RECORDS, path, front);
}

std::string entries(const ArchiveBytes& a) {
  ScopedFile f(a.bytes());
  return entries(f.path());
}

std::string records(const ArchiveBytes& a) {
  ScopedFile f(a.bytes());
  return records(f.path(), a.front.size());
}

std::string contents(const ArchiveBytes& a) {
  ScopedFile f(a.bytes());
  return run_python(CONTENTS, f.path());
}

std::string hex(const std::string& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : data) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string crc_hex(const std::string& data) {
  return hex8(crc32_of(data));
}

// One line of CONTENTS for an entry zipfile reads back whole.
std::string read_back(const std::string& name, int method, const std::string& data,
                      std::size_t csize) {
  return name + " " + std::to_string(method) + " " + crc_hex(data) + " " +
         std::to_string(data.size()) + " " + std::to_string(csize) + " " +
         (data.size() <= 64 ? hex(data) : std::to_string(data.size()) + " bytes") + "\n";
}

// Text that deflate shrinks, long enough for several deflate blocks and,
// stored, for several stored blocks (at most 65535 bytes each).
std::string long_text() {
  std::string out;
  for (int i = 0; out.size() < 150000; ++i)
    out += "line " + std::to_string(i * 7919 % 100003) + " of a long text\n";
  return out;
}

constexpr const char* SATURATED_END = "end 0 0 65535 65535 4294967295 4294967295\n";

std::string locator_line(std::uint64_t offset) {
  return "locator 07064b50 0 " + std::to_string(offset) + " 1\n";
}

// The record's fields as RECORDS prints them, for a directory of `cd_size`
// bytes at `cd_offset` holding `count` headers.
std::string record_line(std::uint64_t size, std::uint64_t count, std::uint64_t cd_size,
                        std::uint64_t cd_offset) {
  return "record 06064b50 " + std::to_string(size) + " 45 45 0 0 " + std::to_string(count) + " " +
         std::to_string(count) + " " + std::to_string(cd_size) + " " + std::to_string(cd_offset) +
         " ends at locator\n";
}

ArchiveBytes two_entries() {
  ArchiveBytes a;
  a.prefix = Bytes(100, 'd');
  a.add("a.txt", 0x11111111).local_header_offset = 0;
  a.add("b.txt", 0x22222222).local_header_offset = 40;
  return a;
}

constexpr const char* TWO_ENTRIES = "a.txt 11111111 0 0 0\nb.txt 22222222 40 0 0\n";

TEST(ZipWriter, Zip64RecordsReadBackWithSaturatedEndRecord) {
  ArchiveBytes a = two_entries();
  a.zip64.emplace();
  std::uint64_t cd = a.central().size();
  EXPECT_EQ(entries(a), TWO_ENTRIES);
  EXPECT_EQ(records(a), SATURATED_END + locator_line(100 + cd) + record_line(44, 2, cd, 100));
}

TEST(ZipWriter, Zip64RecordsCanKeepClassicValuesReal) {
  ArchiveBytes a = two_entries();
  a.zip64.emplace().saturate = false;
  std::uint64_t cd = a.central().size();
  EXPECT_EQ(entries(a), TWO_ENTRIES);
  EXPECT_EQ(records(a), "end 0 0 2 2 " + std::to_string(cd) + " 100\n" + locator_line(100 + cd) +
                            record_line(44, 2, cd, 100));
}

// zipfile assumes no extensible data: only the records are checked here.
TEST(ZipWriter, ExtensibleSectorCountedInRecordSize) {
  ArchiveBytes a = two_entries();
  a.zip64.emplace().end.extensible = Bytes(10, 'x');
  std::uint64_t cd = a.central().size();
  EXPECT_EQ(records(a), SATURATED_END + locator_line(100 + cd) + record_line(54, 2, cd, 100));
}

TEST(ZipWriter, LocatorAloneAndLocatorAnywhere) {
  ArchiveBytes a = two_entries();
  a.zip64.emplace().write_end = false;
  std::uint64_t cd = a.central().size();
  // Without the record the locator points at itself.
  std::string seen = records(a);
  EXPECT_EQ(seen.find(SATURATED_END + locator_line(100 + cd) + "record 07064b50 "), 0u) << seen;
  a.zip64->write_end = true;
  a.zip64->locator.end_offset = 40;  // into the prefix
  seen = records(a);
  EXPECT_EQ(seen.find(SATURATED_END + locator_line(40) + "record 64646464 "), 0u) << seen;
}

// A directory past 4 GiB, found through the ZIP64 record, with a header
// whose sizes and offset are all in its ZIP64 extra field.
TEST(ZipWriter, SparseArchiveRecordsTrue64BitOffsets) {
  constexpr std::uint64_t hole = (std::uint64_t{1} << 32) + 7;
  ArchiveBytes a;
  a.prefix = Bytes(10, 'd');
  CentralHeader& h = a.add("big.bin", 0xcafef00d);
  h.set_extra(zip64_extra(std::uint64_t{6} << 30, std::uint64_t{5} << 30, std::uint64_t{1} << 32));
  h.uncompressed_size = h.compressed_size = h.local_header_offset = 0xFFFFFFFF;
  a.add("small.txt", 0x12345678).local_header_offset = 3;
  a.zip64.emplace();
  TempDir dir;
  std::string path = dir / "big.zip";
  ASSERT_TRUE(write_sparse(path, a, hole));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 10 + hole + a.tail().size());
  EXPECT_LT(st.st_blocks, 1024);  // the hole takes no space
  EXPECT_EQ(entries(path),
            "big.bin cafef00d 4294967296 6442450944 5368709120\n"
            "small.txt 12345678 3 0 0\n");
  std::uint64_t cd = a.central().size();
  EXPECT_EQ(records(path),
            SATURATED_END + locator_line(10 + hole + cd) + record_line(44, 2, cd, 10 + hole));
}

TEST(ZipWriter, Zip64ExtraHoldsOnlyTheValuesGiven) {
  EXPECT_EQ(zip64_extra({}, {}, {}), Bytes({0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(zip64_extra({}, {}, {}, 0x04030201),
            Bytes({0x01, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04}));
  ArchiveBytes a;
  CentralHeader& h = a.add("x", 1).set_extra(zip64_extra({}, 0x100000000, {}));
  h.compressed_size = 0xFFFFFFFF;
  h.uncompressed_size = 9;
  EXPECT_EQ(entries(a), "x 00000001 0 9 4294967296\n");
}

TEST(ZipWriter, ExtraBlockCanClaimMoreThanItHolds) {
  ArchiveBytes a;
  Bytes eight;
  put_u64(eight, 5);
  a.add("x", 1).set_extra(extra_block(ZIP64_EXTRA_ID, eight, 16)).uncompressed_size = 0xFFFFFFFF;
  EXPECT_EQ(entries(a), "BadZipFile: Corrupt extra field 0001 (size=16)\n");
  a.headers[0].set_extra(extra_block(ZIP64_EXTRA_ID, eight));
  EXPECT_EQ(entries(a), "x 00000001 0 5 0\n");
}

// zipfile takes the difference between where the directory is and where the
// records say it is for data in front, and adds it to every offset.
TEST(ZipWriter, FrontIsCountedInNoOffset) {
  ArchiveBytes a = two_entries();
  a.front = to_bytes("#!/bin/sh\nexit 1\n");
  constexpr const char* moved = "a.txt 11111111 17 0 0\nb.txt 22222222 57 0 0\n";
  EXPECT_EQ(entries(a), moved);
  a.zip64.emplace();
  std::uint64_t cd = a.central().size();
  EXPECT_EQ(entries(a), moved);
  EXPECT_EQ(records(a), SATURATED_END + locator_line(100 + cd) + record_line(44, 2, cd, 100));
}

// Entries with data after bytes that belong to no entry and before one more
// such byte, with data in front and ZIP64 records: each reads back whole.
TEST(ZipWriter, FilesWithDataReadBackByZipfile) {
  ArchiveBytes a;
  a.front = to_bytes("#!/bin/sh\nexit 1\n");
  a.prefix = to_bytes("not an entry");
  const std::string stored = "stored as it is\n";
  const std::string zeds = std::string(40, 'z') + "\n";
  const std::string text = long_text();
  a.add_file("stored.txt", stored);
  a.add_file("empty", "");
  a.add_file("deflated.txt", zeds, 8, deflate_raw(zeds, 6));
  a.add_file("long.txt", text, 8, deflate_raw(text, 6));
  a.prefix.push_back('x');  // between the last entry and the directory
  a.zip64.emplace();
  EXPECT_EQ(contents(a),
            read_back("stored.txt", 0, stored, stored.size()) + read_back("empty", 0, "", 0) +
                read_back("deflated.txt", 8, zeds, deflate_raw(zeds, 6).size()) +
                read_back("long.txt", 8, text, deflate_raw(text, 6).size()) + "testzip None\n");
}

// zipfile reads only the local header's signature, name and lengths: the
// other fields are unpacked here, for each entry, from where the directory
// says its local header starts.
constexpr const char* LOCAL_HEADERS = R"(
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as zf, open(sys.argv[1], 'rb') as f:
    for i in zf.infolist():
        f.seek(i.header_offset)
        h = struct.unpack('<I5H3I2H', f.read(30))
        print('%08x' % h[0], *h[1:6], '%08x' % h[6], *h[7:], f.read(h[9]).decode())
)";

TEST(ZipWriter, LocalHeaderRepeatsCentralFields) {
  ArchiveBytes a;
  a.front = to_bytes("front");
  a.prefix = to_bytes("prefix");
  const std::string text = "local header fields\n";
  a.add_file("stored.txt", text);
  const Bytes z = deflate_raw(text, 9);
  a.add_file("deflated.txt", text, 8, z, [](LocalHeader& l) { l.extra = Bytes(5, 'e'); });
  ScopedFile f(a.bytes());
  // Version 20, no flags, the default time 0x6000 and date 0x5821.
  const std::string fixed = "04034b50 20 0 ";
  EXPECT_EQ(run_python(LOCAL_HEADERS, f.path()),
            fixed + "0 24576 22561 " + crc_hex(text) + " 20 20 10 0 stored.txt\n" + fixed +
                "8 24576 22561 " + crc_hex(text) + " " + std::to_string(z.size()) +
                " 20 12 5 deflated.txt\n");
}

// Sizes and offset saturated in the central header, their values in its
// ZIP64 extra field, as a writer of members past 4 GiB leaves them.
TEST(ZipWriter, FileWithSizesAndOffsetInZip64Extra) {
  ArchiveBytes a;
  a.add_file("first.txt", "first\n");
  const std::string text = "sizes and offset in the extra field\n";
  CentralHeader& h = a.add_file("zip64.txt", text, 8, deflate_raw(text, 6));
  h.set_extra(zip64_extra(h.uncompressed_size, h.compressed_size, h.local_header_offset));
  h.uncompressed_size = h.compressed_size = h.local_header_offset = 0xFFFFFFFF;
  a.zip64.emplace();
  EXPECT_EQ(contents(a), read_back("first.txt", 0, "first\n", 6) +
                             read_back("zip64.txt", 8, text, deflate_raw(text, 6).size()) +
                             "testzip None\n");
}

// The local header is damaged through the hook, the central one through the
// reference returned, each without the other.
TEST(ZipWriter, LocalAndCentralHeadersDamagedApart) {
  ArchiveBytes a;
  a.add_file("longer-extra", "ok", 0, std::nullopt, [](LocalHeader& l) {
    l.extra = extra_block(0x5455, Bytes(9, 't'));  // skipped by its own length
  });
  a.add_file("bad-signature", "x", 0, std::nullopt, [](LocalHeader& l) { l.signature = 0; });
  a.add_file("name", "x", 0, std::nullopt, [](LocalHeader& l) { l.name = "other"; });
  a.add_file("bad-crc", "x").crc32 ^= 1;
  a.add_file("deflate64", "x").method = 9;
  a.add_file("encrypted", "x").flags = 1;
  // A line of CONTENTS for the one-byte entries zipfile refuses.
  auto refused = [](const std::string& name, int method, std::uint32_t crc, const char* error) {
    return name + " " + std::to_string(method) + " " + hex8(crc) + " 1 1 " + error + "\n";
  };
  const std::uint32_t x = crc32_of("x");
  EXPECT_EQ(contents(a),
            read_back("longer-extra", 0, "ok", 2) +
                refused("bad-signature", 0, x, "BadZipFile: Bad magic number for file header") +
                refused("name", 0, x,
                        "BadZipFile: File name in directory 'name' and header b'other' differ.") +
                refused("bad-crc", 0, x ^ 1, "BadZipFile: Bad CRC-32 for file 'bad-crc'") +
                refused("deflate64", 9, x, "NotImplementedError") +
                refused("encrypted", 0, x, "RuntimeError") + "testzip bad-signature\n");
}

TEST(ZipWriter, AddFileWantsCompressedBytesForOtherMethods) {
  ArchiveBytes a;
  EXPECT_THROW(a.add_file("x", "data", 8), std::invalid_argument);
  EXPECT_TRUE(a.headers.empty());
  EXPECT_TRUE(a.prefix.empty());
}

// zipfile inflates with window bits -15 too: a zlib header would fail.
// Level 0 writes stored blocks, larger than the data; level 9 compresses.
TEST(ZipWriter, DeflateRawAtEveryLevelReadsBack) {
  const std::string text = long_text();
  ArchiveBytes a;
  std::size_t sizes[3];
  int levels[3] = {0, 1, 9};
  for (int i = 0; i < 3; ++i) {
    Bytes z = deflate_raw(text, levels[i]);
    sizes[i] = z.size();
    a.add_file("level" + std::to_string(levels[i]), text, 8, std::move(z));
  }
  EXPECT_GT(sizes[0], text.size());
  EXPECT_LT(sizes[2], text.size() / 4);
  EXPECT_EQ(contents(a), read_back("level0", 8, text, sizes[0]) +
                             read_back("level1", 8, text, sizes[1]) +
                             read_back("level9", 8, text, sizes[2]) + "testzip None\n");
}

TEST(ZipWriter, Crc32OfTheCheckString) {
  EXPECT_EQ(crc32_of("123456789"), 0xCBF43926u);  // the catalogued check value
  EXPECT_EQ(crc32_of(""), 0u);
}

TEST(ZipWriter, ForgedCrcHitsEveryTarget) {
  for (std::uint32_t target : {0u, 1u, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEFu}) {
    for (const std::string data : {"", "a", "a longer text of some bytes\n"}) {
      std::string forged = forge_crc(data, target);
      EXPECT_EQ(forged.size(), data.size() + 4);
      EXPECT_EQ(forged.compare(0, data.size(), data), 0);
      EXPECT_EQ(crc32_of(forged), target) << std::hex << target << " after '" << data << "'";
    }
  }
}

// zipfile checks each entry's CRC-32 with zlib's, against the one directory
// value both contents were forged to.
TEST(ZipWriter, ForgedContentsShareCrcAndSize) {
  const std::string one = forge_crc("the first content", 0x600DC0DE);
  const std::string two = forge_crc("a second content!", 0x600DC0DE);
  ASSERT_EQ(one.size(), two.size());
  ASSERT_NE(one, two);
  ArchiveBytes a;
  a.add_file("one", one);
  a.add_file("two", two, 8, deflate_raw(two, 6));
  EXPECT_EQ(contents(a), "one 0 600dc0de 21 21 " + hex(one) + "\ntwo 8 600dc0de 21 " +
                             std::to_string(deflate_raw(two, 6).size()) + " " + hex(two) +
                             "\ntestzip None\n");
}

// One entry of verify/manifest.txt.
struct Listed {
  std::string name;
  int method = -1;
  unsigned flags = 0;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  std::uint64_t csize = 0;
};

struct VerifyManifest {
  std::vector<std::string> order;  // archives as listed, relative to the fixture directory
  std::map<std::string, std::vector<Listed>> archives;
  std::map<std::string, std::string> skipped;  // archive: the tool that was missing
};

VerifyManifest read_verify_manifest() {
  VerifyManifest m;
  std::ifstream in(std::string(ZORV_FIXTURE_DIR) + "/verify/manifest.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, first;
    words >> kind >> first;
    if (kind == "archive") {
      m.order.push_back(first);
    } else if (kind == "skipped") {
      words >> m.skipped[first];
    } else if (kind == "entry" && !m.order.empty()) {
      Listed e;
      e.name = first;
      words >> e.method >> std::hex >> e.flags >> e.crc >> std::dec >> e.size >> e.csize;
      if (words) m.archives[m.order.back()].push_back(e);
    } else {
      ADD_FAILURE() << "unexpected line in verify/manifest.txt: " << line;
    }
  }
  return m;
}

// Reads every entry of the archives named, with the fixtures' password.
constexpr const char* READ_ALL = R"(
import sys, zipfile
for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as zf:
        for i in zf.infolist():
            try:
                zf.read(i, pwd=b'secret')
                print(i.filename, 'read')
            except Exception as e:
                print(i.filename, type(e).__name__)
)";

// The build's verify/ folder holds one content under every method: each
// entry has the method and flags its writer was asked for, all share one
// CRC-32 and size, and zipfile reads back those it can decompress (checking
// their CRC-32). An archive may be missing only for want of its tool.
TEST(VerifyFixtures, OneContentUnderEveryMethod) {
  struct Expected {
    std::string archive;
    std::vector<std::pair<std::string, int>> entries;  // name, method
    std::string tool;                                  // may be missing: the archive then is
  };
  const std::vector<Expected> expected = {
      {"verify/stored.zip", {{"stored.txt", 0}}, ""},
      {"verify/deflated.zip", {{"deflated.txt", 8}}, ""},
      {"verify/bzip2-lzma.zip", {{"bzip2.txt", 12}, {"lzma.txt", 14}}, ""},
      {"verify/xz.zip", {{"stored.txt", 0}, {"xz.txt", 95}}, ""},
      {"verify/zstd.zip", {{"stored.txt", 0}, {"zstd.txt", 93}}, "zstd"},
      {"verify/encrypted.zip", {{"data.txt", 8}}, "zip"},
      {"verify/deflate64.zip", {{"data.txt", 9}}, "7z"},
  };
  VerifyManifest m = read_verify_manifest();
  ASSERT_FALSE(m.archives.empty()) << "fixtures missing";
  EXPECT_EQ(m.order.size() + m.skipped.size(), expected.size());
  const std::uint32_t crc = m.archives.begin()->second.at(0).crc;
  std::vector<std::string> args = {python(), "-c", READ_ALL};
  std::string want_read;
  for (const Expected& e : expected) {
    auto it = m.archives.find(e.archive);
    if (it == m.archives.end()) {
      auto skip = m.skipped.find(e.archive);
      EXPECT_TRUE(!e.tool.empty() && skip != m.skipped.end() && skip->second == e.tool)
          << e.archive << " neither written nor skipped for want of " << e.tool;
      std::printf("note: %s not written, %s is not installed\n", e.archive.c_str(), e.tool.c_str());
      continue;
    }
    args.push_back(std::string(ZORV_FIXTURE_DIR) + "/" + e.archive);
    ASSERT_EQ(it->second.size(), e.entries.size()) << e.archive;
    for (std::size_t i = 0; i < e.entries.size(); ++i) {
      const Listed& l = it->second[i];
      SCOPED_TRACE(e.archive + " " + l.name);
      EXPECT_EQ(l.name, e.entries[i].first);
      EXPECT_EQ(l.method, e.entries[i].second);
      EXPECT_EQ(l.flags & 1, e.archive == "verify/encrypted.zip" ? 1u : 0u);
      EXPECT_EQ(l.crc, crc);
      EXPECT_EQ(l.size, 100u * 1024);
      if (l.method == 0)
        EXPECT_EQ(l.csize, l.size);
      else
        EXPECT_LT(l.csize, l.size / 2);  // compressed indeed
      bool readable = l.method == 0 || l.method == 8 || l.method == 12 || l.method == 14;
      want_read += l.name + (readable ? " read\n" : " NotImplementedError\n");
    }
  }
  RunResult r = run_program(args, "", 60);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, want_read);
}

}  // namespace
}  // namespace zorv::test
