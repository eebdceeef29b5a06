#include "report/report.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "report/sink.h"
#include "support/files.h"
#include "support/index_fixture.h"
#include "support/zip_writer.h"
#include "zip/readahead.h"
#include "zip/zipdir.h"

namespace zorv {
namespace {

using test::ArchiveBytes;

using Report = test::IndexFixture;

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
  EXPECT_EQ(stats_.batches, 1u);
  EXPECT_EQ(stats_.archive_walks, 2u);
  EXPECT_EQ(stats_.lookups, 0u);
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
  struct Want {
    std::string a, b, text;
  } want{a, b, {}};
  rbtree_walk(
      ix_->DupeTree,
      [](void* item, void* ctx) {
        auto* w = static_cast<Want*>(ctx);
        std::uint32_t crc = static_cast<DupeGroup*>(item)->crc32;
        char line[32];
        std::snprintf(line, sizeof line, "CRC32: 0x%08x\n", crc);
        w->text += line + ("file: " + w->a + ", " + std::to_string(crc) + "\n" + "file: " + w->b +
                           ", copy-" + std::to_string(crc) + "\n-------\n");
      },
      &want);
  EXPECT_EQ(ix_->DupeTree->count, 300);
  EXPECT_EQ(report().first, want.text);
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
  auto [out, err] = report();
  EXPECT_FALSE(whole_);
  // Nothing of the member's line: the lines before it stay, whole.
  EXPECT_EQ(out, "CRC32: 0xabcdef01\nfile: " + a + ", kept\n");
  EXPECT_EQ(stats_.unmatched, b);
  EXPECT_EQ(err, "");
}

// An archive rewritten so that an entry keeps its directory position but
// not its CRC-32: the batch must not take that entry's name for the
// member's. Only the report's statistics tell the batch walk (which must
// skip the entry) from the one-by-one lookup (which then finds no match).
TEST_F(Report, SamePositionOtherCrcIsNoMatch) {
  ArchiveBytes x;
  x.add("kept", 0xabcdef01);
  x.add("same", 0x11111111);
  std::string a = write("a.zip", x);
  std::string b = write("b.zip", x);
  index({a, b});
  ArchiveBytes changed;
  changed.add("kept", 0xabcdef02);  // same name length: same position
  changed.add("same", 0x11111111);
  write("b.zip", changed);
  auto [out, err] = report();
  EXPECT_FALSE(whole_);
  EXPECT_EQ(stats_.lookups, 1u);  // the batch found no name for it
  EXPECT_EQ(out, "CRC32: 0xabcdef01\nfile: " + a + ", kept\n");
}

// -l is counted as the report prints, from the one reading of each archive
// for names: an archive gone since indexing counts Tot 0, is never marked
// as wholly copied (not even with Found 0 as well), nor is one whose copies
// were all in such archives, and the reader names it once, whether archives
// are opened one at a time or ahead on threads.
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
  Readahead* threads = readahead_start(AheadLimits{4, 8, 1 << 20, 0}, &cache_);
  ASSERT_NE(threads, nullptr);
  for (Readahead* ahead : {static_cast<Readahead*>(nullptr), threads}) {
    said_.clear();
    test::CaptureFd out(1);
    {
      TextSink sink(false, false, said_.diag());
      Revisit* rv = revisit_start(ahead, &cache_, said_.diag());
      zorv::Report* r = report_gather(ix_, ReportOptions{.tally = ix_}, &sink, rv);
      EXPECT_TRUE(report_print(r, nullptr));
      revisit_stop(rv);
      print_archive_summary(ix_, &sink);
    }
    EXPECT_EQ(out.text(),
              "CRC32: 0x5a5a5a5a\nfile: " + a + ", only\n" + "file: " + b +
                  ", openzip failed on: " + b + "\n" + "file: " + c + ", openzip failed on: " + c +
                  "\n" + "file: " + c + ", openzip failed on: " + c + "\n-------\n" +
                  "FileListName: " + a + " (Tot 1, Found 1) \n" + "FileListName: " + b +
                  " (Tot 0, Found 0) \n" + "FileListName: " + c + " (Tot 0, Found 1) \n");
    EXPECT_EQ(said_.text(),
              "zorv: unable to open file: " + b + "\nzorv: unable to open file: " + c + "\n");
    reset();  // the -l records start again
    write("b.zip", one);
    write("c.zip", two);
    index({a, b, c});
    ASSERT_EQ(unlink(b.c_str()), 0);
    ASSERT_EQ(unlink(c.c_str()), 0);
  }
  readahead_stop(threads);
}

TEST(LookupEntryName, FoundOpenFailedAndNoMatch) {
  test::TempDir dir;
  ArchiveBytes x;
  x.add("first", 7);
  x.add(std::string("with\0nul", 8), 7);
  std::string a = dir.write("a.zip", x.bytes());
  NameBuf name{nullptr, 0};
  ZipCache cache{};
  test::Said said;
  std::uint32_t second = 46 + 5 + 46 + 8;
  EXPECT_EQ(lookup_entry_name(a.c_str(), 7, second, &name, &cache, said.diag()), NameLookup::Found);
  EXPECT_EQ(std::string(name.text, 9), std::string("with\0nul", 9));  // stored bytes and a NUL
  EXPECT_EQ(lookup_entry_name(a.c_str(), 8, second, &name, &cache, said.diag()),
            NameLookup::NoMatch);
  EXPECT_EQ(lookup_entry_name(a.c_str(), 7, second - 1, &name, &cache, said.diag()),
            NameLookup::NoMatch);
  EXPECT_EQ(said.text(), "");
  std::string gone = dir / "gone.zip";
  EXPECT_EQ(lookup_entry_name(gone.c_str(), 7, second, &name, &cache, said.diag()),
            NameLookup::OpenFailed);
  EXPECT_EQ(said.text(), "zorv: unable to open file: " + gone + "\n");
  std::free(name.text);
  zip_cache_release(&cache);
}

}  // namespace
}  // namespace zorv
