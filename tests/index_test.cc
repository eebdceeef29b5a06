#include "index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "index_internal.h"
#include "support/child.h"
#include "support/files.h"
#include "support/index_fixture.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Bytes;
using test::TempDir;

struct Member {
  std::string archive;
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  bool operator==(const Member&) const = default;
};

using Groups = std::vector<std::vector<Member>>;

struct Collecting {
  const Index* ix;
  Groups out;
};

void collect_group(const DupeGroup* group, void* ctx) {
  auto* c = static_cast<Collecting*>(ctx);
  c->out.emplace_back();
  std::uint32_t size = 0;
  for (std::uint32_t link = group->head; link != NO_MEMBER; ++size) {
    GroupMember m = index_member(c->ix, link, &link);
    c->out.back().push_back({m.archive->path, group->crc32, m.cd_pos});
  }
  EXPECT_EQ(size, group->size);
}

// The DupeTree's groups in walk order, members in list order.
Groups groups_of(const Index* ix) {
  Collecting c{ix, {}};
  index_each_group(ix, collect_group, &c);
  return c.out;
}

class Indexes : public test::IndexFixture {
 protected:
  Groups groups() const { return groups_of(ix_); }
  // Writes an archive whose entries have these CRC-32s (names e0, e1, ...).
  std::string archive(const std::string& rel, std::vector<std::uint32_t> crcs) {
    ArchiveBytes a;
    for (std::size_t i = 0; i < crcs.size(); ++i)
      a.add("e" + std::to_string(i), crcs[i]);
    return write(rel, a);
  }
};

// cd_pos of the k-th entry (0-based) of an archive made by archive().
// A file identity with the given device and inode, size and
// modification time.
FileId id(std::uint64_t dev, std::uint64_t ino, std::int64_t size = 100, std::int64_t sec = 0,
          std::int64_t nsec = 0) {
  return FileId{dev, ino, size, sec, nsec};
}

std::uint32_t pos(std::uint32_t k) {
  return (k + 1) * (46 + 2);
}

TEST_F(Indexes, TwoEqualCrcsInOneArchiveFormOneGroupInDirectoryOrder) {
  std::string a = archive("a.zip", {7, 9, 7});
  EXPECT_EQ(process(a), 0);
  EXPECT_EQ(ix_->first_seen.count, 2u);
  EXPECT_EQ(groups(), (std::vector<std::vector<Member>>{{{a, 7, pos(0)}, {a, 7, pos(2)}}}));
}

TEST_F(Indexes, ThreeArchivesWithOneFileFormOneGroupOfThree) {
  std::string a = archive("a.zip", {5});
  std::string b = archive("b.zip", {5, 6});
  std::string c = archive("c.zip", {1, 5});
  for (const std::string& p : {b, a, c})
    process(p);
  EXPECT_EQ(ix_->DupeTree->count, 1);
  EXPECT_EQ(groups(),
            (std::vector<std::vector<Member>>{{{b, 5, pos(0)}, {a, 5, pos(0)}, {c, 5, pos(1)}}}));
}

TEST_F(Indexes, ZeroCrcEntriesAddOnlyThePath) {
  std::string a = archive("zeros.zip", {0, 0, 0});
  EXPECT_EQ(process(a), 0);
  EXPECT_EQ(ix_->FileTree->count, 1);
  EXPECT_STREQ(static_cast<ArchiveName*>(rbtree_first(ix_->FileTree))->path, a.c_str());
  EXPECT_EQ(ix_->first_seen.count, 0u);
  EXPECT_EQ(ix_->DupeTree->count, 0);
}

TEST_F(Indexes, FailedOpenAddsNothing) {
  EXPECT_EQ(process(dir_ / "missing.zip"), 1);
  EXPECT_EQ(ix_->FileTree->count, 0);
  EXPECT_EQ(said_.text(), "zorv: unable to open file: " + dir_ / "missing.zip" + "\n");
}

TEST_F(Indexes, SamePathTwiceWarnsAndEveryEntryDuplicatesItself) {
  std::string a = archive("twice.zip", {3, 0, 4});
  process(a);
  EXPECT_EQ(said_.text(), "");
  process(a);
  EXPECT_EQ(said_.text(), "zorv: warning, duplicate file name: " + a + "\n\n");
  EXPECT_EQ(ix_->FileTree->count, 1);
  std::vector<std::vector<Member>> g = groups();
  ASSERT_EQ(g.size(), 2u);
  for (const auto& group : g) {
    ASSERT_EQ(group.size(), 2u);
    EXPECT_EQ(group[0], group[1]);
  }
}

