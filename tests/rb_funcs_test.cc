#include "rb_funcs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/zip_writer.h"
#include "zorv.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::TempDir;

struct Member {
  std::string archive;
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  bool operator==(const Member&) const = default;
};

std::vector<std::vector<Member>>* groups_out;

// The DupeTree's groups in walk order, members in list order.
std::vector<std::vector<Member>> groups() {
  std::vector<std::vector<Member>> out;
  groups_out = &out;
  rbtree_walk(DupeTree->root, [](void* group) {
    groups_out->emplace_back();
    for (DupeLink* l = &static_cast<DupeGroup*>(group)->head; l != nullptr; l = l->next) {
      groups_out->back().push_back({l->entry->archive->path, l->entry->crc32, l->entry->cd_pos});
    }
  });
  return out;
}

class Indexes : public testing::Test {
 protected:
  void SetUp() override { create_indexes(); }
  void TearDown() override { release_indexes(); }
  // Writes an archive whose entries have these CRC-32s (names e0, e1, ...).
  std::string archive(const std::string& rel, std::vector<std::uint32_t> crcs) {
    ArchiveBytes a;
    for (std::size_t i = 0; i < crcs.size(); ++i)
      a.add("e" + std::to_string(i), crcs[i]);
    return dir_.write(rel, a.bytes());
  }
  TempDir dir_;
};

// cd_pos of the k-th entry (0-based) of an archive made by archive().
std::uint32_t pos(std::uint32_t k) {
  return (k + 1) * (46 + 2);
}

TEST_F(Indexes, TwoEqualCrcsInOneArchiveFormOneGroupInDirectoryOrder) {
  std::string a = archive("a.zip", {7, 9, 7});
  EXPECT_EQ(process_archive(a.c_str()), 0);
  EXPECT_EQ(CRC32_Tree->count, 2);
  EXPECT_EQ(groups(), (std::vector<std::vector<Member>>{{{a, 7, pos(0)}, {a, 7, pos(2)}}}));
}

TEST_F(Indexes, ThreeArchivesWithOneFileFormOneGroupOfThree) {
  std::string a = archive("a.zip", {5});
  std::string b = archive("b.zip", {5, 6});
  std::string c = archive("c.zip", {1, 5});
  for (const std::string& p : {b, a, c})
    process_archive(p.c_str());
  EXPECT_EQ(DupeTree->count, 1);
  EXPECT_EQ(groups(),
            (std::vector<std::vector<Member>>{{{b, 5, pos(0)}, {a, 5, pos(0)}, {c, 5, pos(1)}}}));
}

TEST_F(Indexes, ZeroCrcEntriesAddOnlyThePath) {
  std::string a = archive("zeros.zip", {0, 0, 0});
  EXPECT_EQ(process_archive(a.c_str()), 0);
  EXPECT_EQ(FileTree->count, 1);
  EXPECT_STREQ(static_cast<ArchiveName*>(rbtree_first(FileTree))->path, a.c_str());
  EXPECT_EQ(CRC32_Tree->count, 0);
  EXPECT_EQ(DupeTree->count, 0);
}

TEST_F(Indexes, FailedOpenAddsNothing) {
  test::CaptureFd err(2);
  EXPECT_EQ(process_archive((dir_ / "missing.zip").c_str()), 1);
  EXPECT_EQ(FileTree->count, 0);
  EXPECT_EQ(err.text(), "zorv: unable to open file: " + dir_ / "missing.zip" + "\n");
}

TEST_F(Indexes, SamePathTwiceWarnsAndEveryEntryDuplicatesItself) {
  std::string a = archive("twice.zip", {3, 0, 4});
  process_archive(a.c_str());
  test::CaptureFd err(2);
  process_archive(a.c_str());
  EXPECT_EQ(err.text(), "zorv: warning, duplicate file name: " + a + "\n\n");
  EXPECT_EQ(FileTree->count, 1);
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
    process_archive(p.c_str());
  std::vector<Member> want;
  for (const std::string& p : paths) {
    want.push_back({p, 42, pos(0)});
    want.push_back({p, 42, pos(1)});
  }
  EXPECT_EQ(groups(), std::vector<std::vector<Member>>{want});
}

