// ZIP64 records and data in front of an archive, through the reader: the
// 64-bit end record replaces the saturated classic values, per-entry ZIP64
// fields give 64-bit sizes and offsets, a prefix (or a whole archive in
// front) is found and skipped, and hostile records give their message or
// leave the classic values in force.
#include "zip/zip64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/files.h"
#include "support/said.h"
#include "support/zip_writer.h"
#include "zip/bytes.h"
#include "zip/zipdir.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Bytes;
using test::ScopedFile;
using test::to_bytes;

constexpr std::uint64_t k64 = ~std::uint64_t{0};

struct Entry64 {
  std::string name;
  std::uint64_t size, csize, offset;
  bool operator==(const Entry64&) const = default;
};

// What openzip made of an archive file: -1 positions when it did not open.
struct Opened {
  bool opened = false;
  std::string err;  // the path replaced by ARCHIVE
  ZipLayout layout{};
  std::uint64_t total = 0;
  std::vector<Entry64> entries;
  ZipRead stop = ZipRead::End;
};

Opened open_file(const std::string& path) {
  Opened o;
  test::Said said;
  if (ZipDir* zd = openzip(path.c_str(), said.diag())) {
    o.opened = true;
    o.layout = zip_layout(zd);
    o.layout.cd = nullptr;  // not valid after closezip
    o.total = zip_total_entries(zd);
    EXPECT_EQ(zip_data_shift(zd), o.layout.shift);
    const ZipEntry* e;
    while ((o.stop = readzip(zd, &e, said.diag())) == ZipRead::Entry) {
      o.entries.push_back({std::string(e->name, e->name_len), e->uncompressed_size64,
                           e->compressed_size64, e->local_header_offset64});
    }
    closezip(zd);
  }
  o.err = said.text();
  for (std::size_t at; (at = o.err.find(path)) != std::string::npos;)
    o.err.replace(at, path.size(), "ARCHIVE");
  return o;
}

Opened open_bytes(const Bytes& bytes) {
  ScopedFile f(bytes);
  return open_file(f.path());
}

// Three entries with true 32-bit sizes and offsets, ZIP64 end records and
// saturated classic fields: only the ZIP64 record tells where the
// directory is.
ArchiveBytes zip64_archive() {
  ArchiveBytes a;
  a.prefix = Bytes(300, 'L');  // stands for local headers and data
  for (int i = 0; i < 3; ++i) {
    test::CentralHeader& h = a.add("f" + std::to_string(i), 0x100u + i);
    h.uncompressed_size = 10u + i;
    h.compressed_size = 5u + i;
    h.local_header_offset = 100u * i;
  }
  a.zip64.emplace();
  return a;
}

const std::vector<Entry64> kThree = {{"f0", 10, 5, 0}, {"f1", 11, 6, 100}, {"f2", 12, 7, 200}};

TEST(Zip64, EndRecordReplacesSaturatedClassicValues) {
  ArchiveBytes a = zip64_archive();
  Opened o = open_bytes(a.bytes());
  ASSERT_TRUE(o.opened) << o.err;
  EXPECT_EQ(o.entries, kThree);
  EXPECT_EQ(o.stop, ZipRead::End);
  std::int64_t record = 300 + static_cast<std::int64_t>(a.central().size());
  EXPECT_EQ(o.layout.end64_pos, record);
  EXPECT_EQ(o.layout.ecd_pos, record + 56 + 20);
  EXPECT_EQ(o.layout.ecd.cd_offset, 0xffffffffu);  // the classic field as stored
  EXPECT_EQ(o.layout.end.cd_offset, 300u);
  EXPECT_EQ(o.total, 3u);
  EXPECT_EQ(o.layout.shift, 0);
}

