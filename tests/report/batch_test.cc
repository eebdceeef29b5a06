// The report resolves names in batches (sorted by archive and position, one
// walk per archive) yet must print exactly what looking each member up on
// its own prints. The reference here does just that, with lookup_entry_name.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "index.h"
#include "report/report.h"
#include "report/sink.h"
#include "support/files.h"
#include "support/index_fixture.h"
#include "support/zip_writer.h"
#include "zip/zipdir.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::TempDir;

struct Reference {
  const Index* ix;
  std::string out;
  NameBuf name{nullptr, 0};
  ZipCache cache{};
};

void reference_group(const DupeGroup* group, void* ctx) {
  auto* ref = static_cast<Reference*>(ctx);
  char line[32];
  std::snprintf(line, sizeof line, "CRC32: 0x%08x\n", group->crc32);
  ref->out += line;
  for (std::uint32_t link = group->head; link != NO_MEMBER;) {
    GroupMember m = index_member(ref->ix, link, &link);
    EXPECT_EQ(lookup_entry_name(m.archive->path, group->crc32, m.cd_pos, &ref->name, &ref->cache,
                                nullptr),
              NameLookup::Found);
    ref->out += "file: " + std::string(m.archive->path) + ", " + ref->name.text + "\n";
  }
  ref->out += "-------\n";
}

// The report of `ix` as one-by-one lookups print it.
std::string reference_report(const Index* ix) {
  Reference ref{ix, {}, {nullptr, 0}, {}};
  index_each_group(ix, reference_group, &ref);
  std::free(ref.name.text);
  zip_cache_release(&ref.cache);
  return ref.out;
}

class ReportBatches : public test::IndexFixture {
 protected:
  std::string reference() const { return reference_report(ix_); }
  // A random name: mostly short, some long, some empty, some with a NUL.
  std::string name(std::mt19937& rng, int i) {
    switch (rng() % 12) {
      case 0:
        return "";
      case 1:
        return "long-" + std::string(1000 + rng() % 30000, static_cast<char>('a' + i % 26));
      case 2:
        return std::string("nul\0after", 9) + std::to_string(i);
      default:
        return "dir" + std::to_string(rng() % 5) + "/file-" + std::to_string(i);
    }
  }
};

TEST_F(ReportBatches, RandomCollectionsPrintLikeOneByOneLookups) {
  std::mt19937 rng(1207);
  for (int round = 0; round < 6; ++round) {
    reset();
    std::vector<std::string> paths;
    int archives = 3 + static_cast<int>(rng() % 12);
    int crc_range = 2 + static_cast<int>(rng() % 40);  // small: forces collisions
    for (int a = 0; a < archives; ++a) {
      ArchiveBytes bytes;
      int entries = 1 + static_cast<int>(rng() % (a == 0 ? 300 : 25));  // one big archive
      for (int e = 0; e < entries; ++e) {
        bytes.add(name(rng, e), static_cast<std::uint32_t>(rng() % crc_range));  // 0 too
      }
      if (rng() % 3 == 0) bytes.headers.back().set_comment(test::to_bytes("c"));
      paths.push_back(dir_.write("r" + std::to_string(round) + "/a" + std::to_string(a) + ".zip",
                                 bytes.bytes()));
    }
    paths.push_back(paths[rng() % paths.size()]);  // one archive named twice
    index(paths);  // its warning for the archive named twice goes to said_
    std::string want = reference();
    ASSERT_FALSE(want.empty());
    for (ReportLimits limits :
         {ReportLimits{1, 0}, ReportLimits{2, 0}, ReportLimits{3, 65536}, ReportLimits{7, 70000},
          ReportLimits{64, 1 << 20}, ReportLimits{64, 1 << 20, 1}, ReportLimits{64, 1 << 20, 3},
          ReportLimits{std::size_t{1} << 19, std::size_t{32} << 20}}) {
      auto [out, err] = report(limits);
      ASSERT_EQ(out, want) << "round " << round << ", " << limits.members << " members, "
                           << limits.name_bytes << " bytes";
      EXPECT_EQ(err, "");
      // Every name came from the batch's own walks, none from a lookup.
      EXPECT_EQ(stats_.lookups, 0u);
      EXPECT_GE(stats_.archive_walks, stats_.batches);
    }
  }
}

