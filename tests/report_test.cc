#include "report.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rb_funcs.h"
#include "support/files.h"
#include "support/zip_writer.h"
#include "zorv.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::TempDir;

class Report : public testing::Test {
 protected:
  void SetUp() override { create_indexes(); }
  void TearDown() override { release_indexes(); }
  std::string write(const std::string& rel, const ArchiveBytes& a) {
    return dir_.write(rel, a.bytes());
  }
  void index(const std::vector<std::string>& paths) {
    for (const std::string& p : paths)
      process_archive(p.c_str());
  }
  // The report as printed, and what went to stderr meanwhile.
  std::pair<std::string, std::string> report() {
    test::CaptureFd err(2);
    test::CaptureFd out(1);
    print_report(DupeTree);
    std::string printed = out.text();
    return {printed, err.text()};
  }
  TempDir dir_;
};

TEST_F(Report, FiveLineExample) {
  ArchiveBytes x;
  x.add("doc/readme.txt", 0x0badcafe);
  x.add("readme.txt", 0x0badcafe);
  ArchiveBytes y;
  y.add("readme.txt", 0x0badcafe);
  std::string a = write("a/x.zip", x);
  std::string b = write("b/y.zip", y);
  index({a, b});
  auto [out, err] = report();
  EXPECT_EQ(out, "CRC32: 0x0badcafe\nfile: " + a + ", doc/readme.txt\nfile: " + a +
                     ", readme.txt\nfile: " + b + ", readme.txt\n-------\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(report_stats.batches, 1u);
  EXPECT_EQ(report_stats.archive_walks, 2u);
  EXPECT_EQ(report_stats.lookups, 0u);
}

TEST_F(Report, NothingPrintedWithoutDuplicates) {
  ArchiveBytes x;
  x.add("one", 1);
  x.add("two", 2);
  x.add("dir/", 0);
  x.add("empty", 0);  // CRC-32 zero never forms a group
  index({write("x.zip", x)});
  EXPECT_EQ(report(), std::make_pair(std::string(), std::string()));
}

TEST_F(Report, EmptyNameNulInNameAndLongestName) {
  ArchiveBytes x;
  x.add("", 0x00000001);
  x.add(std::string("cut\0hidden", 10), 0x00000001);
  std::string longest(65535, 'n');
  longest[0] = 'L';
  longest[65534] = 'Z';
  x.add(longest, 0x00000001);
  std::string a = write("x.zip", x);
  index({a});
  auto [out, err] = report();
  EXPECT_EQ(out, "CRC32: 0x00000001\nfile: " + a + ", \nfile: " + a + ", cut\nfile: " + a + ", " +
                     longest + "\n-------\n");
}

TEST_F(Report, GroupsFollowTreePreOrderNotCrcOrder) {
  ArchiveBytes x;
  for (std::uint32_t crc : {0x10u, 0x20u, 0x30u})
    x.add("f" + std::to_string(crc), crc);
  std::string a = write("a.zip", x);
  std::string b = write("b.zip", x);
  index({a, b});
  auto [out, err] = report();
  std::string want;
  for (std::uint32_t crc : {0x20u, 0x10u, 0x30u}) {
    char line[32];
    std::snprintf(line, sizeof line, "CRC32: 0x%08x\n", crc);
    want += line;
    want += "file: " + a + ", f" + std::to_string(crc) + "\n";
    want += "file: " + b + ", f" + std::to_string(crc) + "\n-------\n";
  }
  EXPECT_EQ(out, want);
}

// Enough groups for rotations at every level: the printed order is the
// DupeTree's pre-order, group by group.
TEST_F(Report, ManyGroupsPrintInWalkOrder) {
  std::mt19937 rng(7);
  std::vector<std::uint32_t> crcs;
  for (int i = 0; i < 300; ++i)
    crcs.push_back(static_cast<std::uint32_t>(rng()) | 1);
  ArchiveBytes first;
  ArchiveBytes second;
  for (std::uint32_t c : crcs)
    first.add(std::to_string(c), c);
  std::shuffle(crcs.begin(), crcs.end(), rng);
  for (std::uint32_t c : crcs)
    second.add("copy-" + std::to_string(c), c);
  std::string a = write("a.zip", first);
  std::string b = write("b.zip", second);
  index({a, b});
  static std::string* expected;
  std::string want;
  expected = &want;
  rbtree_walk(DupeTree->root, [](void* item) {
    const DupeLink& head = static_cast<DupeGroup*>(item)->head;
    char line[32];
    std::uint32_t crc = head.entry->crc32;
    std::snprintf(line, sizeof line, "CRC32: 0x%08x\n", crc);
    *expected += line;
    *expected +=
        "file: " + std::string(head.entry->archive->path) + ", " + std::to_string(crc) + "\n";
    *expected += "file: " + std::string(head.next->entry->archive->path) + ", copy-" +
                 std::to_string(crc) + "\n-------\n";
  });
  EXPECT_EQ(DupeTree->count, 300);
  EXPECT_EQ(report().first, want);
}

TEST_F(Report, VanishedArchiveShowsOpenFailureInNamePosition) {
  ArchiveBytes x;
  x.add("kept", 0xabcdef01);
  std::string a = write("a.zip", x);
  std::string b = write("b.zip", x);
  index({a, b});
  ASSERT_EQ(unlink(b.c_str()), 0);
  auto [out, err] = report();
  EXPECT_EQ(out, "CRC32: 0xabcdef01\nfile: " + a + ", kept\nfile: " + b +
                     ", openzip failed on: " + b + "\n-------\n");
  EXPECT_EQ(err, "zorv: unable to open file: " + b + "\n");
}

TEST_F(Report, EntryGoneEndsTheRun) {
  ArchiveBytes x;
  x.add("kept", 0xabcdef01);
  std::string a = write("a.zip", x);
  std::string b = write("b.zip", x);
  index({a, b});
  ArchiveBytes changed;
  changed.add("other", 0x12345678);
  write("b.zip", changed);
  EXPECT_EXIT(print_report(DupeTree), testing::ExitedWithCode(1),
              "^zorv: internal error, unable to match cd_pos & crc32\n$");
}

// An archive that vanished before the summary counts Tot 0 and is not
// marked as wholly copied, not even with Found 0 as well.
TEST_F(Report, SummaryNeverMarksAnArchiveItCouldNotRead) {
  ArchiveBytes one;
  one.add("only", 0x5a5a5a5a);
  ArchiveBytes two;
  two.add("x", 0x5a5a5a5a);
  two.add("y", 0x5a5a5a5a);
  std::string a = write("a.zip", one);
  std::string b = write("b.zip", one);
  std::string c = write("c.zip", two);
  index({a, b, c});
  ASSERT_EQ(unlink(b.c_str()), 0);
  ASSERT_EQ(unlink(c.c_str()), 0);
  test::CaptureFd err(2);
  test::CaptureFd out(1);
  print_archive_summary(DupeTree, FileListTree);
  EXPECT_EQ(out.text(), "FileListName: " + a + " (Tot 1, Found 1) ***\n" + "FileListName: " + b +
                            " (Tot 0, Found 0) \n" + "FileListName: " + c + " (Tot 0, Found 1) \n");
  EXPECT_EQ(err.text(),
            "zorv: unable to open file: " + b + "\nzorv: unable to open file: " + c + "\n");
}

TEST(LookupEntryName, LongPathInOpenFailureText) {
  std::string path(5000, 'p');
  NameBuf name{nullptr, 0};
  test::CaptureFd err(2);
  lookup_entry_name(path.c_str(), 1, 46, &name);
  EXPECT_EQ(std::string(name.text), "openzip failed on: " + path);
  std::free(name.text);
}

}  // namespace
}  // namespace zorv