// A record with an extensible data sector does not end right before the
// locator: it is found at the locator's offset.
TEST(Zip64, RecordWithExtensibleDataAtLocatorOffset) {
  ArchiveBytes a = zip64_archive();
  a.zip64->end.extensible = Bytes(37, 'x');
  Opened o = open_bytes(a.bytes());
  ASSERT_TRUE(o.opened) << o.err;
  EXPECT_EQ(o.entries, kThree);
  EXPECT_EQ(o.layout.end64_pos, 300 + static_cast<std::int64_t>(a.central().size()));
  EXPECT_EQ(o.layout.shift, 0);
}

// `cat stub a.zip`: offsets count from the archive's own start. Classic and
// ZIP64 (whose locator then misses the record: it stands right before it).
TEST(Zip64, DataInFrontIsSkipped) {
  Bytes stub = to_bytes("#!/bin/sh\necho self-extracting\nexit 0\n");
  for (bool zip64 : {false, true}) {
    ArchiveBytes a = zip64 ? zip64_archive() : test::archive_of({{"f0", 0x100}, {"f1", 0x101}});
    a.front = stub;
    Opened o = open_bytes(a.bytes());
    ASSERT_TRUE(o.opened) << zip64 << ": " << o.err;
    EXPECT_EQ(o.layout.shift, static_cast<std::int64_t>(stub.size())) << zip64;
    if (zip64) {
      EXPECT_EQ(o.entries, kThree);
      EXPECT_EQ(o.layout.end64_pos,
                static_cast<std::int64_t>(stub.size() + 300 + a.central().size()));
    } else {
      ASSERT_EQ(o.entries.size(), 2u);
      EXPECT_EQ(o.entries[1].name, "f1");
      EXPECT_EQ(o.layout.end64_pos, -1);
    }
  }
}

// Junk between the directory and the end record: a central header where
// the gap would move the directory takes it there, as unzip and Python's
// zipfile take it; without one the directory stays where it is recorded.
TEST(Zip64, JunkBeforeTheEndRecordMovesTheDirectoryOnlyOntoAHeader) {
  for (bool header_there : {false, true}) {
    ArchiveBytes a = test::archive_of({{"f0", 0x100}});
    a.prefix = Bytes(50, 'p');
    a.end.cd_size = static_cast<std::uint32_t>(a.central().size());
    a.headers.push_back(a.headers[0]);  // a second header, not counted in cd_size
    a.headers[1].name = "j0";  // as long as f0's: it starts one gap after the directory
    if (!header_there) a.headers[1].signature = 0x02014b51;
    a.end.disk_entries = 1;
    a.end.total_entries = 1;
    Opened o = open_bytes(a.bytes());
    ASSERT_TRUE(o.opened) << header_there << ": " << o.err;
    EXPECT_EQ(o.layout.shift, header_there ? 46 + 2 : 0);
    ASSERT_EQ(o.entries.size(), 1u) << header_there;
    EXPECT_EQ(o.entries[0].name, header_there ? "j0" : "f0");
  }
}

// `cat a.zip b.zip`, two archives of one layout: b.zip's end record leads
// to b.zip's directory, moved by a.zip's length, though a.zip's directory
// (and, with ZIP64, a.zip's end record) stands at the recorded offset, as
// unzip and Python's zipfile read it; b.zip's local header offsets moved by
// the shift reach b.zip's local headers.
TEST(Zip64, ConcatenatedArchivesReadTheLastOne) {
  auto archive = [](const std::string& first, const std::string& second, bool zip64) {
    ArchiveBytes a;
    a.add_file(first, "data of " + first);
    a.add_file(second, "data of " + second);
    if (zip64) a.zip64.emplace();
    return a;
  };
  for (bool zip64 : {false, true}) {
    Bytes both = archive("a-one", "a-two", zip64).bytes();
    std::size_t b_at = both.size();
    Bytes b = archive("b-one", "b-two", zip64).bytes();
    both.insert(both.end(), b.begin(), b.end());
    Opened o = open_bytes(both);
    ASSERT_TRUE(o.opened) << zip64 << ": " << o.err;
    EXPECT_EQ(o.layout.shift, static_cast<std::int64_t>(b_at)) << zip64;
    ASSERT_EQ(o.entries.size(), 2u) << zip64;
    for (const Entry64& e : o.entries) {
      std::size_t local = b_at + e.offset;
      ASSERT_LE(local + 30 + e.name.size(), both.size()) << zip64 << " " << e.name;
      EXPECT_EQ(le_u32(both.data() + local), 0x04034b50u) << zip64 << " " << e.name;
      EXPECT_EQ(std::string(both.begin() + local + 30, both.begin() + local + 30 + e.name.size()),
                e.name);
    }
    EXPECT_EQ(o.entries[0].name, "b-one");
    EXPECT_EQ(o.entries[1].name, "b-two");
  }
}

