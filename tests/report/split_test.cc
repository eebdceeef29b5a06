// Groups split by size (-s) through the report: the same parts as a plain
// model of the rule gives, whatever the batch limits, and -l counting only
// what was printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "report/report.h"
#include "report/sink.h"
#include "support/files.h"
#include "support/index_fixture.h"
#include "support/zip_writer.h"
#include "zip/zipdir.h"

namespace zorv {
namespace {

using test::ArchiveBytes;

struct Entry {
  std::string archive;
  std::string name;
  std::uint32_t crc;
  std::uint32_t size;
};

// The rule, written plainly: groups are the plain report's (given as lists
// of entries in print order); each splits into its sizes in the order of
// first appearance, parts of one member dropped.
std::string model(const std::vector<std::vector<Entry>>& groups) {
  std::string out;
  for (const auto& group : groups) {
    std::vector<std::uint32_t> sizes;
    for (const Entry& e : group)
      if (std::find(sizes.begin(), sizes.end(), e.size) == sizes.end()) sizes.push_back(e.size);
    for (std::uint32_t size : sizes) {
      std::vector<const Entry*> part;
      for (const Entry& e : group)
        if (e.size == size) part.push_back(&e);
      if (part.size() < 2) continue;
      char line[32];
      std::snprintf(line, sizeof line, "CRC32: 0x%08x\n", part[0]->crc);
      out += line;
      for (const Entry* e : part)
        out += "file: " + e->archive + ", " + e->name + "\n";
      out += "-------\n";
    }
  }
  return out;
}

// The plain report's groups, read back with each member's size looked up.
std::vector<std::vector<Entry>> plain_groups(const std::string& report,
                                             const std::map<std::string, Entry>& by_line) {
  std::vector<std::vector<Entry>> groups;
  std::size_t at = 0;
  while (at < report.size()) {
    std::size_t end = report.find('\n', at);
    std::string line = report.substr(at, end - at);
    at = end + 1;
    if (line.rfind("CRC32: ", 0) == 0) groups.emplace_back();
    if (line.rfind("file: ", 0) == 0) groups.back().push_back(by_line.at(line.substr(6)));
  }
  return groups;
}

class Split : public test::IndexFixture {};

TEST_F(Split, RandomCollectionsSplitLikeTheModelInAnyBatches) {
  std::mt19937 rng(716);
  for (int round = 0; round < 8; ++round) {
    reset();
    std::map<std::string, Entry> by_line;
    std::vector<std::string> paths;
    int archives = 2 + static_cast<int>(rng() % 8);
    for (int a = 0; a < archives; ++a) {
      ArchiveBytes bytes;
      std::string path = dir_ / ("r" + std::to_string(round) + "-" + std::to_string(a) + ".zip");
      int entries = 1 + static_cast<int>(rng() % 60);
      for (int e = 0; e < entries; ++e) {
        // Some long names: a batch's names then overflow a small arena, and
        // it is resolved in parts, which must still be whole groups.
        std::string name = (rng() % 8 == 0 ? std::string(9000, 'n') : "") + "e" + std::to_string(e);
        Entry x{path, name, 1 + static_cast<std::uint32_t>(rng() % 12),
                static_cast<std::uint32_t>(rng() % 3) * 1000};
        bytes.add(x.name, x.crc).uncompressed_size = x.size;
        by_line[x.archive + ", " + x.name] = x;
      }
      dir_.write(path.substr(dir_.path().size() + 1), bytes.bytes());
      paths.push_back(path);
    }
    index(paths);
    std::string plain = report().first;
    std::string want = model(plain_groups(plain, by_line));
    for (ReportLimits limits :
         {ReportLimits{1, 0}, ReportLimits{5, 0}, ReportLimits{37, 65536}, REPORT_LIMITS}) {
      auto [out, err] = report(limits, ReportSplit::Size);
      ASSERT_EQ(out, want) << "round " << round << ", " << limits.members << " members";
      EXPECT_EQ(err, "");
      EXPECT_TRUE(whole_);
    }
  }
}

// One group of more members than a batch holds is still split as a whole.
TEST_F(Split, GroupLargerThanABatchStaysWhole) {
  ArchiveBytes bytes;
  std::vector<Entry> group;
  for (int e = 0; e < 50; ++e) {
    Entry x{dir_ / "big.zip", "m" + std::to_string(e), 0xabc, e % 2 == 0 ? 10u : 20u};
    bytes.add(x.name, x.crc).uncompressed_size = x.size;
    group.push_back(x);
  }
  index({write("big.zip", bytes)});
  auto [out, err] = report(ReportLimits{8, 0}, ReportSplit::Size);
  EXPECT_EQ(out, model({group}));
}

// An archive gone since indexing takes its members out of the split (the
// reader says it could not open it): a part left with two is printed, one
// left with a single member is not.
TEST_F(Split, ArchiveGoneLeavesAPartOfOneUnprinted) {
  ArchiveBytes x;
  x.add("kept", 7).uncompressed_size = 5;
  x.add("pair", 9).uncompressed_size = 3;
  std::string a = write("a.zip", x);
  std::string b = write("b.zip", x);
  ArchiveBytes y;
  y.add("kept", 7).uncompressed_size = 5;
  std::string c = write("c.zip", y);
  index({a, b, c});
  ASSERT_EQ(unlink(b.c_str()), 0);
  auto [out, err] = report(REPORT_LIMITS, ReportSplit::Size);
  EXPECT_EQ(out, "CRC32: 0x00000007\nfile: " + a + ", kept\nfile: " + c + ", kept\n-------\n");
  EXPECT_EQ(err, "zorv: unable to open file: " + b + "\n");
}

// -l with a split counts the members printed: a part of one member is not.
TEST_F(Split, SummaryCountsPrintedMembersOnly) {
  ArchiveBytes a;
  a.add("x", 7).uncompressed_size = 5;
  a.add("y", 7).uncompressed_size = 6;  // alone in its size: not printed
  ArchiveBytes b;
  b.add("x", 7).uncompressed_size = 5;
  std::string pa = write("a.zip", a);
  std::string pb = write("b.zip", b);
  index({pa, pb});
  test::CaptureFd out(1);
  {
    TextSink sink;
    Revisit* rv = revisit_start(nullptr, &cache_, nullptr);
    Report* r = report_gather(
        ix_, ReportOptions{.limits = REPORT_LIMITS, .split = ReportSplit::Size, .tally = ix_},
        &sink, rv);
    release_groups(ix_);  // the report counts as it prints: no group is read again
    EXPECT_TRUE(report_print(r, nullptr));
    revisit_stop(rv);
    print_archive_summary(ix_, &sink);
  }
  EXPECT_EQ(out.text(), "CRC32: 0x00000007\nfile: " + pa + ", x\nfile: " + pb + ", x\n-------\n" +
                            "FileListName: " + pa + " (Tot 2, Found 1) \n" + "FileListName: " + pb +
                            " (Tot 1, Found 1) ***\n");
}

}  // namespace
}  // namespace zorv