TEST_F(Indexes, GroupsGrowInRecordingOrder) {
  std::vector<std::string> paths;
  for (int i = 0; i < 6; ++i)
    paths.push_back(archive("g" + std::to_string(i) + ".zip", {42, 42}));
  for (const std::string& p : paths)
    process(p);
  std::vector<Member> want;
  for (const std::string& p : paths) {
    want.push_back({p, 42, pos(0)});
    want.push_back({p, 42, pos(1)});
  }
  EXPECT_EQ(groups(), std::vector<std::vector<Member>>{want});
}

// The recorder warms a batch's tree paths and hands on what it found (the
// entry indexed first, its group). The groups must be those of recording
// every entry on its own, searching as it goes: same members, same order.
TEST_F(Indexes, BatchedRecordingGivesTheGroupsOfOneByOneInserts) {
  std::mt19937 rng(2024);
  std::vector<std::string> paths;
  for (int a = 0; a < 4; ++a) {
    std::vector<std::uint32_t> crcs;
    for (int e = 0; e < 70; ++e)  // several batches; repeats within and across them
      crcs.push_back(1 + static_cast<std::uint32_t>(rng() % 40));
    paths.push_back(archive("b" + std::to_string(a) + ".zip", crcs));
  }
  IndexFail fail;
  Index* one_by_one = create_indexes(nullptr, &fail);
  for (const std::string& p : paths) {
    ASSERT_EQ(process(p), 0);
    ArchiveName* name = FileTreeInsert(one_by_one, p.c_str());
    ZipDir* zd = openzip(p.c_str(), nullptr);
    ASSERT_NE(zd, nullptr);
    const ZipEntry* e;
    while (readzip(zd, &e, nullptr) == ZipRead::Entry)
      CRC32_TreeInsert(one_by_one, e->crc32, zip_entry_pos(zd), name);
    closezip(zd);
  }
  Groups want = groups_of(one_by_one);
  EXPECT_EQ(groups(), want);
  EXPECT_EQ(index_counts(ix_).group_members, index_counts(one_by_one).group_members);
  std::size_t members = 0;
  for (const auto& g : want)
    members += g.size();
  EXPECT_EQ(index_counts(ix_).group_members, members);
  release_indexes(one_by_one);
}

// Unsigned order: 1 before 0xffffffff and before every value with the top
// bit set, in the DupeTree (a subtraction would get this wrong).
TEST_F(Indexes, CrcOrderIsUnsigned) {
  std::string a = archive("a.zip", {0xffffffffu, 0x80000000u, 1, 0x7fffffffu, 0xc0000001u});
  std::string b = archive("b.zip", {0xffffffffu, 0x80000000u, 1, 0x7fffffffu, 0xc0000001u});
  process(a);
  process(b);
  const std::vector<std::uint32_t> want = {1, 0x7fffffffu, 0x80000000u, 0xc0000001u, 0xffffffffu};
  std::vector<std::uint32_t> groups;
  while (auto* group = static_cast<DupeGroup*>(rbtree_deletemin(ix_->DupeTree))) {
    groups.push_back(group->crc32);
  }
  EXPECT_EQ(groups, want);
}

// -l's record of an archive the report could not read again starts at 0
// and is never complete; later members still count.
TEST_F(Indexes, ArchiveTallyOfUnopenableArchiveStartsAtZero) {
  std::string a = archive("a.zip", {1, 2, 0});
  ASSERT_EQ(process(a), 0);
  auto* name = static_cast<ArchiveName*>(rbtree_first(ix_->FileTree));
  ArchiveName gone{};
  gone.ordinal = 7;
  gone.complete = true;
  gone.entries = 5;
  gone.id = id(1, 2);
  std::string gone_path = dir_ / "gone.zip";
  gone.path = gone_path.data();
  EXPECT_EQ(FileListInsert(ix_, name, true)->found, 1u);
  ArchiveTally* tally = FileListInsert(ix_, &gone, false);
  EXPECT_EQ(tally->total, 0u);
  EXPECT_EQ(tally->found, 0u);
  EXPECT_FALSE(tally->complete);
  EXPECT_EQ(FileListInsert(ix_, &gone, true),
            tally);  // only the first count says whether it opened
  EXPECT_EQ(tally->found, 1u);
  EXPECT_EQ(tally->total, 0u);
  ArchiveTally* first = FileListInsert(ix_, name, false);
  EXPECT_EQ(first->total, 3u);  // what the walk read, zero CRC-32 included
  EXPECT_EQ(first->found, 2u);
  EXPECT_TRUE(first->complete);
  EXPECT_EQ(first->path, name->path);  // kept, not copied
  std::vector<std::string> listed;
  index_each_listed(
      ix_,
      [](const ArchiveTally* t, void* ctx) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(t->path);
      },
      &listed);
  EXPECT_EQ(listed, (std::vector<std::string>{a, gone_path}));  // ascending paths
}