// The directory beyond 4 GiB in a sparse file (no 4 GiB are written), with
// local header offsets that only the ZIP64 extra field can hold.
TEST(Zip64, DirectoryBeyondFourGib) {
  constexpr std::uint64_t hole = (std::uint64_t{9} << 29) + 12345;  // 4.5 GiB and a bit
  ArchiveBytes a;
  a.prefix = Bytes(64, 'L');
  a.add("near", 0x1).local_header_offset = 0;
  test::CentralHeader& far = a.add("far", 0x2);
  far.local_header_offset = 0xffffffffu;
  far.set_extra(test::zip64_extra(std::nullopt, std::nullopt, hole - 1000));
  a.zip64.emplace();
  test::TempDir dir;
  std::string path = dir / "big.zip";
  ASSERT_TRUE(test::write_sparse(path, a, hole));
  Opened o = open_file(path);
  ASSERT_TRUE(o.opened) << o.err;
  EXPECT_EQ(o.layout.end.cd_offset, 64 + hole);
  EXPECT_EQ(o.entries, (std::vector<Entry64>{{"near", 0, 0, 0}, {"far", 0, 0, hole - 1000}}));
}

TEST(Zip64, PerEntryFieldsTakeOnlyWhatIsSaturatedAndPresent) {
  ArchiveBytes a;
  auto add = [&a](const std::string& name, std::uint32_t size, std::uint32_t csize,
                  std::uint32_t offset, Bytes extra) {
    test::CentralHeader& h = a.add(name, 0x77);
    h.uncompressed_size = size;
    h.compressed_size = csize;
    h.local_header_offset = offset;
    h.set_extra(std::move(extra));
  };
  constexpr std::uint32_t S = 0xffffffffu;
  Bytes other = test::extra_block(0x5455, Bytes(5, 't'));  // a timestamp block first
  Bytes all = test::zip64_extra(std::uint64_t{1} << 33, std::uint64_t{1} << 32, 7);
  other.insert(other.end(), all.begin(), all.end());
  add("all three, after another block", S, S, S, other);
  add("compressed only", 9, S, 4,
      test::zip64_extra(std::nullopt, std::uint64_t{5} << 32, std::nullopt));
  add("exactly 0xFFFFFFFF, no extra", S, S, 3, {});
  add("values missing from the extra", S, S, S,
      test::zip64_extra(std::uint64_t{6} << 32, std::nullopt, std::nullopt));
  add("block longer than the extra", S, 2, 3,
      test::extra_block(test::ZIP64_EXTRA_ID,
                        test::zip64_extra(std::uint64_t{1} << 40, std::nullopt, std::nullopt),
                        200));
  add("unsaturated fields ignore the extra", 1, 2, 3, test::zip64_extra(8, 9, 10));
  Opened o = open_bytes(a.bytes());
  ASSERT_TRUE(o.opened) << o.err;
  EXPECT_EQ(
      o.entries,
      (std::vector<Entry64>{
          {"all three, after another block", std::uint64_t{1} << 33, std::uint64_t{1} << 32, 7},
          {"compressed only", 9, std::uint64_t{5} << 32, 4},
          {"exactly 0xFFFFFFFF, no extra", S, S, 3},
          {"values missing from the extra", std::uint64_t{6} << 32, S, S},
          {"block longer than the extra", S, 2, 3},
          {"unsaturated fields ignore the extra", 1, 2, 3},
      }));
}