// Batches of thousands of members are sorted by a radix sort over archive
// and directory position (in several passes); the print is still exact.
TEST_F(ReportBatches, LargeBatchesPrintLikeOneByOneLookups) {
  std::mt19937 rng(31);
  std::vector<std::string> paths;
  for (int a = 0; a < 12; ++a) {
    ArchiveBytes bytes;
    for (int e = 0; e < 600; ++e) {
      // Names of varying length spread directory positions over 16 bits.
      std::string name =
          "a" + std::to_string(a) + "/" + std::string(rng() % 200, 'n') + std::to_string(e);
      bytes.add(name, 1 + rng() % 1500);
    }
    paths.push_back(dir_.write("big" + std::to_string(a) + ".zip", bytes.bytes()));
  }
  index(paths);
  std::string want = reference();
  std::size_t members = 0;
  for (std::size_t at = want.find("\nfile: "); at != std::string::npos;
       at = want.find("\nfile: ", at + 1)) {
    ++members;
  }
  ASSERT_GT(members, 5000u);
  for (ReportLimits limits : {ReportLimits{4096, 0}, ReportLimits{5000, 0},
                              ReportLimits{std::size_t{1} << 19, std::size_t{32} << 20}}) {
    auto [out, err] = report(limits);
    ASSERT_EQ(out, want) << limits.members << " members per batch";
    EXPECT_EQ(err, "");
    EXPECT_EQ(stats_.lookups, 0u);
    if (limits.members > members) {  // one batch: each archive read once
      EXPECT_EQ(stats_.batches, 1u);
      EXPECT_EQ(stats_.archive_walks, paths.size());
    }
  }
}

// One archive holding thousands of members, its directory past 64 KiB: its
// run is radix-sorted by position in two passes, after the sort by archive.
TEST_F(ReportBatches, ThousandsOfMembersInOneArchive) {
  std::mt19937 rng(41);
  ArchiveBytes small;
  small.add("s/one", 77);
  ArchiveBytes bytes;
  for (int e = 0; e < 6000; ++e)
    bytes.add("h/" + std::string(rng() % 40, 'x') + std::to_string(e), 100 + rng() % 2500);
  bytes.add("h/seventy-seven", 77);
  std::string first = dir_.write("first.zip", small.bytes());
  std::string huge = dir_.write("huge.zip", bytes.bytes());
  index({first, huge});
  std::string want = reference();
  ASSERT_GT(std::count(want.begin(), want.end(), '\n'), 6000);
  for (ReportLimits limits : {ReportLimits{std::size_t{1} << 19, std::size_t{32} << 20},
                              ReportLimits{5000, std::size_t{1} << 20}}) {
    auto [out, err] = report(limits);
    ASSERT_EQ(out, want) << limits.members << " members per batch";
    EXPECT_EQ(err, "");
    EXPECT_EQ(stats_.lookups, 0u);
    EXPECT_EQ(stats_.batches, limits.members == 5000 ? 2u : 1u);
  }
}

// Once gathered, the groups may go (the run releases them without -l): the
// report prints from its own copies, in one batch or in several. The
// sanitizer build catches any read of a released group, link or entry.
TEST_F(ReportBatches, GroupsMayGoOnceGathered) {
  std::mt19937 rng(77);
  for (int a = 0; a < 5; ++a) {
    ArchiveBytes bytes;
    for (int e = 0; e < 40; ++e)
      bytes.add(name(rng, e), static_cast<std::uint32_t>(1 + rng() % 30));
    process(dir_.write("g" + std::to_string(a) + ".zip", bytes.bytes()));
  }
  std::string want = reference();
  for (ReportLimits limits : {ReportLimits{16, std::size_t{1} << 20}, REPORT_LIMITS}) {
    test::CaptureFd out(1);
    {
      TextSink sink;
      Revisit* rv = revisit_start(nullptr, &cache_, nullptr);
      Report* r = report_gather(ix_, ReportOptions{.limits = limits}, &sink, rv);
      release_groups(ix_);
      EXPECT_TRUE(report_print(r, &stats_));
      revisit_stop(rv);
    }
    EXPECT_EQ(out.text(), want);
    if (limits.members == 16) {
      EXPECT_GT(stats_.batches, 1u);
    } else {
      EXPECT_EQ(stats_.batches, 1u);
    }
    EXPECT_EQ(ix_->DupeTree, nullptr);
    // Again from the same archives, for the next limits.
    reset();
    for (int a = 0; a < 5; ++a)
      process(dir_ / ("g" + std::to_string(a) + ".zip"));
  }
}

