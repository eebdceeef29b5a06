// -j: archives opened and read ahead on threads. Whatever the number of
// jobs, a run says exactly what a run with one job says, in the same order.
// On a fast local disk the threads would stay asleep (the storage answers
// faster than a hand-over pays): these runs wake them for every archive.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/cli.h"

namespace zorv {
namespace {

using test::archive;
using test::expect_run;
using test::RunResult;

class Jobs : public test::CliRun {
 protected:
  RunResult threaded(const std::vector<std::string>& args, const std::string& shell = "") const {
    std::vector<std::string> argv = {"/usr/bin/env", "ZORV_TEST_READAHEAD_ALWAYS=1"};
    if (!shell.empty()) {
      std::string line = shell + " && exec \"$0\" \"$@\"";
      argv.insert(argv.end(), {"/bin/sh", "-c", line});
    }
    argv.push_back(ZORV_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run_program(argv, dir_.path(), 300);
  }
};

void expect_same(const RunResult& got, const RunResult& want, const std::string& what) {
  EXPECT_EQ(got.status, want.status) << what;
  EXPECT_EQ(got.out, want.out) << what;
  EXPECT_EQ(got.err, want.err) << what;
}

// Archives with shared entries spread over directories, among everything
// that makes a message: empty, junk and cut archives, a directory and a FIFO
// named like archives, a dangling link, a second path to one archive, a
// directory cycle. The report's second reading of the names, -l and -c
// read the archives again, ahead as well.
TEST_F(Jobs, EveryJobCountSaysWhatOneJobSays) {
  for (int i = 0; i < 60; ++i) {
    test::ArchiveBytes a;
    for (int e = 0; e < 4; ++e) {
      std::string name = "f" + std::to_string((i * 7 + e * 13) % 50);
      a.add_file(name, "data of " + name);
    }
    put("d" + std::to_string(i % 5) + "/sub" + std::to_string(i % 3) + "/a" + std::to_string(i) +
            ".zip",
        a);
  }
  dir_.write("d0/empty.zip", {});
  dir_.write("d1/junk.zip", test::to_bytes("not an archive at all"));
  test::Bytes cut = archive({{"x", 0x1234}}).bytes();
  cut.resize(cut.size() - 5);
  dir_.write("d2/cut.zip", cut);
  dir_.mkdir("d3/dir.zip");
  ASSERT_EQ(mkfifo((dir_ / "d4/fifo.zip").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere.zip", (dir_ / "d0/dangling.zip").c_str()), 0);
  ASSERT_EQ(link((dir_ / "d1/sub1/a1.zip").c_str(), (dir_ / "d3/again.zip").c_str()), 0);
  ASSERT_EQ(symlink("..", (dir_ / "d2/sub0/up").c_str()), 0);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-R", "."}, {"-Rl", "d4", "d0", "d3/again.zip", "."},
        {"-c", "-R", "d1", "d2"}, {"--format=jsonl", "-R", "d0", "nothing.zip", "d3"}}) {
    std::vector<std::string> one = {"-j", "1"};
    one.insert(one.end(), args.begin(), args.end());
    RunResult want = run(one);
    ASSERT_EQ(want.status, 0) << want.err;
    ASSERT_FALSE(want.out.empty());
    for (const char* jobs : {"2", "7", "64"}) {
      std::vector<std::string> many = {"-j", jobs};
      many.insert(many.end(), args.begin(), args.end());
      expect_same(threaded(many), want, "-j " + std::string(jobs) + " " + args[0]);
    }
  }
  RunResult plain = run({"-j", "1", "-R", "."});
  EXPECT_NE(plain.err.find("error, file is empty"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("warning, same file as"), std::string::npos) << plain.err;
}

// Fifty thousand archives read with at most 64 descriptors: the jobs are
// held to what the limit leaves, and nothing fails for want of one.
TEST_F(Jobs, FiftyThousandArchivesWithSixtyFourDescriptors) {
  test::Bytes one = archive({{"same.txt", 0x5eed}, {"other.txt", 0x1}}).bytes();
  for (int i = 0; i < 50000; ++i)
    dir_.write("d" + std::to_string(i % 50) + "/" + std::to_string(i) + ".zip", one);
  RunResult want = run({"-j", "1", "-R", "."});
  ASSERT_EQ(want.status, 0);
  ASSERT_EQ(want.err, "");
  expect_same(threaded({"-j", "256", "-R", "."}, "ulimit -n 64"), want, "ulimit -n 64");
}

TEST_F(Jobs, JobsOutsideOneTo256AreCommandErrors) {
  std::string err = "zorv: command error, jobs must be a number from 1 to 256: '";
  std::string tail = "'. Type 'zorv --help' for help\n";
  expect_run(run({"-j", "0", "."}), 1, "", err + "0" + tail);
  expect_run(run({"-j257", "."}), 1, "", err + "257" + tail);
  expect_run(run({"--jobs=2x", "."}), 1, "", err + "2x" + tail);
  expect_run(run({"-j"}), 1, "", "zorv: command error, the 'j' option requires an argument\n");
  expect_run(run({"--jobs=3", "-j", "256", "empty-dir-that-is-not-there"}), 0, "",
             "warning, No such file or directory: \"empty-dir-that-is-not-there\"\n");
}

}  // namespace
}  // namespace zorv