// The entries a walk read, whether it reached the directory's end, and the
// file it read, are kept with the archive: -l counts and marks by them.
TEST_F(Indexes, ArchiveKeepsWhatItsWalkRead) {
  ArchiveBytes cut;
  cut.add("ok", 5);
  cut.add("ok too", 0);
  cut.add("cut", 6).set_name_len(900);
  cut.end.total_entries = 9;
  cut.end.disk_entries = 9;
  std::string a = write("cut.zip", cut);
  ASSERT_EQ(process_archive(ix_, a.c_str(), id(3, 4), &cache_), 0);
  auto* name = static_cast<ArchiveName*>(rbtree_first(ix_->FileTree));
  EXPECT_EQ(name->entries, 2u);
  EXPECT_FALSE(name->complete);
  EXPECT_EQ(name->id.ino, 4u);
}

// A second path to a file already indexed is not read again; the same path
// twice is (today's warning). The first path stays the one named. A file
// on the inode of one read before, with another size or modification time
// (a new file on a deleted one's inode), is read.
TEST_F(Indexes, SecondPathToTheSameFileIsNotRead) {
  std::string a = archive("a.zip", {1, 2});
  std::string b = archive("b.zip", {1, 3});
  std::string c = archive("c.zip", {1, 4});
  ASSERT_EQ(process_archive(ix_, a.c_str(), id(1, 10), &cache_), 0);
  ASSERT_EQ(process_archive(ix_, b.c_str(), id(1, 10), &cache_), 0);  // "b" is a's file
  ASSERT_EQ(process_archive(ix_, b.c_str(), id(2, 10), &cache_), 0);  // another device
  ASSERT_EQ(process_archive(ix_, c.c_str(), id(1, 10, 100, 0, 1), &cache_), 0);  // a's inode, reused
  EXPECT_EQ(said_.text(), "zorv: warning, same file as " + a + ": " + b + "\n");
  EXPECT_EQ(ix_->FileTree->count, 3);
  EXPECT_EQ(groups(), (Groups{{{a, 1, pos(0)}, {b, 1, pos(0)}, {c, 1, pos(0)}}}));
}

// A file is one file by every field of its status that survives a rename
// or a second link: any other size or modification time, down to the
// nanosecond, makes another file even on the same device and inode.
TEST(FileIdentity, InodeAloneIsNotTheFile) {
  struct stat one {};
  one.st_dev = 3;
  one.st_ino = 77;
  one.st_size = 4096;
  one.st_mtim = {1700000000, 123456789};
  struct stat copy = one;
  copy.st_nlink = 2;  // a hard link: only fields outside the identity may differ
  copy.st_atim = {1, 2};
  EXPECT_EQ(file_id_compare(file_id_of(one), file_id_of(copy)), 0);
  struct stat bigger = one, later = one, finer = one;
  bigger.st_size += 1;
  later.st_mtim.tv_sec += 1;
  finer.st_mtim.tv_nsec += 1;
  for (const struct stat& other : {bigger, later, finer}) {
    EXPECT_LT(file_id_compare(file_id_of(one), file_id_of(other)), 0);
    EXPECT_GT(file_id_compare(file_id_of(other), file_id_of(one)), 0);
  }
  // Device and inode still order first: a larger inode with a smaller size.
  struct stat next = one;
  next.st_ino += 1;
  next.st_size = 1;
  EXPECT_LT(file_id_compare(file_id_of(one), file_id_of(next)), 0);
}

