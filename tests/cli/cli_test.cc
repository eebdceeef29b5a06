// End-to-end: the built zorv as a child process; exit status, stdout and
// stderr compared exactly.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/cli.h"
#include "support/files.h"

namespace zorv {
namespace {

using test::archive;
using test::block;
using test::expect_run;
using test::RunResult;

const std::string kUsage =
    "zorv, ver 1.03\n"
    "\n"
    "Usage: zorv [options]  <directory list/filenames>\n"
    "Options are:\n"
    "-R      process subdirectories Recursivly\n"
    "-l      after the report, each archive's entries and how many have a copy\n"
    "-s      split each group by file size\n"
    "-c      confirm each group by content: reads the data (implies -s)\n"
    "-j N    N archives opened and read at once (default 32; 1: one at a time)\n"
    "--ext=EXT[,EXT...]   also archives: names ending in .EXT (any case; may be repeated)\n"
    "--known-exts         also archives: jar, war, apk, whl, docx, odt, epub and the other\n"
    "                     well-known formats built on ZIP (see the manual page)\n"
    "--any-name           also archives: every other regular file whose end record says so\n"
    "--nested             also index the archives stored in archives, as <archive>!/<member>\n"
    "--cache[=FILE]       -c keeps what it read in FILE (default ~/.cache/zorv/cache.sqlite)\n"
    "                     and takes it back while an archive is unchanged\n"
    "--no-cache           no cache, whatever came before\n"
    "--cache-prune        the cache drops archives unseen for 30 days or gone (no PATH: only that)\n"
    "--files-from=FILE    also the paths listed in FILE, one a line (-: standard input)\n"
    "--null               the --files-from list's paths end with a NUL (find -print0)\n"
    "--keys=DIR           a cluster's first pass: no report, the keys written into DIR\n"
    "--partitions=N       --keys: in N parts (1 to 256; default 1)\n"
    "--reduce=FILE        a cluster's shuffle: FILE's keys met, the duplicates' places out\n"
    "--resolve=FILE       a cluster's second pass: FILE's places read again (-c: checked)\n"
    "--print-groups=FILE  a cluster's last step: FILE's groups printed as a report\n"
    "--recursive          the same as -R\n"
    "--list               the same as -l\n"
    "--size               the same as -s\n"
    "--content            the same as -c\n"
    "--jobs=N             the same as -j N\n"
    "--format=text|jsonl  the report as text (the default) or as JSON Lines\n"
    "--summary            after the report, one line of totals\n"
    "--exit-status        exit with 2 when a group was printed, 0 when none\n"
    "--progress=WHEN      a status line on standard error: auto (on a terminal), always, never\n"
    "--help               this text\n"
    "--version            the version line\n"
    "--                   ends the options: the next word is a path\n";

const std::string kUnknownX =
    "zorv: command error, unknown option 'x'. Type 'zorv' by itself for help\n";
const std::string kMissingDir = "zorv: command error, missing directory\n";

TEST(CommandLine, UsageWithoutArgumentsOrWithLoneHyphen) {
  expect_run(test::run_zorv({}), 0, kUsage, "");
  expect_run(test::run_zorv({"--help"}), 0, kUsage, "");
  expect_run(test::run_zorv({"-R", "--help", "dir"}), 0, kUsage, "");
  expect_run(test::run_zorv({"--version"}), 0, "zorv, ver 1.03\n", "");
  expect_run(test::run_zorv({"-"}), 0, kUsage, "");
  expect_run(test::run_zorv({"-R", "-", "dir"}), 0, kUsage, "");
}

TEST(CommandLine, CommandErrors) {
  expect_run(test::run_zorv({"-x", "dir"}), 1, "", kUnknownX);
  expect_run(test::run_zorv({"-Rx"}), 1, "", kUnknownX);
  expect_run(test::run_zorv({"-R"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"-R", "-l"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"--"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"-R", "--"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"--R", "dir"}), 1, "",
             "zorv: command error, unknown option '--R'. Type 'zorv' by itself for help\n");
  expect_run(test::run_zorv({"--lis", "dir"}), 1, "",
             "zorv: command error, unknown option '--lis'. Type 'zorv' by itself for help\n");
  expect_run(test::run_zorv({"--format", "dir"}), 1, "",
             "zorv: command error, the '--format' option requires an argument\n");
  expect_run(test::run_zorv({"--format=xml", "dir"}), 1, "",
             "zorv: command error, unknown format 'xml'. Type 'zorv --help' for help\n");
  expect_run(test::run_zorv({"--list=yes", "dir"}), 1, "",
             "zorv: command error, the '--list' option takes no argument\n");
  expect_run(test::run_zorv({"-|", "dir"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"-R|", "dir"}), 1, "", kMissingDir);
  expect_run(test::run_zorv({"-\xe9", "dir"}), 1, "",
             "zorv: command error, unknown option '\xe9'. Type 'zorv' by itself for help\n");
}

// A class, not an alias: inside a case the name must not resolve to
// testing::Test::Run.
class Run : public test::CliRun {};

TEST_F(Run, PathFollowedByOptionTreatsOptionAsPath) {
  put("a.zip", archive({{"x", 1}}));
  expect_run(run({"a.zip", "-R"}), 0, "", "warning, No such file or directory: \"-R\"\n");
}

// "--" ends the options: the next word is a path even when it looks like one.
TEST_F(Run, DoubleHyphenMakesTheNextWordAPath) {
  put("-odd.zip", archive({{"x", 7}}));
  put("--also.zip", archive({{"y", 7}}));
  expect_run(run({"-l", "--", "-odd.zip", "--also.zip"}), 0,
             block(7, {"-odd.zip, x", "--also.zip, y"}) +
                 "FileListName: --also.zip (Tot 1, Found 1) ***\n"
                 "FileListName: -odd.zip (Tot 1, Found 1) ***\n",
             "");
  expect_run(run({"--list", "--recursive", "--", "-odd.zip", "--also.zip"}), 0,
             block(7, {"-odd.zip, x", "--also.zip, y"}) +
                 "FileListName: --also.zip (Tot 1, Found 1) ***\n"
                 "FileListName: -odd.zip (Tot 1, Found 1) ***\n",
             "");
}

TEST_F(Run, ArchiveNamesByLastDotAnyCase) {
  put("a.ZIP", archive({{"x", 1}}));
  put("a.zip.bak", archive({{"x", 1}}));
  put("zip", archive({{"x", 1}}));
  put("b.Zip", archive({{"y", 1}}));
  expect_run(run({"a.ZIP", "a.zip.bak", "zip", "b.Zip"}), 0, block(1, {"a.ZIP, x", "b.Zip, y"}),
             "");
}

// --ext and --known-exts add suffixes under the same rule: the last dot,
// any case; named files and the directory walk follow the same choice.
TEST_F(Run, ChosenSuffixesMakeArchives) {
  for (const char* name : {"a.zip", "b.JAR", "c.whl", "d.docx", "e.jmod", "f.epub", "g.tar.whl",
                           "h.whl.txt", "i.mine", "j.Mine", "k.jar.mine"})
    put(std::string("d/") + name, archive({{"x", 7}}));
  auto members = [&](const std::vector<std::string>& args) {
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("file: ", 0) == 0) lines.push_back(line.substr(8, line.size() - 11));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(members({"d"}), V{});  // one archive: no group
  EXPECT_EQ(members({"--ext=mine", "d"}), (V{"a.zip", "i.mine", "j.Mine", "k.jar.mine"}));
  EXPECT_EQ(members({"--ext=.WHL,jar", "--ext=mine", "d"}),
            (V{"a.zip", "b.JAR", "c.whl", "g.tar.whl", "i.mine", "j.Mine", "k.jar.mine"}));
  EXPECT_EQ(members({"--known-exts", "d"}),
            (V{"a.zip", "b.JAR", "c.whl", "d.docx", "e.jmod", "f.epub", "g.tar.whl"}));
  EXPECT_EQ(members({"--ext=zip,zip,ZIP", "d/a.zip", "d/i.mine", "d/b.JAR"}), V{});
  EXPECT_EQ(members({"--ext=jar", "d/h.whl.txt", "d/i.mine", "d/b.JAR", "d/a.zip"}),
            (V{"a.zip", "b.JAR"}));

  for (const char* bad : {"--ext=", "--ext=tar.gz", "--ext=a,,b", "--ext=a/b", "--ext=."}) {
    RunResult r = run({bad, "d"});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_EQ(r.err.rfind("zorv: command error, not a name's ending: '", 0), 0u) << bad << r.err;
  }
}

// With --any-name a file of any name is an archive when its end record
// stands where one can (within 64 KiB + 22 bytes of its end) and leads to a
// directory; any other file is passed over without a word. Files named as
// archives are read, and their failures said, as always.
TEST_F(Run, AnyNameReadsWhatTheBytesSayIsAnArchive) {
  put("d/a.zip", archive({{"x", 7}}));
  put("d/renamed.bin", archive({{"x", 7}}));
  test::ArchiveBytes commented = archive({{"x", 7}});
  commented.end.comment = test::Bytes(65535, 'c');  // the farthest a valid end record stands
  put("d/commented", commented);
  test::ArchiveBytes junk = archive({{"x", 7}});
  junk.trailer = test::Bytes(70000, 'j');  // too far for a file known by its bytes only
  put("d/junk.dat", junk);
  put("junk.zip", junk);
  test::ArchiveBytes elsewhere = archive({{"x", 7}});
  elsewhere.end.disk_number = 1;
  put("d/disk1.dat", elsewhere);
  dir_.write("d/text.txt", test::to_bytes("no archive\n"));
  dir_.write("d/empty", {});
  dir_.write("d/broken.zip", test::to_bytes("PK\5\6 but no more"));

  RunResult r = run({"--any-name", "d"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "zorv: error reading ECD (End of Central Directory): d/broken.zip\n");
  std::string rest;
  std::vector<test::Group> got = test::parse_report(r.out, &rest);
  ASSERT_EQ(got.size(), 1u) << r.out;
  std::vector<std::string> members = got[0].members;
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, (std::vector<std::string>{"d/a.zip, x", "d/commented, x", "d/renamed.bin, x"}));

  // Named on the command line: the same rule; a junk trailer in reach of
  // the search for a file named as an archive.
  expect_run(run({"--any-name", "d/text.txt", "d/junk.dat", "junk.zip", "d/renamed.bin", "d/empty",
                  "d/disk1.dat"}),
             0, block(7, {"junk.zip, x", "d/renamed.bin, x"}), "");
  // Without the option, only the names count.
  expect_run(run({"d/renamed.bin", "d/commented", "junk.zip", "d/a.zip"}), 0,
             block(7, {"junk.zip, x", "d/a.zip, x"}), "");
}

TEST_F(Run, BackslashesBecomeSlashes) {
  put("dir/sub/a.zip", archive({{"x", 5}, {"y", 5}}));
  expect_run(run({"dir\\sub"}), 0, block(5, {"dir/sub/a.zip, x", "dir/sub/a.zip, y"}), "");
  expect_run(run({"dir\\sub\\a.zip"}), 0, block(5, {"dir/sub/a.zip, x", "dir/sub/a.zip, y"}), "");
}

TEST_F(Run, MissingPathWarnsAndTheRunGoesOn) {
  put("a.zip", archive({{"x", 9}}));
  put("b.zip", archive({{"y", 9}}));
  expect_run(run({"a.zip", "missing", "b.zip"}), 0, block(9, {"a.zip, x", "b.zip, y"}),
             "warning, No such file or directory: \"missing\"\n");
}

// --files-from: the listed paths are read as if they followed the command
// line's, in order, from a file or standard input, newline- or
// NUL-separated; more of them than the read-ahead window holds. A list
// that cannot be read ends the run before the report.
TEST_F(Run, ListedPathsAreReadAsIfNamed) {
  std::vector<std::string> paths = {"first.zip", "tree", "missing", "with space.zip"};
  put("first.zip", archive({{"x", 3}}));
  put("with space.zip", archive({{"y", 3}}));
  for (int i = 0; i < 150; ++i)
    put("tree/d" + std::to_string(i % 7) + "/a" + std::to_string(i) + ".zip",
        archive({{"m", static_cast<std::uint32_t>(3 + i % 3)}}));
  for (int i = 0; i < 150; ++i)
    paths.push_back("tree/d" + std::to_string(i % 7) + "/a" + std::to_string(i) + ".zip");
  std::string lines;
  std::string nuls;
  for (std::size_t i = 1; i < paths.size(); ++i) {
    lines += paths[i] + (i % 10 == 0 ? "\n\n" : "\n");
    nuls += paths[i] + '\0';
  }
  dir_.write("list", test::Bytes(lines.begin(), lines.end()));
  dir_.write("list0", test::Bytes(nuls.begin(), nuls.end()));
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-R"}, {"-R", "-l", "-s"}, {"-R", "--format=jsonl"}}) {
    std::vector<std::string> named = options;
    named.insert(named.end(), paths.begin(), paths.end());
    RunResult want = run(named);
    ASSERT_EQ(want.status, 0) << want.err;
    ASSERT_NE(want.out.find("tree/d6/a146.zip"), std::string::npos);
    std::vector<std::string> listed = options;
    listed.insert(listed.end(), {"--files-from=list", "first.zip"});
    expect_run(run(listed), want.status, want.out, want.err);
    listed = options;
    listed.insert(listed.end(), {"--null", "--files-from=list0", "first.zip"});
    expect_run(run(listed), want.status, want.out, want.err);
    std::string line = std::string(ZORV_BIN) + " " + options[0] + " " +
                       (options.size() > 1 ? options[1] : "") + " " +
                       (options.size() > 2 ? options[2] : "") +
                       " --files-from=- first.zip < list";
    expect_run(test::run_program({"/bin/sh", "-c", line}, dir_.path(), 60), want.status,
               want.out, want.err);
  }
  // A name that holds a newline comes whole from a NUL-separated list only.
  put("new\nline.zip", archive({{"z", 3}}));
  dir_.write("odd0", test::Bytes({'n', 'e', 'w', '\n', 'l', 'i', 'n', 'e', '.', 'z', 'i', 'p', 0}));
  expect_run(run({"--null", "--files-from=odd0", "first.zip"}), 0,
             block(3, {"first.zip, x", "new\nline.zip, z"}), "");

