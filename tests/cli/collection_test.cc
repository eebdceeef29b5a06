// End-to-end runs over whole collections: one written by independent ZIP
// writers with real contents, and random ones checked against a model.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/files.h"
#include "support/zip_writer.h"
#include "util/rbtree.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Group;
using test::RunResult;

// Archives by Python's zipfile (stored and deflated, directory entries,
// empty files, an archive comment) and by Info-ZIP zip, nested directories.
TEST(Collection, IndependentWritersFullReport) {
  std::string dir = std::string(ZORV_FIXTURE_DIR);
  std::vector<std::string> args = {"-R", "collection/photos.zip", "collection/backup",
                                   "collection/projects.zip"};
  bool info_zip = !test::read_file(dir + "/collection/info-zip.zip").empty();
  if (info_zip) args.push_back("collection/info-zip.zip");
  RunResult r = test::run_zorv(args, dir);
  std::string notes_group =
      "CRC32: 0x303bb704\n"
      "file: collection/photos.zip, notes.txt\n"
      "file: collection/projects.zip, site/notes.txt\n" +
      std::string(info_zip ? "file: collection/info-zip.zip, old/notes.txt\n" : "") + "-------\n";
  test::expect_run(r, 0,
                   "CRC32: 0x38fe9f07\n"
                   "file: collection/photos.zip, img/b.jpg\n"
                   "file: collection/backup/2023/photos-copy.zip, b-renamed.jpg\n"
                   "file: collection/projects.zip, site/logo.jpg\n"
                   "-------\n" +
                       notes_group +
                       "CRC32: 0x57081df1\n"
                       "file: collection/photos.zip, img/a.jpg\n"
                       "file: collection/photos.zip, img/a (1).jpg\n"
                       "file: collection/backup/2023/photos-copy.zip, a.jpg\n"
                       "-------\n",
                   "");
  EXPECT_TRUE(info_zip) << "Info-ZIP zip was not installed: part of the collection is missing";
}

// Archives from real writers that need ZIP64 or carry a stub in front are
// read whole: a self-extractor and its plain archive are copies of each
// other, and -l counts entries beyond 16 bits in full.
TEST(Collection, Zip64AndSelfExtractorsAreRead) {
  test::TempDir dir;
  std::string fx = std::string(ZORV_FIXTURE_DIR) + "/";
  for (const char* name : {"izip/zip-fz.zip", "sfx/stub-zip-fz.zip", "py/count-over-16-bits.zip"})
    dir.write(std::string(name).substr(std::string(name).find('/') + 1),
              test::read_file(fx + name));
  dir.write("copy-of-count.zip", test::read_file(fx + "py/count-over-16-bits.zip"));
  RunResult r = test::run_zorv(
      {"-l", "zip-fz.zip", "stub-zip-fz.zip", "count-over-16-bits.zip", "copy-of-count.zip"},
      dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::size_t summary = r.out.find("FileListName: ");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_EQ(r.out.substr(summary),
            "FileListName: copy-of-count.zip (Tot 70000, Found 70000) ***\n"
            "FileListName: count-over-16-bits.zip (Tot 70000, Found 70000) ***\n"
            "FileListName: stub-zip-fz.zip (Tot 3, Found 3) ***\n"
            "FileListName: zip-fz.zip (Tot 3, Found 3) ***\n");
}

std::int32_t crc_compare(const void* key, const void* stored) {
  auto a = *static_cast<const std::uint32_t*>(key);
  auto b = *static_cast<const std::uint32_t*>(stored);
  return (a > b) - (a < b);
}

// Random collections with forced CRC-32 collisions (within and across
// archives, archives named twice, zero CRCs). The model records members per
// CRC-32 in reading order; groups come in the pre-order of a tree into which
// each CRC-32 was inserted when its group formed.
TEST(Collection, RandomCollectionsMatchModel) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 25; ++round) {
    test::TempDir dir;
    int archives = 1 + static_cast<int>(rng() % 10);
    std::uint32_t range = 1 + rng() % 30;
    std::vector<std::vector<std::pair<std::string, std::uint32_t>>> contents(archives);
    for (int a = 0; a < archives; ++a) {
      ArchiveBytes bytes;
      // Later rounds: archives long enough to be recorded in several batches,
      // so that CRC-32s meet both across batches and within one.
      int entries = 1 + static_cast<int>(rng() % (round < 15 ? 40 : 300));
      for (int e = 0; e < entries; ++e) {
        std::uint32_t crc = rng() % 7 == 0 ? 0 : (rng() % range) * 0x9E3779B1u + 1;
        std::string name = "a" + std::to_string(a) + "/e" + std::to_string(e);
        bytes.add(name, crc);
        contents[a].emplace_back(name, crc);
      }
      dir.write("z" + std::to_string(a) + ".zip", bytes.bytes());
    }
    std::vector<int> order;
    for (int a = 0; a < archives; ++a)
      order.push_back(a);
    std::shuffle(order.begin(), order.end(), rng);
    if (rng() % 2 == 0) order.push_back(order[rng() % order.size()]);

    std::map<std::uint32_t, std::vector<std::string>> members;
    std::vector<std::uint32_t> formed;  // CRC-32s in the order their groups formed
    std::vector<std::string> args;
    for (int a : order) {
      std::string path = "z" + std::to_string(a) + ".zip";
      args.push_back(path);
      for (auto& [name, crc] : contents[a]) {
        if (crc == 0) continue;
        members[crc].push_back(path + ", " + name);
        if (members[crc].size() == 2) formed.push_back(crc);
      }
    }
    RbTree* tree = rbtree_alloc(crc_compare);
    for (std::uint32_t& crc : formed)
      rbtree_insert(tree, &crc);
    std::vector<std::uint32_t> walked;
    rbtree_walk(
        tree,
        [](void* item, void* ctx) {
          static_cast<std::vector<std::uint32_t>*>(ctx)->push_back(
              *static_cast<std::uint32_t*>(item));
        },
        &walked);
    std::vector<Group> expected;
    for (std::uint32_t crc : walked)
      expected.push_back(Group{crc, members[crc]});
    rbtree_free(tree);

    RunResult r = test::run_zorv(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(test::parse_report(r.out), expected) << "round " << round << "\n" << r.out;
  }
}

}  // namespace
}  // namespace zorv