// End to end: a.zip is read and then deleted during the run, and b.zip,
// created next, gets its inode (ext4 hands a freed inode to the next new
// file). b.zip is another file: it is read and its group reported. With
// -j 1 a.zip has been read when the run warns about the missing path
// (asking for y.zip filled the window of two), and a full standard error
// holds it there, before b.zip, while the files change.
TEST(SameFileRun, NewFileOnAReusedInodeIsRead) {
  TempDir dir;
  std::string a_path = dir.write("a.zip", test::archive_of({{"a1", 0xa1}}).bytes());
  dir.write("x.zip", test::archive_of({{"x1", 0xc1}}).bytes());
  dir.write("y.zip", test::archive_of({{"y1", 0xd1}}).bytes());
  // Bigger than a.zip: another size even where the clock is too coarse
  // for the modification times to differ.
  Bytes b = test::archive_of({{"b1", 0xb0b0}, {"b2", 0xb0b0}, {"padding", 0xb1}}).bytes();
  struct stat a_st;
  ASSERT_EQ(stat(a_path.c_str(), &a_st), 0);
  test::ChildSetup setup;
  setup.err_full = true;
  test::Child run({"-j", "1", "a.zip", "x.zip", "y.zip", "missing", "b.zip"}, dir.path(), setup);
  ASSERT_TRUE(run.wait_writing());
  ASSERT_EQ(unlink(a_path.c_str()), 0);
  struct stat b_st;
  ASSERT_EQ(stat(dir.write("b.zip", b).c_str(), &b_st), 0);
  int status = run.finish();
  if (b_st.st_dev != a_st.st_dev || b_st.st_ino != a_st.st_ino)
    GTEST_SKIP() << "the file system gave b.zip a new inode: nothing to show";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run.out(), test::report_block(0xb0b0, {"b.zip, b1", "b.zip, b2"}));
  const std::string& err = run.err();
  EXPECT_EQ(err.substr(err.find_first_not_of('f')),
            "warning, No such file or directory: \"missing\"\n");
}

// Out of memory ends nothing here: the operation fails, the Index keeps the
// first failure, and its line is the one the run has always printed.
TEST(IndexesDeath, OutOfMemoryIsAFailureValueWithItsLine) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  auto failed_with = [](Index* ix, IndexFail want, const char* text) {
    bool prefixed = false;
    return index_failure(ix) == want &&
           std::strcmp(index_failure_text(want, &prefixed), text) == 0 && prefixed;
  };
  EXPECT_EXIT(
      {
        IndexFail fail;
        Index* ix = create_indexes(nullptr, &fail);
        ArchiveName* name = FileTreeInsert(ix, "a.zip");
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        bool ok = CRC32_TreeInsert(ix, 7, 46, name) == 1 && ix->first_seen.count == 0 &&
                  failed_with(ix, IndexFail::CrcInsert,
                              "internal error, CRC32_TreeInsert, out of memory");
        std::exit(ok ? 3 : 0);
      },
      testing::ExitedWithCode(3), "^$");
  EXPECT_EXIT(
      {
        IndexFail fail;
        Index* ix = create_indexes(nullptr, &fail);
        ArchiveName* name = FileTreeInsert(ix, "a.zip");
        bool first = CRC32_TreeInsert(ix, 7, 46, name) == 0;  // the first of its CRC-32
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        bool ok =
            first && CRC32_TreeInsert(ix, 7, 92, name) == 1 && ix->groups.count == 0 &&
            index_counts(ix).group_members == 0 &&
            failed_with(ix, IndexFail::DupeInsert, "internal error, DupeTreeInsert, out of memory");
        std::exit(ok ? 3 : 0);
      },
      testing::ExitedWithCode(3), "^$");
  EXPECT_EXIT(
      {
        IndexFail fail;
        Index* ix = create_indexes(nullptr, &fail);
        test::limit_memory(1 << 20);
        test::exhaust_heap_finely(sizeof(ArchiveName) + 64);  // the record and its path
        bool ok =
            FileTreeInsert(ix, "some/archive.zip") == nullptr && ix->FileTree->count == 0 &&
            failed_with(ix, IndexFail::FileInsert, "internal error, FileTreeInsert, out of memory");
        std::exit(ok ? 3 : 0);
      },
      testing::ExitedWithCode(3), "^$");
}

TEST(IndexesDeath, NullItemAbortsAlsoInReleaseBuilds) {
  EXPECT_DEATH(free_item(nullptr),
               "zorv: index.cc:[0-9]+: free_item: Assertion `pItem != NULL' failed.");
}

}  // namespace
}  // namespace zorv
