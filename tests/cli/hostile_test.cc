// End-to-end runs over hostile and large collections: huge directories, deep
// trees, link cycles, archives at the limits of every 16- and 32-bit field,
// false end records, truncated directories, files that are not archives.
// Every case puts a normal pair of duplicate archives around the hostile one
// and checks that the pair's group is still printed exactly, that the only
// diagnostics are the expected ones, and that the run completes with status 0.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::archive;
using test::ArchiveBytes;
using test::block;
using test::Bytes;
using test::Group;
using test::parse_report;
using test::RunResult;
using test::TempDir;

namespace fs = std::filesystem;

// The pair around every hostile archive: a.zip holds x, b.zip holds y, both
// with kPair. b.zip also holds z with kTwin, whose other copy (when there is
// one) sits in the hostile archive after the entry carrying kPair.
constexpr std::uint32_t kPair = 0x5a5a0001;
constexpr std::uint32_t kTwin = 0xffffffff;  // the largest CRC-32 is an ordinary one

constexpr std::uint16_t k16 = 0xffff;  // field values with every bit set
constexpr std::uint32_t k32 = 0xffffffff;

const std::string kErrEcd = "zorv: error reading ECD (End of Central Directory): ";
const std::string kErrCd = "zorv: error reading central directory: ";
const std::string kErrSpan = "zorv: error, spanned disks are not supported: ";
const std::string kErrName = "zorv: error, invalid filename length in directory: ";
const std::string kErrSig = "zorv: error, invalid header signature in directory: ";

// The groups of `out`, whatever their order (that follows the index tree's
// shape), must be exactly `expected`.
void expect_groups(const std::string& out, std::vector<Group> expected,
                   const std::string& summary = "") {
  std::string rest;
  std::vector<Group> got = parse_report(out, &rest);
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(rest, summary);
}

Group pair_group(const std::vector<std::string>& between = {}) {
  std::vector<std::string> members = {"a.zip, x"};
  members.insert(members.end(), between.begin(), between.end());
  members.push_back("b.zip, y");
  return Group{kPair, members};
}

// A file's bytes and the times that any write or metadata change would move.
struct Stamp {
  Bytes bytes;
  std::int64_t size;
  timespec mtime;
  timespec ctime;
  bool operator==(const Stamp& o) const {
    return bytes == o.bytes && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

std::map<std::string, Stamp> snapshot(const std::string& root) {
  std::map<std::string, Stamp> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    struct stat st;
    EXPECT_EQ(stat(e.path().c_str(), &st), 0);
    files[e.path()] = Stamp{test::read_file(e.path()), st.st_size, st.st_mtim, st.st_ctim};
  }
  return files;
}

// Writes a file in an existing directory with two system calls: ten
// thousand of them stay quick under the sanitizers too.
void write_file(const std::string& path, const Bytes& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  auto size = static_cast<ssize_t>(bytes.size());
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), size) << path;
  close(fd);
}

class Hostile : public test::CliRun {
 public:
  void put_pair() {
    put("a.zip", archive({{"x", kPair}}));
    put("b.zip", archive({{"y", kPair}, {"z", kTwin}}));
  }
  void symlink_at(const std::string& target, const std::string& rel) {
    ASSERT_EQ(symlink(target.c_str(), (dir_ / rel).c_str()), 0) << rel;
  }
};

// --- large and hostile collections ---

