// The writer's ZIP64 records, extra fields, holes and data in front, read
// back by an independent reader: Python's zipfile for the entries, and a few
// lines of struct unpacking for what zipfile does not check (it ignores the
// locator's offset, the record's size field and the counts).
#include "support/zip_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace zorv::test
