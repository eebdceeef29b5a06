// End-to-end: what zorv says must be safe to act on. One file is one
// archive whatever paths reach it, -l counts what the directory holds, no
// archive is skipped without a word, and the end-record search is bounded.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
using test::expect_run;

class Safety : public test::CliRun {};

// A symlink, a hard link and overlapping directory arguments reach one file
// twice: it is read once, the second path is named on stderr, and nothing
// is reported as its own copy.
TEST_F(Safety, SecondPathToAFileIsNotReadAgain) {
  put("d/a.zip", archive({{"x", 0x11}, {"y", 0x22}}));
  put("e/b.zip", archive({{"x2", 0x11}}));
  ASSERT_EQ(symlink("a.zip", (dir_ / "d/sym.zip").c_str()), 0);
  ASSERT_EQ(link((dir_ / "d/a.zip").c_str(), (dir_ / "hard.zip").c_str()), 0);
  std::string group = block(0x11, {"d/a.zip, x", "e/b.zip, x2"});
  expect_run(run({"-l", "d/a.zip", "e/b.zip", "d/sym.zip", "hard.zip"}), 0,
             group + "FileListName: d/a.zip (Tot 2, Found 1) \n" +
                 "FileListName: e/b.zip (Tot 1, Found 1) ***\n",
             "zorv: warning, same file as d/a.zip: d/sym.zip\n"
             "zorv: warning, same file as d/a.zip: hard.zip\n");
  // "d" and "./d" name one directory: each archive once, under its first path.
  ASSERT_EQ(unlink((dir_ / "d/sym.zip").c_str()), 0);
  expect_run(run({"-l", "d", "e", "./d"}), 0,
             group + "FileListName: d/a.zip (Tot 2, Found 1) \n" +
                 "FileListName: e/b.zip (Tot 1, Found 1) ***\n",
             "zorv: warning, same file as d/a.zip: ./d/a.zip\n");
}

// The same path named twice keeps its old behaviour: read twice, and said.
TEST_F(Safety, SamePathTwiceIsStillReadTwice) {
  put("a.zip", archive({{"x", 0x11}}));
  expect_run(run({"a.zip", "a.zip"}), 0, block(0x11, {"a.zip, x", "a.zip, x"}),
             "zorv: warning, duplicate file name: a.zip\n\n");
}

// Tot is what the directory walk read, not what the end record claims; a
// walk that stopped at a damaged header never earns ***.
TEST_F(Safety, TotCountsTheDirectoryNotTheClaim) {
  put("copies.zip", archive({{"c1", 1}, {"c2", 2}, {"c3", 3}}));
  ArchiveBytes fewer = archive({{"f1", 1}, {"f2", 0x77}, {"f3", 0x78}});
  fewer.end.total_entries = 1;  // claims one; two entries have no copy
  fewer.end.disk_entries = 1;
  put("fewer.zip", fewer);
  ArchiveBytes more = archive({{"m1", 1}, {"m2", 2}});
  more.end.total_entries = 9;  // claims nine; both it holds have a copy
  more.end.disk_entries = 9;
  put("more.zip", more);
  ArchiveBytes cut = archive({{"k1", 3}, {"k2", 2}});
  cut.headers[1].set_name_len(0xffff);  // the walk stops after k1
  put("cut.zip", cut);
  test::RunResult r = run({"-l", "copies.zip", "fewer.zip", "more.zip", "cut.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "zorv: error, invalid filename length in directory: cut.zip\n");
  std::string rest;
  test::parse_report(r.out, &rest);
  EXPECT_EQ(rest,
            "FileListName: copies.zip (Tot 3, Found 3) ***\n"
            "FileListName: cut.zip (Tot 1, Found 1) \n"
            "FileListName: fewer.zip (Tot 3, Found 1) \n"
            "FileListName: more.zip (Tot 2, Found 2) ***\n");
}

// A directory that can be listed but not entered (mode 644): as a user who
// is not root, every status call in it fails. The archives it holds are
// named on stderr, not left out in silence; so is one named directly.
TEST_F(Safety, UnsearchableDirectoryIsReported) {
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  put("locked/a.zip", archive({{"x", 0x11}}));
  put("open/b.zip", archive({{"x", 0x11}}));
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir_ / "open").c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir_ / "locked").c_str(), 0644), 0);
  auto as_nobody = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", ZORV_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run_program(argv, dir_.path(), 60);
  };
  test::RunResult probe = test::run_program(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/true"},
      dir_.path(), 60);
  if (probe.status != 0) GTEST_SKIP() << "cannot drop privileges here: " << probe.err;
  expect_run(as_nobody({"-R", "locked", "open"}), 0, "",
             "warning, Permission denied: \"locked/a.zip\"\n");
  expect_run(as_nobody({"locked/a.zip", "open/b.zip"}), 0, "",
             "warning, Permission denied: \"locked/a.zip\"\n");
}

// The end record is looked for near the end of the file only: a big file
// with no record, dense or sparse, is refused without being read whole.
TEST_F(Safety, BigFileWithoutEndRecordIsRefused) {
  std::string path = dir_.write("sparse.zip", test::to_bytes("PK\5\6"));
  ASSERT_EQ(truncate(path.c_str(), std::int64_t{1} << 40), 0);  // 1 TiB, a record at its start
  expect_run(run({"sparse.zip"}), 0, "",
             "zorv: error reading ECD (End of Central Directory): sparse.zip\n");
}

}  // namespace
}  // namespace zorv