// What a caller already found (the entry indexed first, its group) is used
// as given: the result is the same groups as searching, and a known group
// is appended to, never formed again.
TEST_F(Indexes, KnownFirstEntryAndGroupGiveTheSameGroups) {
  std::string p = archive("a.zip", {5, 6});
  ASSERT_EQ(process_archive(p.c_str()), 0);
  EntryRef probe{5, 0, nullptr};
  auto* first5 = static_cast<EntryRef*>(rbtree_find(CRC32_Tree, &probe));
  ASSERT_NE(first5, nullptr);
  ArchiveName* name = first5->archive;
  CRC32_TreeInsert(5, 1000, name, first5);  // group of 5 forms without a CRC32_Tree search
  DupeGroup key{{first5, nullptr}, nullptr};
  auto* group5 = static_cast<DupeGroup*>(rbtree_find(DupeTree, &key));
  ASSERT_NE(group5, nullptr);
  CRC32_TreeInsert(5, 2000, name, first5, group5);  // joins it without any search
  CRC32_TreeInsert(6, 3000, name);                  // searches both trees
  EXPECT_EQ(DupeTree->count, 2);
  EXPECT_EQ(CRC32_Tree->count, 2);
  EXPECT_EQ(groups(), (std::vector<std::vector<Member>>{
                          {{p, 5, pos(0)}, {p, 5, 1000}, {p, 5, 2000}},
                          {{p, 6, pos(1)}, {p, 6, 3000}},
                      }));
}

// Unsigned order: 1 before 0xffffffff and before every value with the top
// bit set, in both trees keyed by CRC-32 (a subtraction would get this wrong).
TEST_F(Indexes, CrcOrderIsUnsigned) {
  std::string a = archive("a.zip", {0xffffffffu, 0x80000000u, 1, 0x7fffffffu, 0xc0000001u});
  std::string b = archive("b.zip", {0xffffffffu, 0x80000000u, 1, 0x7fffffffu, 0xc0000001u});
  process_archive(a.c_str());
  process_archive(b.c_str());
  const std::vector<std::uint32_t> want = {1, 0x7fffffffu, 0x80000000u, 0xc0000001u, 0xffffffffu};
  std::vector<std::uint32_t> groups;
  while (auto* group = static_cast<DupeGroup*>(rbtree_deletemin(DupeTree))) {
    groups.push_back(group->head.entry->crc32);
  }
  EXPECT_EQ(groups, want);
  std::vector<std::uint32_t> entries;
  while (auto* entry = static_cast<EntryRef*>(rbtree_deletemin(CRC32_Tree))) {
    entries.push_back(entry->crc32);
  }
  EXPECT_EQ(entries, want);
}

TEST_F(Indexes, ArchiveTallyOfUnopenableArchiveStartsAtZero) {
  std::string a = archive("a.zip", {1, 2, 0});
  std::string gone = dir_ / "gone.zip";
  test::CaptureFd err(2);
  EXPECT_EQ(FileListInsert(a.c_str())->found, 1);
  ArchiveTally* tally = FileListInsert(gone.c_str());
  EXPECT_EQ(tally->total, 0);
  EXPECT_EQ(tally->found, 0);
  EXPECT_EQ(FileListInsert(gone.c_str()), tally);
  EXPECT_EQ(tally->found, 1);
  ArchiveTally* first = FileListInsert(a.c_str());
  EXPECT_EQ(first->total, 3);
  EXPECT_EQ(first->found, 2);
  EXPECT_EQ(first->path, a.c_str());  // kept, not copied
  EXPECT_EQ(err.text(), "zorv: unable to open file: " + gone + "\n");
}

TEST(IndexesDeath, OutOfMemoryMessages) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  ArchiveName name{nullptr, 0};
  EntryRef first{9, 46, &name};
  EXPECT_EXIT(
      {
        create_indexes();
        fsa_exit(EntryRefPool);
        EntryRefPool = fsa_init(sizeof(EntryRef), 1);
        fsa_alloc(EntryRefPool);  // the pool's only item: the next one needs a block
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        CRC32_TreeInsert(7, 46, &name);
      },
      testing::ExitedWithCode(1), "^zorv: internal error, CRC32_TreeInsert, out of memory\n$");
  EXPECT_EXIT(
      {
        create_indexes();
        fsa_exit(DupeGroupPool);
        DupeGroupPool = fsa_init(sizeof(DupeGroup), 1);
        fsa_alloc(DupeGroupPool);
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        DupeTreeInsert(&first, &first);
      },
      testing::ExitedWithCode(1), "^zorv: internal error, DupeTreeInsert, out of memory\n$");
  EXPECT_EXIT(
      {
        create_indexes();
        test::limit_memory(1 << 20);
        test::exhaust_heap(8);
        FileTreeInsert("some/archive.zip");
      },
      testing::ExitedWithCode(1), "^zorv: internal error, FileTreeInsert, out of memory\n$");
}

TEST(IndexesDeath, NullItemAbortsAlsoInReleaseBuilds) {
  EXPECT_DEATH(free_item(nullptr),
               "zorv: zorv.cc:[0-9]+: free_item: Assertion `pItem != NULL' failed.");
}

}  // namespace
}  // namespace zorv