// An extra field running past the directory's end is read only as far as
// the directory goes (the sanitizer build catches a read beyond it).
TEST(Zip64, ExtraRunningPastTheDirectoryIsCutThere) {
  ArchiveBytes a;
  test::CentralHeader& h = a.add("last", 0x1);
  h.uncompressed_size = 0xffffffffu;
  h.set_extra(test::zip64_extra(std::uint64_t{3} << 32, std::nullopt, std::nullopt));
  h.set_extra_len(60000);  // claims far more than the directory holds
  a.end.cd_size = static_cast<std::uint32_t>(a.central().size() - 4);  // cut into the value
  Bytes bytes = a.bytes();
  Opened o = open_bytes(bytes);
  ASSERT_TRUE(o.opened) << o.err;
  ASSERT_EQ(o.entries.size(), 1u);
  EXPECT_EQ(o.entries[0].size, 0xffffffffu);  // the value lies partly outside: not taken
}

struct Hostile64 {
  const char* what;
  void (*damage)(ArchiveBytes&);
  const char* err;  // empty: opens and reads the three entries
  std::uint64_t total;
};

constexpr const char* DISAGREE = "zorv: error, ZIP64 and classic end records disagree: ARCHIVE\n";

TEST(Zip64, HostileRecordsGiveTheirMessageOrTheClassicValues) {
  const std::vector<Hostile64> cases = {
      {"locator pointing past the end: the record right before it",
       [](ArchiveBytes& a) { a.zip64->locator.end_offset = k64 - 10; }, "", 3},
      {"locator pointing past the end, no record, classic values true",
       [](ArchiveBytes& a) {
         a.zip64->write_end = false;
         a.zip64->saturate = false;
         a.zip64->locator.end_offset = std::uint64_t{1} << 62;
       },
       "", 3},
      {"locator without a record, classic values saturated",
       [](ArchiveBytes& a) { a.zip64->write_end = false; },
       "zorv: error reading central directory: ARCHIVE\n", 0},
      {"record's signature wrong: the classic values stand (true ones)",
       [](ArchiveBytes& a) {
         a.zip64->end.signature = 0x06064b51;
         a.zip64->saturate = false;
       },
       "", 3},
      {"counts of 2^64-1: accepted, and they do not bound the walk",
       [](ArchiveBytes& a) {
         a.zip64->end.disk_entries = k64;
         a.zip64->end.total_entries = k64;
       },
       "", k64},
      {"count 0",
       [](ArchiveBytes& a) {
         a.zip64->end.disk_entries = 0;
         a.zip64->end.total_entries = 0;
       },
       "zorv: error, spanned disks are not supported: ARCHIVE\n", 0},
      {"counts differ", [](ArchiveBytes& a) { a.zip64->end.total_entries = 4; },
       "zorv: error, spanned disks are not supported: ARCHIVE\n", 0},
      {"disk numbers differ, the classic ones saturated",
       [](ArchiveBytes& a) {
         a.end.disk_number = 0xffff;
         a.end.cd_disk = 0xffff;
         a.zip64->end.cd_disk = 1;
       },
       "zorv: error, spanned disks are not supported: ARCHIVE\n", 0},
      {"disk number differs from a classic one not saturated",
       [](ArchiveBytes& a) { a.zip64->end.cd_disk = 1; }, DISAGREE, 0},
      {"classic values true, the record's count another",
       [](ArchiveBytes& a) {
         a.zip64->saturate = false;
         a.zip64->end.disk_entries = 2;
         a.zip64->end.total_entries = 2;
       },
       DISAGREE, 0},
      {"classic size true, the record's another; count and offset saturated",
       [](ArchiveBytes& a) {
         a.end.cd_size = static_cast<std::uint32_t>(a.central().size());
         a.zip64->end.cd_size = a.central().size() - 1;
       },
       DISAGREE, 0},
      {"classic values true, the record's offset another",
       [](ArchiveBytes& a) {
         a.zip64->saturate = false;
         a.zip64->end.cd_offset = 0;
       },
       DISAGREE, 0},
      {"classic values true and the record's the same",
       [](ArchiveBytes& a) { a.zip64->saturate = false; }, "", 3},
      {"directory size beyond the file", [](ArchiveBytes& a) { a.zip64->end.cd_size = k64 / 2; },
       "zorv: error reading central directory: ARCHIVE\n", 0},
      {"directory offset beyond the file", [](ArchiveBytes& a) { a.zip64->end.cd_offset = k64; },
       "zorv: error reading central directory: ARCHIVE\n", 0},
      {"record's size field wrong: not trusted",
       [](ArchiveBytes& a) { a.zip64->end.record_size = 3; }, "", 3},
  };
  for (const Hostile64& c : cases) {
    ArchiveBytes a = zip64_archive();
    c.damage(a);
    Opened o = open_bytes(a.bytes());
    EXPECT_EQ(o.err, c.err) << c.what;
    EXPECT_EQ(o.opened, *c.err == '\0') << c.what;
    if (o.opened) {
      EXPECT_EQ(o.entries, kThree) << c.what;
      EXPECT_EQ(o.total, c.total) << c.what;
    }
  }
}