// Archives numbered far apart (as after tens of thousands of archives),
// in reverse order, with thousands of members: more numbers than members,
// so the members are put in archive order by the radix sort. The numbers
// differ only above their low 16 bits: only the second pass tells them apart.
TEST_F(ReportBatches, BigBatchFromArchivesNumberedFarApart) {
  std::mt19937 rng(53);
  for (int a = 0; a < 8; ++a) {
    ArchiveBytes bytes;
    for (int e = 0; e < 700; ++e)
      bytes.add("n" + std::to_string(a) + "/" + std::to_string(rng() % 100000), 1 + rng() % 900);
    process(dir_.write("n" + std::to_string(a) + ".zip", bytes.bytes()));
  }
  std::uint32_t next = 65536u * 60000u;
  rbtree_walk(
      ix_->FileTree,
      [](void* item, void* ctx) {
        auto* n = static_cast<std::uint32_t*>(ctx);
        static_cast<ArchiveName*>(item)->ordinal = *n;
        *n -= 65536u * 7000u;
      },
      &next);
  std::string want = reference();
  ASSERT_GT(std::count(want.begin(), want.end(), '\n'), 5000);
  auto [out, err] = report(ReportLimits{std::size_t{1} << 19, std::size_t{32} << 20});
  EXPECT_EQ(out, want);
  EXPECT_EQ(err, "");
  EXPECT_EQ(stats_.lookups, 0u);
  EXPECT_EQ(stats_.batches, 1u);
  EXPECT_EQ(stats_.archive_walks, 8u);
}

// Members from a few archives far apart in number (the ordinals span more
// archives than there are members), listed out of archive order: they are
// still brought together, one walk per archive and batch.
TEST_F(ReportBatches, FewMembersFromArchivesFarApart) {
  // Groups (by archive): 0x700 in z7 and z11, 0x200 in z2 and z7, 0x50 in
  // z0 and z11; every other archive holds only unique entries.
  std::vector<std::vector<std::uint32_t>> crcs(12);
  for (int a = 0; a < 12; ++a)
    crcs[a] = {static_cast<std::uint32_t>(0x10000 + a)};
  crcs[7].push_back(0x700);
  crcs[11].push_back(0x700);
  crcs[2].push_back(0x200);
  crcs[7].push_back(0x200);
  crcs[0].push_back(0x50);
  crcs[11].push_back(0x50);
  for (int a = 0; a < 12; ++a) {
    ArchiveBytes bytes;
    for (std::size_t e = 0; e < crcs[a].size(); ++e)
      bytes.add("z" + std::to_string(a) + "/e" + std::to_string(e), crcs[a][e]);
    process(dir_.write("z" + std::to_string(a) + ".zip", bytes.bytes()));
  }
  std::string want = reference();
  auto [out, err] = report(ReportLimits{std::size_t{1} << 19, std::size_t{1} << 20});
  EXPECT_EQ(out, want);
  EXPECT_EQ(err, "");
  EXPECT_EQ(stats_.batches, 1u);
  EXPECT_EQ(stats_.archive_walks, 4u);  // z0, z2, z7, z11
}

TEST_F(ReportBatches, VanishedArchiveAcrossBatches) {
  ArchiveBytes x;
  for (int i = 0; i < 5; ++i)
    x.add("f" + std::to_string(i), 0x100 + i);
  std::string a = dir_.write("a.zip", x.bytes());
  std::string b = dir_.write("b.zip", x.bytes());
  index({a, b});
  ASSERT_EQ(unlink(b.c_str()), 0);
  auto [out, err] = report(ReportLimits{4, 0});
  // Each of b's lines names the failure in place of the entry name.
  std::string failed = "file: " + b + ", openzip failed on: " + b + "\n";
  std::size_t count = 0;
  for (std::size_t at = out.find(failed); at != std::string::npos; at = out.find(failed, at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 5u) << out;
  EXPECT_EQ(out.find("file: " + a + ", openzip failed"), std::string::npos);
  // The reader says why, once per batch that needed the archive.
  std::string line = "zorv: unable to open file: " + b + "\n";
  ASSERT_FALSE(err.empty());
  for (std::size_t at = 0; at < err.size(); at += line.size()) {
    ASSERT_EQ(err.compare(at, line.size(), line), 0) << err;
  }
}

TEST_F(ReportBatches, ChangedArchiveEndsTheRunAfterTheLinesBeforeIt) {
  ArchiveBytes x;
  for (int i = 0; i < 4; ++i)
    x.add("f" + std::to_string(i), 0x100);
  std::string a = dir_.write("a.zip", x.bytes());
  process(a);
  ArchiveBytes fewer;
  for (int i = 0; i < 2; ++i)
    fewer.add("f" + std::to_string(i), 0x100);
  dir_.write("a.zip", fewer.bytes());
  auto [out, err] = report(ReportLimits{2, 0});
  EXPECT_FALSE(whole_);
  // The first batch printed whole; the second stops at the member its
  // archive no longer holds, and nothing follows it.
  EXPECT_EQ(out, "CRC32: 0x00000100\nfile: " + a + ", f0\nfile: " + a + ", f1\n");
  EXPECT_EQ(err, "");
}

}  // namespace
}  // namespace zorv