  expect_run(run({"--files-from=nowhere", "first.zip"}), 1, "",
             "zorv: error reading the list of paths, No such file or directory: nowhere\n");
  // The paths before the failure were taken ("new" is none), then the run ends.
  expect_run(run({"--files-from=odd0"}), 1, "",
             "warning, No such file or directory: \"new\"\n"
             "zorv: error reading the list of paths, a path holds a NUL byte (a list for "
             "--null?): odd0\n");
  expect_run(run({"--files-from="}), 1, "",
             "zorv: command error, the '--files-from' option needs a file name after '='\n");
}

TEST_F(Run, BrokenArchiveIsReportedAndSkipped) {
  put("a.zip", archive({{"x", 9}}));
  dir_.write("broken.zip", test::Bytes(100, 'j'));
  dir_.write("empty.zip", {});
  put("b.zip", archive({{"y", 9}}));
  expect_run(run({"a.zip", "broken.zip", "empty.zip", "b.zip"}), 0,
             block(9, {"a.zip, x", "b.zip, y"}),
             "zorv: error reading ECD (End of Central Directory): broken.zip\n"
             "zorv: error, file is empty: empty.zip\n");
}

TEST_F(Run, SameArchiveTwiceDuplicatesItself) {
  put("a.zip", archive({{"x", 0x11}, {"dir/", 0}, {"y", 0x22}}));
  expect_run(run({"a.zip", "a.zip"}), 0,
             block(0x11, {"a.zip, x", "a.zip, x"}) + block(0x22, {"a.zip, y", "a.zip, y"}),
             "zorv: warning, duplicate file name: a.zip\n\n");
}

TEST_F(Run, NoSharedCrcPrintsNothing) {
  put("a.zip", archive({{"x", 1}, {"y", 2}}));
  put("b.zip", archive({{"x", 3}, {"e", 0}}));
  put("c.zip", archive({{"e", 0}}));
  expect_run(run({"a.zip", "b.zip", "c.zip"}), 0, "", "");
}

TEST_F(Run, RecursionOnlyWithOption) {
  // One entry per directory: listing order cannot change the report.
  put("a.zip", archive({{"x", 7}}));
  put("top/sub/deeper/b.zip", archive({{"y", 7}}));
  expect_run(run({"a.zip", "top"}), 0, "", "");
  expect_run(run({"-R", "a.zip", "top"}), 0, block(7, {"a.zip, x", "top/sub/deeper/b.zip, y"}), "");
}

TEST_F(Run, FifoNamedLikeAnArchiveNeverBlocks) {
  put("d/a.zip", archive({{"x", 7}}));
  ASSERT_EQ(mkfifo((dir_ / "d/pipe.zip").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo.zip").c_str(), 0600), 0);
  RunResult r = run({"-R", "d", "fifo.zip", "d/a.zip"});
  expect_run(r, 0, block(7, {"d/a.zip, x", "d/a.zip, x"}),
             "warning, Not a directory: \"fifo.zip\"\n"
             "zorv: warning, duplicate file name: d/a.zip\n\n");
}

TEST_F(Run, LinkCycleFinishesWithoutSpuriousGroups) {
  put("top/a.zip", archive({{"x", 7}}));
  put("top/sub/b.zip", archive({{"y", 8}}));
  ASSERT_EQ(symlink("..", (dir_ / "top/sub/loop").c_str()), 0);
  ASSERT_EQ(symlink("../..", (dir_ / "top/sub/loop2").c_str()), 0);
  expect_run(run({"-R", "top"}), 0, "", "");
}

// -l: one summary line per archive holding a group member, in path order;
// "***" when every entry the archive counts was found in some group.
TEST_F(Run, ArchiveSummary) {
  put("whole.zip", archive({{"p", 1}, {"q", 2}}));
  put("part.zip", archive({{"p", 1}, {"r", 3}, {"s", 4}}));
  put("self.zip", archive({{"t", 5}, {"q2", 2}}));
  put("alone.zip", archive({{"u", 6}}));
  // Groups were created for CRC-32s 1, 2, 5 in that order: the tree's
  // pre-order puts 2 first.
  std::string groups = block(2, {"whole.zip, q", "self.zip, q2", "self.zip, q2"}) +
                       block(1, {"whole.zip, p", "part.zip, p"}) +
                       block(5, {"self.zip, t", "self.zip, t"});
  std::string warning = "zorv: warning, duplicate file name: self.zip\n\n";
  std::vector<std::string> args = {"whole.zip", "part.zip", "self.zip", "self.zip", "alone.zip"};
  expect_run(run(args), 0, groups, warning);
  args.insert(args.begin(), "-l");
  expect_run(run(args), 0,
             groups +
                 "FileListName: part.zip (Tot 3, Found 1) \n"
                 "FileListName: self.zip (Tot 2, Found 4) \n"
                 "FileListName: whole.zip (Tot 2, Found 2) ***\n",
             warning);
}

TEST_F(Run, ArchiveSummaryCountsDirectoryEntriesInTotal) {
  put("a.zip", archive({{"d/", 0}, {"x", 1}}));
  put("b.zip", archive({{"y", 1}}));
  expect_run(run({"-Rl", "a.zip", "b.zip"}), 0,
             block(1, {"a.zip, x", "b.zip, y"}) +
                 "FileListName: a.zip (Tot 2, Found 1) \n"
                 "FileListName: b.zip (Tot 1, Found 1) ***\n",
             "");
}

// A report that could not be written (a full disk) is a failed run.
TEST_F(Run, UnwritableOutputFailsTheRun) {
  put("a.zip", archive({{"x", 9}}));
  put("b.zip", archive({{"y", 9}}));
  std::string command =
      "cd '" + dir_.path() + "' && '" + ZORV_BIN + "' a.zip b.zip > /dev/full 2> err.txt";
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  test::Bytes err = test::read_file(dir_ / "err.txt");
  EXPECT_EQ(std::string(err.begin(), err.end()),
            "zorv: error writing standard output: No space left on device\n");
  // Nothing to write, nothing lost: status 0.
  command = "cd '" + dir_.path() + "' && '" + ZORV_BIN + "' a.zip > /dev/full";
  status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The report takes memory for the members it has, not for the biggest batch
// it could take: a small report runs in a small address space.
TEST_F(Run, SmallReportInSmallAddressSpace) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  put("a.zip", archive({{"x", 0x5eed}}));
  put("b.zip", archive({{"y", 0x5eed}}));
  RunResult r = test::run_program(
      {"/bin/sh", "-c", std::string("ulimit -v 16000 && exec '") + ZORV_BIN + "' -l a.zip b.zip"},
      dir_.path(), 60);
  expect_run(r, 0,
             block(0x5eed, {"a.zip, x", "b.zip, y"}) +
                 "FileListName: a.zip (Tot 1, Found 1) ***\n"
                 "FileListName: b.zip (Tot 1, Found 1) ***\n",
             "");
}

// Out of memory while the index grows (its first-seen table, its member
// arrays, its trees): the run ends with the index's own out-of-memory line
// and status 1, and never with part of a report. Address-space limits from
// tight to ample: every run either fails that way or prints the whole
// report, and both happen.
TEST_F(Run, IndexOutOfMemoryEndsCleanlyNeverWithPartOfAReport) {
  if (test::kSanitized) GTEST_SKIP() << "memory limits do not work under sanitizers";
  std::vector<std::pair<std::string, std::uint32_t>> entries;
  for (std::uint32_t i = 1; i <= 200000; ++i) {  // pairs: every entry joins a group
    entries.emplace_back("x", i);
    entries.emplace_back("y", i);
  }
  put("a.zip", archive(entries));
  RunResult whole = run({"a.zip"});
  ASSERT_EQ(whole.status, 0);
  ASSERT_EQ(whole.err, "");
  int failed = 0;
  int succeeded = 0;
  for (int mib = 24; mib <= 160; mib += 8) {
    RunResult r = test::run_program({"/bin/sh", "-c",
                                     "ulimit -v " + std::to_string(mib * 1024) + " && exec '" +
                                         ZORV_BIN + "' a.zip"},
                                    dir_.path(), 60);
    if (r.status == 0 && r.err.empty()) {
      ++succeeded;
      EXPECT_EQ(r.out, whole.out) << mib << " MiB";
      continue;
    }
    if (r.status == 0) {  // the directory itself found no memory: no groups, no report
      EXPECT_EQ(r.out, "") << mib << " MiB";
      EXPECT_TRUE(r.err.starts_with("zorv: malloc failed allocating: ")) << mib << " MiB: " << r.err;
      continue;
    }
    ++failed;
    EXPECT_EQ(r.status, 1) << mib << " MiB";
    EXPECT_EQ(r.out, "") << mib << " MiB";
    // The index's lines, or the reader's when even the directory does not
    // fit (it then says so, and the run goes on with no groups).
    static const std::regex one_line(
        "zorv: internal error, (CRC32_TreeInsert|DupeTreeInsert|print_report), out of memory\n|"
        "rbtree_insert: no memory for node\n");
    EXPECT_TRUE(std::regex_match(r.err, one_line)) << mib << " MiB: " << r.err;
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(succeeded, 0);
}

// A report bigger than a pipe holds: a run reading it slowly is a run
// under way.
void put_big_pair(const test::CliRun& t) {
  test::ArchiveBytes a;
  for (int e = 0; e < 20000; ++e)
    a.add("a-name-long-enough-to-fill-the-pipe-" + std::to_string(e), 1 + e);
  t.put("a.zip", a);
  t.put("b.zip", a);
}

// Ctrl-Z (SIGTSTP) with the status line on a terminal: the scrolling
// region is given back and the line erased before the run stops, so the
// shell has its screen; when the run goes on (SIGCONT) the line is set up
// again, and the report is whole.
TEST_F(Run, StoppedRunGivesTheTerminalBackAndTakesItAgain) {
  put_big_pair(*this);
  RunResult whole = run({"a.zip", "b.zip"});
  ASSERT_EQ(whole.status, 0);
  test::Child child({"a.zip", "b.zip"}, dir_.path(), {.terminal = true});
  child.read_out(1);  // the report has begun; the pipe fills and it waits
  child.pump(200);
  child.signal(SIGTSTP);
  ASSERT_TRUE(child.wait_stopped());
  const std::string before = child.err();
  std::size_t drawn = before.rfind("\x1b[30;1H\x1b[2Kzorv: ");
  ASSERT_NE(drawn, std::string::npos) << "never drawn";
  EXPECT_NE(before.find("\x1b[r\x1b[30;1H\x1b[2K", drawn + 1), std::string::npos)
      << "stopped with the region still set";
  child.signal(SIGCONT);
  EXPECT_EQ(child.finish(), 0);
  EXPECT_TRUE(child.out() == whole.out) << child.out().size() << " of " << whole.out.size();
  std::string after = child.err().substr(before.size());
  std::size_t again = after.find("\x1b[1;29r");
  EXPECT_NE(again, std::string::npos) << "not set up again";
  EXPECT_NE(after.find("\x1b[r", again), std::string::npos) << "not given back at the end";
}

// Signals ignored when the run starts (nohup ignores SIGHUP, `&` in a
// script SIGINT) stay ignored, also with the status line on a terminal:
// the run completes with its whole report.
TEST_F(Run, SignalsIgnoredAtStartStayIgnored) {
  put_big_pair(*this);
  RunResult whole = run({"a.zip", "b.zip"});
  ASSERT_EQ(whole.status, 0);
  test::Child child({"a.zip", "b.zip"}, dir_.path(),
                    {.terminal = true, .ignored = {SIGHUP, SIGINT}});
  child.read_out(1);
  child.signal(SIGHUP);
  child.signal(SIGINT);
  child.pump(100);
  EXPECT_EQ(child.finish(), 0);
  EXPECT_TRUE(child.out() == whole.out) << child.out().size() << " of " << whole.out.size();
}

TEST(Examples, BundledExamplesReport) {
  RunResult r = test::run_zorv(
      {"-l", "examples/photos-2023.zip", "examples/photos-backup.zip", "examples/projects.zip"},
      ZORV_SOURCE_DIR);
  expect_run(r, 0,
             block(0x87eefb98, {"examples/photos-2023.zip, 2023/IMG_0001.jpg",
                                "examples/photos-backup.zip, backup/IMG_0001.jpg"}) +
                 block(0x1a295471, {"examples/photos-2023.zip, 2023/IMG_0003.jpg",
                                    "examples/photos-backup.zip, backup/IMG_0003.jpg",
                                    "examples/projects.zip, site/img/header.jpg"}) +
                 block(0x67fb191f, {"examples/photos-2023.zip, 2023/album.txt",
                                    "examples/photos-backup.zip, backup/album.txt"}) +
                 block(0x8d0270e7, {"examples/photos-2023.zip, 2023/IMG_0002.jpg",
                                    "examples/photos-backup.zip, backup/IMG_0002 (copy).jpg"}) +
                 block(0x8b403c9a, {"examples/projects.zip, site/img/logo.jpg",
                                    "examples/projects.zip, site/img/logo-old.jpg"}) +
                 "FileListName: examples/photos-2023.zip (Tot 5, Found 4) \n"
                 "FileListName: examples/photos-backup.zip (Tot 4, Found 4) ***\n"
                 "FileListName: examples/projects.zip (Tot 6, Found 3) \n",
             "");
}

}  // namespace
}  // namespace zorv