// Written with Python's zipfile (disagreeing_ends.py): a classic end record
// with true values for the directory of real.txt, and a ZIP64 end record
// for another directory of the same size, holding fake.txt. Which one the
// writer meant is unknown: the archive is refused, and neither is listed.
TEST(Zip64, EndRecordsForTwoDirectoriesAreRefused) {
  test::TempDir dir;
  std::string path = dir / "two-ends.zip";
  test::RunResult made = test::run_program(
      {"/usr/bin/python3", std::string(ZORV_TEST_SUPPORT_DIR) + "/disagreeing_ends.py", path}, "",
      60);
  ASSERT_EQ(made.status, 0) << made.err;
  Opened o = open_file(path);
  EXPECT_FALSE(o.opened);
  EXPECT_EQ(o.err, DISAGREE);
  EXPECT_TRUE(o.entries.empty());
}

// A directory of 4 GiB or more is refused by name, even when the file is
// big enough to hold it (sparse: nothing of it is written).
TEST(Zip64, DirectoryOfFourGibIsRefused) {
  ArchiveBytes a = zip64_archive();
  a.zip64->end.cd_size = std::uint64_t{1} << 32;
  a.zip64->end.cd_offset = 0;
  test::TempDir dir;
  std::string path = dir / "huge.zip";
  ASSERT_TRUE(test::write_sparse(path, a, std::uint64_t{1} << 32));
  Opened o = open_file(path);
  EXPECT_FALSE(o.opened);
  EXPECT_EQ(o.err, "zorv: error, central directory of 4 GiB or more: ARCHIVE\n");
}

// End to end, `cat a.zip b.zip` with -c: b.zip's member is the one named
// and the one whose data is compared. a.zip's member at the same place has
// the same CRC-32 and length and other data, so reading a.zip's directory,
// or b.zip's with a.zip's data, would split the group.
TEST(Zip64Run, ContentCheckOfConcatenatedArchivesReadsTheLastOne) {
  std::string in_a = test::forge_crc(std::string(3000, 'a'), 0x0c0ffee0);
  std::string in_b = test::forge_crc(std::string(3000, 'b'), 0x0c0ffee0);
  ArchiveBytes a;
  a.add_file("member", in_a);
  ArchiveBytes b;
  b.add_file("nember", in_b);
  ArchiveBytes copy;
  copy.add_file("copy", in_b);
  test::TempDir dir;
  Bytes both = a.bytes();
  Bytes tail = b.bytes();
  both.insert(both.end(), tail.begin(), tail.end());
  dir.write("cat.zip", both);
  dir.write("copy.zip", copy.bytes());
  test::expect_run(test::run_zorv({"-c", "cat.zip", "copy.zip"}, dir.path()), 0,
                   test::block(0x0c0ffee0, {"cat.zip, nember", "copy.zip, copy"}), "");
}

}  // namespace
}  // namespace zorv