TEST_F(Hostile, TenThousandArchivesInOneDirectory) {
  put_pair();
  // first.zip, named first, opens three groups with members in many/; one
  // more group lies wholly inside many/. Members read from one directory
  // come in listing order, so those are compared as sets.
  constexpr std::uint32_t kG1 = 0x00000101, kG2 = 0x00000202, kG3 = 0x00000303, kG4 = 0x404;
  put("first.zip", archive({{"g1", kG1}, {"g3", kG3}, {"dir/", 0}, {"g4", kG4}}));
  std::map<int, std::uint32_t> shared = {{0, kG1},    {7, kG1},    {5000, kG1}, {4321, kG3},
                                         {1250, kG2}, {9999, kG2}, {6000, kG4}};
  std::string many = dir_.mkdir("many");
  for (int i = 0; i < 10000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/m%05d.zip", i);
    auto it = shared.find(i);
    ArchiveBytes a = archive({{"e", it != shared.end() ? it->second : 0x7e000000u + i}});
    if (i % 100 == 50) a.add("empty-dir/", 0);  // CRC-32 zero: never reported
    write_file(many + name, a.bytes());
  }
  RunResult r = run({"-l", "a.zip", "first.zip", "many", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");

  std::string summary;
  std::vector<Group> got = parse_report(r.out, &summary);
  std::map<std::uint32_t, std::set<std::string>> sets;
  std::map<std::uint32_t, std::string> heads;
  for (const Group& g : got) {
    heads[g.crc] = g.members.front();
    EXPECT_TRUE(sets[g.crc].empty()) << "group printed twice: " << block(g.crc, g.members);
    sets[g.crc].insert(g.members.begin(), g.members.end());
    EXPECT_EQ(sets[g.crc].size(), g.members.size()) << "member printed twice";
  }
  using S = std::set<std::string>;
  std::map<std::uint32_t, S> want = {
      {kPair, {"a.zip, x", "b.zip, y"}},
      {kG1, {"first.zip, g1", "many/m00000.zip, e", "many/m00007.zip, e", "many/m05000.zip, e"}},
      {kG2, {"many/m01250.zip, e", "many/m09999.zip, e"}},
      {kG3, {"first.zip, g3", "many/m04321.zip, e"}},
      {kG4, {"first.zip, g4", "many/m06000.zip, e"}}};
  EXPECT_EQ(sets, want);
  EXPECT_EQ(heads[kPair], "a.zip, x");
  EXPECT_EQ(heads[kG1], "first.zip, g1");
  EXPECT_EQ(heads[kG3], "first.zip, g3");
  EXPECT_EQ(heads[kG4], "first.zip, g4");
  // Byte-wise path order, whatever the listing order was.
  EXPECT_EQ(summary,
            "FileListName: a.zip (Tot 1, Found 1) ***\n"
            "FileListName: b.zip (Tot 2, Found 1) \n"
            "FileListName: first.zip (Tot 4, Found 3) \n"
            "FileListName: many/m00000.zip (Tot 1, Found 1) ***\n"
            "FileListName: many/m00007.zip (Tot 1, Found 1) ***\n"
            "FileListName: many/m01250.zip (Tot 2, Found 1) \n"  // with "empty-dir/"
            "FileListName: many/m04321.zip (Tot 1, Found 1) ***\n"
            "FileListName: many/m05000.zip (Tot 1, Found 1) ***\n"
            "FileListName: many/m06000.zip (Tot 1, Found 1) ***\n"
            "FileListName: many/m09999.zip (Tot 1, Found 1) ***\n");
}

TEST_F(Hostile, ThreeHundredLevelsDeep) {
  put_pair();
  std::string deep = "deep";
  std::string middle;
  for (int level = 1; level <= 300; ++level) {
    deep += "/d";
    if (level == 150) middle = deep + "/middle.zip";
  }
  put(deep + "/bottom.zip", archive({{"bottom", 0x00b0770d}}));
  put(middle, archive({{"middle", 0x0000d1d1}}));
  put("twin.zip", archive({{"t-bottom", 0x00b0770d}, {"t-middle", 0x0000d1d1}}));
  RunResult r = run({"-R", "a.zip", "twin.zip", "deep", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(
      r.out, {pair_group(), Group{0x00b0770d, {"twin.zip, t-bottom", deep + "/bottom.zip, bottom"}},
              Group{0x0000d1d1, {"twin.zip, t-middle", middle + ", middle"}}});
  // Without -R only the named archives are read.
  r = run({"a.zip", "twin.zip", "deep", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "b.zip, y"}));
}

// Every directory of the tree is reached first along its real path (the
// walk is depth first and a link back to an ancestor finds it entered), so
// the member paths are exact whatever the listing order.
TEST_F(Hostile, LinkCyclesEnterEachDirectoryOnce) {
  put_pair();
  put("tree/x.zip", archive({{"x1", 0x00001111}}));
  put("tree/sub/y.zip", archive({{"y1", 0x00002222}}));
  put("tree/sub/deeper/w.zip", archive({{"w1", 0x00003333}}));
  put("twin.zip", archive({{"tx", 0x00001111}, {"ty", 0x00002222}, {"tw", 0x00003333}}));
  symlink_at("..", "tree/sub/up");                       // to the parent
  symlink_at("../../tree", "tree/sub/deeper/up2");       // to the top, by another name
  symlink_at(dir_ / "tree/sub", "tree/sub/deeper/abs");  // absolute, to an ancestor
  symlink_at("self", "tree/self");                       // a link to itself: unreadable, skipped
  symlink_at(".", "tree/dot");                           // the directory itself
  RunResult r = run({"-R", "a.zip", "twin.zip", "tree", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(r.out, {pair_group(), Group{0x00001111, {"twin.zip, tx", "tree/x.zip, x1"}},
                        Group{0x00002222, {"twin.zip, ty", "tree/sub/y.zip, y1"}},
                        Group{0x00003333, {"twin.zip, tw", "tree/sub/deeper/w.zip, w1"}}});
}

TEST_F(Hostile, TwoLinksIntoEachOtherAndADiamond) {
  put_pair();
  // left/ and right/ link into each other; top/ reaches shared/ twice.
  put("ring/left/l.zip", archive({{"l1", 0x0000aaaa}}));
  put("ring/right/r.zip", archive({{"r1", 0x0000bbbb}}));
  symlink_at("../right", "ring/left/to-right");
  symlink_at("../left", "ring/right/to-left");
  put("shared/s.zip", archive({{"s1", 0x0000cccc}}));
  dir_.mkdir("top");
  symlink_at("../shared", "top/one");
  symlink_at(dir_ / "shared", "top/two");
  put("twin.zip", archive({{"ta", 0x0000aaaa}, {"tb", 0x0000bbbb}, {"tc", 0x0000cccc}}));
  RunResult r = run({"-R", "a.zip", "twin.zip", "ring/left", "top", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<Group> got = parse_report(r.out);
  // shared/ is entered through whichever link the listing gives first.
  std::string via = "top/one/s.zip, s1";
  for (const Group& g : got) {
    if (g.members.size() == 2 && g.members[1] == "top/two/s.zip, s1") via = g.members[1];
  }
  expect_groups(r.out, {pair_group(), Group{0x0000aaaa, {"twin.zip, ta", "ring/left/l.zip, l1"}},
                        Group{0x0000bbbb, {"twin.zip, tb", "ring/left/to-right/r.zip, r1"}},
                        Group{0x0000cccc, {"twin.zip, tc", via}}});
}

// A directory that cannot be opened is the one failure a walk reports; no
// cheap deterministic way makes a directory vanish between its status and its
// opening, and root opens a chmod 000 directory, so these stand in for it.
TEST_F(Hostile, DirectoriesThatCannotBeOpened) {
  put_pair();
  dir_.write("file.txt", test::to_bytes("not a directory"));
  symlink_at("nowhere", "gone");  // dangling, named like a directory
  put("tree/t.zip", archive({{"t1", kTwin}}));
  symlink_at("../nowhere", "tree/dangling");
  symlink_at("loop-b", "tree/loop-a");  // ELOOP on every status call
  symlink_at("loop-a", "tree/loop-b");
  RunResult r = run({"-R", "a.zip", "file.txt/sub", "gone", "a.zip/sub", "tree", "b.zip"});
  EXPECT_EQ(r.status, 0);
  // Unreadable entries inside a walk are skipped without a word.
  EXPECT_EQ(r.err,
            "warning, Not a directory: \"file.txt/sub\"\n"
            "warning, No such file or directory: \"gone\"\n"
            "warning, Not a directory: \"a.zip/sub\"\n");
  expect_groups(r.out, {pair_group(), Group{kTwin, {"tree/t.zip, t1", "b.zip, z"}}});
}

// --- archives at the limits ---

TEST_F(Hostile, LargestEntryCountAndBeyond) {
  constexpr std::uint32_t kFirst = 0x0f0f0f0f, kLast = 0x1a571a57;
  put("a.zip", archive({{"x", kPair}, {"first", kFirst}}));
  put("b.zip", archive({{"y", kPair}, {"last", kLast}}));
  // 65,535 entries: the 16-bit count's maximum. The directory is far larger
  // than the tail read, so it takes the second read.
  ArchiveBytes full;
  for (std::uint32_t i = 0; i < 65535; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "e%05u", i);
    std::uint32_t crc = i == 0 ? kFirst : i == 65534 ? kLast : 0x7e000000u + i;
    full.add(name, crc);
  }
  put("full.zip", full);
  RunResult r = run({"-l", "a.zip", "full.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(r.out,
                {pair_group(), Group{kFirst, {"a.zip, first", "full.zip, e00000"}},
                 Group{kLast, {"full.zip, e65534", "b.zip, last"}}},
                "FileListName: a.zip (Tot 2, Found 2) ***\n"
                "FileListName: b.zip (Tot 2, Found 2) ***\n"
                "FileListName: full.zip (Tot 65535, Found 2) \n");

  // One more entry than the count can hold, the counts saturated: the
  // directory size bounds the walk, so the last entry is still read.
  full.add("e65535", kLast);
  full.headers[65534].crc32 = 0x7e000000u + 65534;
  full.end.total_entries = 0xffff;
  full.end.disk_entries = 0xffff;
  put("full.zip", full);
  r = run({"-l", "a.zip", "full.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(r.out,
                {pair_group(), Group{kFirst, {"a.zip, first", "full.zip, e00000"}},
                 Group{kLast, {"full.zip, e65535", "b.zip, last"}}},
                "FileListName: a.zip (Tot 2, Found 2) ***\n"
                "FileListName: b.zip (Tot 2, Found 2) ***\n"
                "FileListName: full.zip (Tot 65536, Found 2) \n");  // what the walk read
}

TEST_F(Hostile, LongestEntryNamePrintedWhole) {
  put_pair();
  // Every byte value but NUL and newline, cycling.
  std::string name;
  for (unsigned i = 0; name.size() < 65535; ++i) {
    auto c = static_cast<char>(i % 256);
    if (c != '\0' && c != '\n') name.push_back(c);
  }
  ArchiveBytes a;
  a.add("short", 0x00005555);
  a.add(name, kTwin);
  ASSERT_EQ(a.headers[1].encode().size(), 46u + 65535u);
  put("long.zip", a);
  put("twin.zip", archive({{"s", 0x00005555}}));
  RunResult r = run({"a.zip", "long.zip", "twin.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(r.out, {pair_group(), Group{kTwin, {"long.zip, " + name, "b.zip, z"}},
                        Group{0x00005555, {"long.zip, short", "twin.zip, s"}}});
}

TEST_F(Hostile, BigFileWithoutSignatureIsRefused) {
  put_pair();
  // 64 MiB of text with a near miss ("PK\5\7") in every 64 bytes, never
  // "PK\5\6"; a real signature only in the last 21 bytes, too close to the
  // end for a record.
  std::string unit = std::string("PK\5\7", 4) + std::string(60, 't');
  std::string big;
  big.reserve(64u << 20);
  while (big.size() < (64u << 20) - 21)
    big += unit;
  big.resize((64u << 20) - 21);
  big += std::string("PK\5\6", 4) + std::string(17, '\0');
  ASSERT_EQ(big.size(), 64u << 20);
  dir_.write("big.zip", test::to_bytes(big));
  RunResult r = run({"a.zip", "big.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kErrEcd + "big.zip\n");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "b.zip, y"}));
}

// What the hostile archive h.zip contributes when it is read: h1 (kPair)
// joins the pair's group and h2 (kTwin) forms one with b.zip's z.
enum class Read { Whole, FirstOnly, Nothing };

struct FieldCase {
  const char* what;
  std::function<void(ArchiveBytes&)> damage;
  Read read;
  std::string err;  // the diagnostic's text before the path, or empty
};

// Runs a.zip, h.zip (the hostile one, damaged as each case says) and b.zip.
void run_field_cases(Hostile& t, const std::vector<FieldCase>& cases) {
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    ArchiveBytes h = archive({{"h1", kPair}, {"h2", kTwin}});
    c.damage(h);
    t.put("h.zip", h);
    RunResult r = t.run({"a.zip", "h.zip", "b.zip"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.err.empty() ? "" : c.err + "h.zip\n");
    switch (c.read) {
      case Read::Whole:
        expect_groups(r.out, {pair_group({"h.zip, h1"}), Group{kTwin, {"h.zip, h2", "b.zip, z"}}});
        break;
      case Read::FirstOnly:
        expect_groups(r.out, {pair_group({"h.zip, h1"})});
        break;
      case Read::Nothing:
        expect_groups(r.out, {pair_group()});
        break;
    }
  }
}

TEST_F(Hostile, EndRecordFieldsAtZeroAndAllOnes) {
  put_pair();
  const std::vector<FieldCase> cases = {
      {"unchanged", [](ArchiveBytes&) {}, Read::Whole, ""},
      {"cd_size 0", [](ArchiveBytes& a) { a.end.cd_size = 0; }, Read::Nothing, kErrCd},
      {"cd_size all ones", [](ArchiveBytes& a) { a.end.cd_size = k32; }, Read::Nothing, kErrCd},
      {"cd_offset all ones", [](ArchiveBytes& a) { a.end.cd_offset = k32; }, Read::Nothing, kErrCd},
      {"cd_offset 0 with data in front: the directory is read where it stands",
       [](ArchiveBytes& a) {
         a.prefix = Bytes(100, 'd');  // no header signature at 0, one at 100
         a.end.cd_offset = 0;
       },
       Read::Whole, ""},
      {"cd_size one byte short: the last header is cut",
       [](ArchiveBytes& a) { a.end.cd_size = static_cast<std::uint32_t>(a.central().size() - 1); },
       Read::FirstOnly, kErrName},
      {"cd_size reaching over the end record, to the end of the file",
       [](ArchiveBytes& a) { a.end.cd_size = static_cast<std::uint32_t>(a.central().size() + 22); },
       Read::Whole, kErrSig},
      {"both counts 0",
       [](ArchiveBytes& a) {
         a.end.disk_entries = 0;
         a.end.total_entries = 0;
       },
       Read::Nothing, kErrSpan},
      {"both counts all ones: the count does not bound the walk",
       [](ArchiveBytes& a) {
         a.end.disk_entries = k16;
         a.end.total_entries = k16;
       },
       Read::Whole, ""},
      {"disk_entries 0", [](ArchiveBytes& a) { a.end.disk_entries = 0; }, Read::Nothing, kErrSpan},
      {"disk_entries all ones", [](ArchiveBytes& a) { a.end.disk_entries = k16; }, Read::Nothing,
       kErrSpan},
      {"total_entries all ones", [](ArchiveBytes& a) { a.end.total_entries = k16; }, Read::Nothing,
       kErrSpan},
      {"both disk numbers all ones: equal, so accepted",
       [](ArchiveBytes& a) {
         a.end.disk_number = k16;
         a.end.cd_disk = k16;
       },
       Read::Whole, ""},
      {"disk_number all ones", [](ArchiveBytes& a) { a.end.disk_number = k16; }, Read::Nothing,
       kErrSpan},
      {"cd_disk all ones", [](ArchiveBytes& a) { a.end.cd_disk = k16; }, Read::Nothing, kErrSpan},
      {"comment_len all ones with no comment: never used",
       [](ArchiveBytes& a) { a.end.comment_len = k16; }, Read::Whole, ""},
      {"every field all ones",
       [](ArchiveBytes& a) {
         a.end = test::EndRecord{0x06054b50, k16, k16, k16, k16, k32, k32, k16, {}};
       },
       Read::Nothing, kErrCd},
      {"every field 0: an empty archive, read as one",
       [](ArchiveBytes& a) { a.end = test::EndRecord{0x06054b50, 0, 0, 0, 0, 0, 0, 0, {}}; },
       Read::Nothing, ""},
      {"both counts 0 and no directory, but on another disk",
       [](ArchiveBytes& a) { a.end = test::EndRecord{0x06054b50, 1, 0, 0, 0, 0, 0, 0, {}}; },
       Read::Nothing, kErrSpan},
  };
  run_field_cases(*this, cases);
}

TEST_F(Hostile, CentralHeaderFieldsAtZeroAndAllOnes) {
  put_pair();
  const std::vector<FieldCase> cases = {
      {"name_len all ones on the first header",
       [](ArchiveBytes& a) { a.headers[0].set_name_len(k16); }, Read::Nothing, kErrName},
      {"name_len all ones on the second header: the first is kept",
       [](ArchiveBytes& a) { a.headers[1].set_name_len(k16); }, Read::FirstOnly, kErrName},
      // The next header would lie past the directory's end: the walk ends
      // there, silently.
      {"extra_len all ones on the first header",
       [](ArchiveBytes& a) { a.headers[0].set_extra_len(k16); }, Read::FirstOnly, ""},
      {"comment_len all ones on the first header",
       [](ArchiveBytes& a) { a.headers[0].set_comment_len(k16); }, Read::FirstOnly, ""},
      {"extra_len and comment_len all ones on the last header",
       [](ArchiveBytes& a) { a.headers[1].set_extra_len(k16).set_comment_len(k16); }, Read::Whole,
       ""},
      // A header without its signature is not one: the walk ends there, so a
      // directory offset a few bytes off yields no phantom entries.
      {"the second header's signature wrong",
       [](ArchiveBytes& a) { a.headers[1].signature = 0x02014b51; }, Read::FirstOnly, kErrSig},
      {"the first header's signature a data descriptor's",
       [](ArchiveBytes& a) { a.headers[0].signature = 0x08074b50; }, Read::Nothing, kErrSig},
      {"cd_offset two bytes past the directory",
       [](ArchiveBytes& a) { a.end.cd_offset = static_cast<std::uint32_t>(a.head().size() + 2); },
       Read::Nothing, kErrSig},
      {"sizes, offsets, disk and attributes all ones: never used",
       [](ArchiveBytes& a) {
         for (test::CentralHeader& h : a.headers) {
           h.compressed_size = k32;
           h.uncompressed_size = k32;
           h.local_header_offset = k32;
           h.external_attr = k32;
           h.disk_start = k16;
           h.internal_attr = k16;
           h.flags = k16;
           h.method = k16;
           h.mod_time = k16;
           h.mod_date = k16;
           h.made_by_version = h.made_by_system = h.needed_version = h.needed_system = 0xff;
         }
       },
       Read::Whole, ""},
      {"every field but CRC-32 and name 0",
       [](ArchiveBytes& a) {
         for (test::CentralHeader& h : a.headers) {
           h.compressed_size = h.uncompressed_size = 0;
           h.local_header_offset = h.external_attr = 0;
           h.disk_start = h.internal_attr = h.flags = h.method = h.mod_time = h.mod_date = 0;
           h.made_by_version = h.made_by_system = h.needed_version = h.needed_system = 0;
         }
       },
       Read::Whole, ""},
  };
  run_field_cases(*this, cases);

  // An empty name is printed empty.
  put("h.zip", archive({{"", kPair}}));
  RunResult r = run({"a.zip", "h.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "h.zip, ", "b.zip, y"}));
}

// The comment is as long as it can be, so the record lies just outside the
// last 64 KiB that the first read takes.
ArchiveBytes with_long_comment(const std::string& tail) {
  ArchiveBytes h = archive({{"h1", kPair}, {"h2", kTwin}});
  std::string comment;
  std::string filler = "comment text, P PK PK\5 PK\5\7 PK\6\6 ";
  while (comment.size() < 65535 - tail.size())
    comment += filler;
  comment.resize(65535 - tail.size());
  comment += tail;
  h.end.comment = test::to_bytes(comment);
  return h;
}

TEST_F(Hostile, FalseSignaturesInLongComment) {
  put_pair();
  auto signature = [] { return std::string("PK\5\6", 4); };
  auto u16 = [](std::uint16_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
  };
  // A false record exactly 22 bytes from the end of the file is the last one
  // with room for a record: it is decoded and names disk 1. Its cd_size and
  // cd_offset fields hold two more signatures, too close to the end to count.
  std::string last =
      signature() + u16(1) + u16(0) + u16(2) + u16(2) + signature() + signature() + u16(0);
  ASSERT_EQ(last.size(), 22u);
  // Earlier false records, each followed by text that would decode to a
  // directory far beyond the end of the file.
  std::string earlier = signature() + std::string(30, 'x');
  ArchiveBytes h = with_long_comment(earlier + std::string(1000, '.') + earlier + last);
  put("h.zip", h);
  RunResult r = run({"a.zip", "h.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kErrSpan + "h.zip\n");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "b.zip, y"}));

  // The same false record one byte later, so that it no longer has room:
  // the earlier false ones win, and theirs is the directory beyond the end.
  h = with_long_comment(earlier + std::string(1000, '.') + earlier + last.substr(0, 21));
  put("h.zip", h);
  r = run({"a.zip", "h.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kErrCd + "h.zip\n");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "b.zip, y"}));

  // Every false signature has fewer than 22 bytes after it: the real record,
  // 65,557 bytes before the end, is found by the second read and decoded.
  h = with_long_comment(signature() + signature() + signature() + signature() + signature() + "!");
  ASSERT_EQ(h.bytes().size() - h.central().size(), 22u + 65535u);
  put("h.zip", h);
  r = run({"a.zip", "h.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  expect_groups(r.out, {pair_group({"h.zip, h1"}), Group{kTwin, {"h.zip, h2", "b.zip, z"}}});
}

TEST_F(Hostile, TruncatedCentralDirectory) {
  put_pair();
  ArchiveBytes t = archive({{"t1", kPair}, {"t2", kTwin}, {"t3", 0x00003333}});
  t.prefix = Bytes(1000, 'd');
  Bytes whole = t.bytes();
  std::size_t cd = t.central().size();
  // Cut in the middle of the directory: the end record went with the rest.
  dir_.write("cut.zip", Bytes(whole.begin(), whole.begin() + 1000 + cd / 2));
  // Cut one byte into the end record's last field.
  dir_.write("cut-ecd.zip", Bytes(whole.begin(), whole.end() - 1));
  // Half the directory lost from its middle, the end record intact: the
  // directory it describes runs past the end of the file.
  Bytes holed = whole;
  holed.erase(holed.begin() + 1000 + cd / 4, holed.begin() + 1000 + 3 * cd / 4);
  dir_.write("holed.zip", holed);
  RunResult r = run({"a.zip", "cut.zip", "cut-ecd.zip", "holed.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kErrEcd + "cut.zip\n" + kErrEcd + "cut-ecd.zip\n" + kErrCd + "holed.zip\n");
  EXPECT_EQ(r.out, block(kPair, {"a.zip, x", "b.zip, y"}));
}

// --- the collection is only read ---

// A collection with every kind of failure the reader reports.
void put_collection(const TempDir& dir) {
  dir.write("a.zip", archive({{"x", kPair}}).bytes());
  dir.write("b.zip", archive({{"y", kPair}, {"z", kTwin}}).bytes());
  dir.write("sub/c.zip", archive({{"c", kTwin}, {"d/", 0}}).bytes());
  dir.write("broken.zip", Bytes(300, 'j'));
  dir.write("empty.zip", {});
  ArchiveBytes holed = archive({{"t1", kPair}, {"t2", kTwin}});
  holed.end.cd_size = 5000;
  dir.write("holed.zip", holed.bytes());
  ArchiveBytes bad = archive({{"n1", kPair}, {"n2", kTwin}});
  bad.headers[1].set_name_len(0xffff);
  dir.write("bad-name.zip", bad.bytes());
}

const std::vector<std::string> kCollectionArgs = {
    "-Rl", "a.zip", "broken.zip", "empty.zip", "holed.zip", "bad-name.zip", "sub", "b.zip"};

const std::string kCollectionErr = kErrEcd + "broken.zip\n" +
                                   "zorv: error, file is empty: empty.zip\n" + kErrCd +
                                   "holed.zip\n" + kErrName + "bad-name.zip\n";

const std::string kCollectionSummary =
    "FileListName: a.zip (Tot 1, Found 1) ***\n"
    "FileListName: b.zip (Tot 2, Found 2) ***\n"
    "FileListName: bad-name.zip (Tot 1, Found 1) \n"  // walk stopped: never ***
    "FileListName: sub/c.zip (Tot 2, Found 1) \n";

TEST_F(Hostile, FilesUnchangedByARun) {
  put_collection(dir_);
  std::map<std::string, Stamp> before = snapshot(dir_.path());
  ASSERT_EQ(before.size(), 7u);
  RunResult r = run(kCollectionArgs);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kCollectionErr);
  expect_groups(r.out,
                {Group{kPair, {"a.zip, x", "bad-name.zip, n1", "b.zip, y"}},
                 Group{kTwin, {"sub/c.zip, c", "b.zip, z"}}},
                kCollectionSummary);
  EXPECT_TRUE(snapshot(dir_.path()) == before) << "a file of the collection changed";
}

// Runs zorv under strace, recording every call that names a file or could
// change one. Empty when strace is not installed or cannot trace here.
std::string trace_run(const std::string& cwd, const std::vector<std::string>& args,
                      const TempDir& scratch, int* status) {
  const char* strace = "/usr/bin/strace";
  if (access(strace, X_OK) != 0) return "";
  std::string log = scratch / "trace.txt";
  std::vector<std::string> words = {
      strace,
      "-f",
      "-qq",
      "-o",
      log,
      "-e",
      "trace=%file,ftruncate,fchmod,fchown,fsetxattr,fremovexattr,fallocate",
      ZORV_BIN};
  words.insert(words.end(), args.begin(), args.end());
  // LeakSanitizer cannot run under a tracer; the rest of the sanitizers can.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  *status = test::run_program(words, cwd, 60, {{"ASAN_OPTIONS", options}}).status;
  Bytes bytes = test::read_file(log);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(Hostile, NothingOpenedForWriting) {
  put_collection(dir_);
  TempDir scratch;
  int status = -1;
  std::string trace = trace_run(dir_.path(), kCollectionArgs, scratch, &status);
  if (trace.find("execve(") == std::string::npos) {
    GTEST_SKIP() << "strace is not installed or cannot trace here";
  }
  EXPECT_EQ(status, 0);
  // Calls that change a file or a directory, whatever their outcome.
  const std::set<std::string> changes = {
      "creat",     "truncate",    "ftruncate",    "rename",       "renameat", "renameat2",
      "unlink",    "unlinkat",    "link",         "linkat",       "symlink",  "symlinkat",
      "mkdir",     "mkdirat",     "rmdir",        "chmod",        "fchmod",   "fchmodat",
      "chown",     "fchown",      "lchown",       "fchownat",     "utime",    "utimes",
      "utimensat", "futimesat",   "mknod",        "mknodat",      "setxattr", "lsetxattr",
      "fsetxattr", "removexattr", "lremovexattr", "fremovexattr", "fallocate"};
  int archive_opens = 0;
  std::istringstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    // ThreadSanitizer's runtime writes a scratch file of its own at start-up.
    if (line.find("\"/tmp/tsan.rodata.") != std::string::npos) continue;
    // "<pid> <call>(<arguments>) = <result>"; strace pads the pid with spaces.
    std::size_t start = line.find_first_not_of(' ', line.find(' '));
    if (start == std::string::npos) continue;
    std::string call = line.substr(start, line.find('(', start) - start);
    EXPECT_EQ(changes.count(call), 0u) << line;
    if (call.rfind("open", 0) != 0) continue;
    for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"}) {
      EXPECT_EQ(line.find(flag), std::string::npos) << line;
    }
    if (line.find(".zip\"", start) != std::string::npos) {
      ++archive_opens;
      EXPECT_NE(line.find("O_RDONLY"), std::string::npos) << line;
    }
  }
  // Indexing opens seven archives, the report and the summary reopen the
  // readable ones holding members: the trace saw the program's opens.
  EXPECT_GE(archive_opens, 7) << trace;
}

}  // namespace
}  // namespace zorv
