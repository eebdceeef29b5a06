// End-to-end: -c with --cache. The report is the same with and without it,
// cold and warm; an archive rewritten in place is read again; a cache that
// is damaged, another program's, on a full or read-only file system, in use
// by another run or left by a killed one never changes a result.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli.h"
#include "support/deflate.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::expect_run;
using test::RunResult;

constexpr std::uint32_t T = 0x7e57ab1e;

// Three archives whose six members share one CRC-32 and size: two contents
// (two of one, three of the other after a damaged one is left out).
class Cache : public test::CliRun {
 protected:
  void SetUp() override {
    ArchiveBytes a;
    a.add_file("one", one_);
    a.add_file("two", two_, 8, test::deflate_raw(two_, 6));
    ArchiveBytes b;
    b.add_file("one", one_, 8, test::deflate_raw(one_, 9));
    b.add_file("bad", one_, 0, test::Bytes(one_.size(), 'z'));  // CRC-32 mismatch
    put("a.zip", a);
    put("b.zip", b);
    put_c(two_);
    // Only files whose status changed a second before a run are kept.
    usleep(1100 * 1000);
  }

  // c.zip with `second` as its stored second member: always the same size.
  void put_c(const std::string& second) {
    ArchiveBytes c;
    c.add_file("two", second);
    c.add_file("copy/one", one_);
    put("c.zip", c);
  }

  RunResult zorv(std::vector<std::string> args, bool cache = true) {
    if (cache) args.insert(args.begin(), "--cache=" + db_);
    for (const char* f : {"a.zip", "b.zip", "c.zip"})
      args.emplace_back(f);
    return run(args);
  }

  std::string sql_value(const std::string& query) {
    sqlite3* db = nullptr;
    // Read-write, as the next run opens it: a killed run may have left a
    // log to recover, which a reader alone cannot.
    EXPECT_EQ(sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    std::string v = "?";
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
  }

  std::string one_ = test::forge_crc(std::string(3000, 'a'), T);
  std::string two_ = test::forge_crc(std::string(3000, 'b'), T);
  std::string db_ = dir_ / "cache.sqlite";
  const std::string bad_ = "zorv: warning, cannot verify b.zip, bad: damaged data\n";
};

TEST_F(Cache, SameReportColdWarmAndWithout) {
  std::vector<std::vector<std::string>> option_sets = {
      {"-c"}, {"-c", "-l"}, {"-c", "--format=jsonl"}, {"-c", "--summary"}, {"-c", "-j", "1"}};
  for (const auto& options : option_sets) {
    RunResult plain = zorv(options, false);
    ASSERT_EQ(plain.err, bad_);
    ASSERT_EQ(plain.status, 0);
    unlink(db_.c_str());
    expect_run(zorv(options), plain.status, plain.out, plain.err);  // cold
    expect_run(zorv(options), plain.status, plain.out, plain.err);  // warm
  }
  EXPECT_EQ(zorv({"-c"}, false).out,
            test::block(T, {"a.zip, one", "b.zip, one", "c.zip, copy/one"}) +
                test::block(T, {"a.zip, two", "c.zip, two"}));
  // The damaged member is kept too: nothing is read in a warm run.
  EXPECT_EQ(sql_value("SELECT sum(entries) FROM archive"), "6");
  RunResult shown = zorv({"-c", "--progress=always"});
  EXPECT_NE(shown.err.find(", 6 from the cache\n"), std::string::npos) << shown.err;
}

// Runs zorv with every open counted as slow, so that directory images are
// kept; under strace (-e openat) when `trace` names a log to write.
RunResult slow_run(const std::string& cwd,
                   const std::vector<std::string>& args, const std::string& trace = "") {
  std::vector<std::string> argv;
  if (!trace.empty()) argv = {"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e", "trace=execve,openat"};
  argv.push_back(ZORV_BIN);
  argv.insert(argv.end(), args.begin(), args.end());
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  return test::run_program(argv, cwd, 60,
                           {{"ZORV_TEST_READAHEAD_ALWAYS", "1"}, {"ASAN_OPTIONS", options}});
}

// Directories taken from the cache give the same report, messages and
// status as reading them, for every output; a warm run opens no archive;
// an archive whose directory changed is read again.
TEST_F(Cache, DirectoriesFromTheCacheGiveTheSameReport) {
  ArchiveBytes moved;  // a self-extractor: its offsets count from after the stub
  moved.front = test::Bytes(5000, 's');
  moved.add_file("one", one_);
  put("d.zip", moved);
  ArchiveBytes slack;  // its walk ends on a damaged header, with a message
  slack.add_file("two", two_);
  slack.slack = test::Bytes(7, 'q');
  put("e.zip", slack);
  dir_.write("f.zip", test::Bytes(300, 'n'));  // no archive: said each time
  ArchiveBytes wide;  // a directory over 1 MiB: read every time, never kept
  for (std::uint32_t i = 0; i < 14000; ++i)
    wide.add("entry-" + std::to_string(i) + std::string(60, 'w'), 0x10000 + i);
  put("g.zip", wide);
  usleep(1100 * 1000);
  std::vector<std::string> files = {"a.zip", "b.zip", "c.zip", "d.zip",
                                    "e.zip", "f.zip", "g.zip"};
  auto with = [&](std::vector<std::string> args, bool cache) {
    if (cache) args.insert(args.begin(), "--cache=" + db_);
    args.insert(args.end(), files.begin(), files.end());
    return args;
  };
  std::vector<std::vector<std::string>> option_sets = {
      {"-c"}, {"-c", "-l"}, {"-c", "--format=jsonl"}, {"-c", "--summary"}, {"-c", "-j", "1"},
      {"-c", "--nested", "--exit-status"}};
  for (const auto& options : option_sets) {
    SCOPED_TRACE(options.back());
    RunResult plain = slow_run(dir_.path(), with(options, false));
    ASSERT_NE(plain.err.find("f.zip"), std::string::npos) << plain.err;
    unlink(db_.c_str());
    expect_run(slow_run(dir_.path(), with(options, true)), plain.status, plain.out,
               plain.err);
    EXPECT_EQ(sql_value("SELECT count(*) FROM image"), "5");  // all but f.zip and g.zip
    expect_run(slow_run(dir_.path(), with(options, true)), plain.status, plain.out,
               plain.err);
  }

  put_c(test::forge_crc(std::string(3000, 'c'), T) + "longer");
  usleep(1100 * 1000);
  RunResult truth = slow_run(dir_.path(), with({"-c"}, false));
  EXPECT_EQ(truth.out.find("c.zip, two"), std::string::npos) << truth.out;
  expect_run(slow_run(dir_.path(), with({"-c"}, true)), truth.status, truth.out, truth.err);

  std::string log = dir_ / "trace.txt";
  RunResult traced = slow_run(dir_.path(), with({"-c"}, true), log);
  test::Bytes bytes = test::read_file(log);
  std::string trace(bytes.begin(), bytes.end());
  if (trace.find("execve(") == std::string::npos) GTEST_SKIP() << "strace cannot trace here";
  expect_run(traced, truth.status, truth.out, truth.err);
  std::vector<std::string> opened;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);)
    if (line.find("openat(") != std::string::npos && line.find(".zip\"") != std::string::npos)
      opened.push_back(line.substr(line.find('"'), line.find(".zip\"") + 5 - line.find('"')));
  // f.zip, which is no archive, and g.zip (none of its entries is printed)
  std::sort(opened.begin(), opened.end());
  EXPECT_EQ(opened, (std::vector<std::string>{"\"f.zip\"", "\"g.zip\""}));
}

TEST_F(Cache, AnArchiveRewrittenInPlaceWithItsTimesKeptIsReadAgain) {
  ASSERT_EQ(zorv({"-c"}).status, 0);
  std::string c = dir_ / "c.zip";
  struct stat before;
  ASSERT_EQ(stat(c.c_str(), &before), 0);
  // Same CRC-32, size and directory; other bytes; its old times put back.
  put_c(test::forge_crc(std::string(3000, 'c'), T));
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  struct stat after;
  ASSERT_EQ(stat(c.c_str(), &after), 0);
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  RunResult truth = zorv({"-c"}, false);
  EXPECT_EQ(truth.out, test::block(T, {"a.zip, one", "b.zip, one", "c.zip, copy/one"}));
  expect_run(zorv({"-c"}), 0, truth.out, truth.err);
}

// A link re-pointed between the statuses read before the checks and the
// checker's open: the outcome read from the new target is not kept under
// the old target's status, so a run with the link pointed back reads the
// old target again. Six big members keep both checker threads busy first,
// so that the link's archive is opened well after its status was read.
TEST_F(Cache, AnOutcomeReadThroughARepointedLinkIsNotKept) {
  std::vector<std::string> args = {"-c"};
  for (std::size_t extra = 0; extra < 3; ++extra) {
    std::string zeros((std::size_t{128} << 20) + extra, '\0');
    for (int level : {1, 4}) {  // other compressed bytes: each pair is decoded
      ArchiveBytes big;
      big.add_file("zeros", zeros, 8, test::deflate_raw(zeros, level));
      args.push_back("big" + std::to_string(extra) + "-" + std::to_string(level) + ".zip");
      put(args.back(), big);
    }
  }
  ArchiveBytes t1;
  t1.add_file("m", one_);
  ArchiveBytes t2;
  t2.add_file("m", two_);  // the same CRC-32, size and layout: other bytes
  put("t1.zip", t1);
  put("t2.zip", t2);
  ArchiveBytes p;  // other compressed bytes: the link's member is decoded itself
  p.add_file("m", one_, 8, test::deflate_raw(one_, 6));
  put("p.zip", p);
  std::string link = dir_ / "link.zip";
  auto point = [&](const char* target) {
    std::string fresh = dir_ / "link.new";
    ASSERT_EQ(symlink(target, fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
  };
  point("t1.zip");
  usleep(1100 * 1000);
  args.insert(args.end(), {"link.zip", "p.zip"});
  RunResult truth = run(args);
  ASSERT_NE(truth.out.find("link.zip, m"), std::string::npos) << truth.out;
  args.insert(args.begin(), "--cache=" + db_);
  std::thread repoint([&] {
    usleep(50 * 1000);
    point("t2.zip");
  });
  RunResult during = run(args);
  repoint.join();
  EXPECT_EQ(during.status, 0) << during.err;
  point("t1.zip");
  expect_run(run(args), truth.status, truth.out, truth.err);
}

TEST_F(Cache, ABadCacheIsWarnedOfOnceAndLeftAlone) {
  RunResult plain = zorv({"-c"}, false);
  auto bad_file = [&](const std::string& why) {
    test::Bytes held = test::read_file(db_);
    RunResult r = zorv({"-c"});
    expect_run(r, 0, plain.out, "zorv: warning, cache not used, " + why + ": " + db_ + "\n" + bad_);
    EXPECT_EQ(test::read_file(db_), held) << why;
  };
  dir_.write("cache.sqlite", test::Bytes(10000, 'x'));
  bad_file("file is not a database");
  unlink(db_.c_str());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE accounts(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  bad_file("not a zorv cache");
  unlink(db_.c_str());
  ASSERT_EQ(zorv({"-c"}).status, 0);
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 7", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  bad_file("made by a newer zorv");
  // A cache cut short: whatever SQLite finds, the report is the same.
  unlink(db_.c_str());
  ASSERT_EQ(zorv({"-c"}).status, 0);
  test::Bytes whole = test::read_file(db_);
  for (std::size_t keep : {std::size_t{0}, std::size_t{100}, whole.size() / 2, whole.size() - 1}) {
    dir_.write("cache.sqlite", test::Bytes(whole.begin(), whole.begin() + keep));
    RunResult r = zorv({"-c"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, plain.out) << keep;
    std::string err = r.err;
    std::size_t at = err.find("zorv: warning, cache not ");
    if (at != std::string::npos) err.erase(at, err.find('\n', at) + 1 - at);
    EXPECT_EQ(err, bad_) << keep << " bytes kept: " << r.err;
  }
}

TEST_F(Cache, TwoRunsAtOnceBothGetTheTruth) {
  RunResult plain = zorv({"-c"}, false);
  for (int round = 0; round < 3; ++round) {
    unlink(db_.c_str());
    RunResult r[2];
    std::thread other([&] { r[1] = zorv({"-c"}); });
    r[0] = zorv({"-c"});
    other.join();
    for (const RunResult& each : r)
      expect_run(each, 0, plain.out, plain.err);
    expect_run(zorv({"-c"}), 0, plain.out, plain.err);
    EXPECT_EQ(sql_value("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sql_value("SELECT sum(entries) FROM archive"), "6");
  }
}

TEST_F(Cache, AKilledRunLeavesAWholeCache) {
  // Enough members that a run spends a while writing them.
  std::string data(300, 'k');
  for (int n = 0; n < 60; ++n) {
    ArchiveBytes big;
    for (int m = 0; m < 60; ++m) {
      data[0] = static_cast<char>('A' + m % 50);
      data[1] = static_cast<char>('A' + m / 50);
      big.add_file("m" + std::to_string(m), data);
    }
    put("many/" + std::to_string(n) + ".zip", big);
  }
  usleep(1100 * 1000);
  RunResult plain = run({"-c", "-R", "many"});
  ASSERT_EQ(plain.status, 0);
  for (const char* delay : {"0.01", "0.03", "0.05", "0.08", "0.12", "0.2"}) {
    RunResult killed = test::run_program(
        {"timeout", "-s", "KILL", delay, ZORV_BIN, "-c", "--cache=" + db_, "-R", "many"},
        dir_.path(), 60);
    EXPECT_TRUE(killed.status == 0 || killed.status == 137) << killed.status;
    struct stat st;
    if (stat(db_.c_str(), &st) == 0) {  // else killed before it made the file
      EXPECT_EQ(sql_value("PRAGMA integrity_check"), "ok") << delay;
    }
    expect_run(run({"-c", "--cache=" + db_, "-R", "many"}), 0, plain.out, plain.err);
  }
  EXPECT_EQ(sql_value("SELECT sum(entries) FROM archive"), "3600");
}

TEST_F(Cache, AFullOrReadOnlyFileSystemIsWarnedOf) {
  RunResult plain = zorv({"-c"}, false);
  // No file may grow past 2 KiB (the signal ignored, a write fails).
  RunResult full = test::run_program({"sh", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$@\"", "sh",
                                      ZORV_BIN, "-c", "--cache=" + db_, "a.zip", "b.zip", "c.zip"},
                                     dir_.path(), 60);
  expect_run(full, 0, plain.out,
             "zorv: warning, cache not used, disk I/O error: " + db_ + "\n" + bad_);
  // A file system of its own, read-only, then full.
  dir_.mkdir("fs");
  auto in_mount = [&](const std::string& mount) {
    std::string script = mount + " && exec \"$@\"";
    return test::run_program({"unshare", "-m", "sh", "-c", script, "sh", ZORV_BIN, "-c",
                              "--cache=fs/c.sqlite", "a.zip", "b.zip", "c.zip"},
                             dir_.path(), 60);
  };
  RunResult probe =
      test::run_program({"unshare", "-m", "sh", "-c", "mount -t tmpfs tmpfs fs"}, dir_.path(), 60);
  if (probe.status != 0) GTEST_SKIP() << "cannot mount a file system here: " << probe.err;
  expect_run(in_mount("mount -t tmpfs -o ro tmpfs fs"), 0, plain.out,
             "zorv: warning, cache not used, Read-only file system: fs/c.sqlite\n" + bad_);
  expect_run(
      in_mount("mount -t tmpfs -o size=12k tmpfs fs"), 0, plain.out,
      "zorv: warning, cache not used, disk I/O error (No space left on device): fs/c.sqlite\n" +
          bad_);
  // A warm cache there, then read-only: it still answers.
  std::string warm_then_ro =
      "mount -t tmpfs tmpfs fs && \"$@\" >/dev/null 2>&1 && sleep 1.1 && "
      "\"$@\" >/dev/null 2>&1 && mount -o remount,ro fs";
  expect_run(in_mount(warm_then_ro), 0, plain.out,
             bad_ + "zorv: warning, cache not written, file system is read-only: fs/c.sqlite\n");
  // The same with a first version's cache, which has no images' table.
  std::string first_then_ro =
      "mount -t tmpfs tmpfs fs && \"$@\" >/dev/null 2>&1 && sleep 1.1 && "
      "\"$@\" >/dev/null 2>&1 && /usr/bin/python3 -c \"import sqlite3; "
      "d = sqlite3.connect('fs/c.sqlite'); "
      "d.executescript('DROP TABLE image; PRAGMA user_version = 1'); "
      "d.execute('PRAGMA wal_checkpoint(TRUNCATE)'); d.close()\" && mount -o remount,ro fs";
  expect_run(in_mount(first_then_ro), 0, plain.out,
             bad_ + "zorv: warning, cache not written, file system is read-only: fs/c.sqlite\n");
}

TEST_F(Cache, PrivateAndOnlyWhereAskedFor) {
  std::string xdg = dir_ / "xdg";
  auto with_env = [&](std::vector<std::string> args) {
    args.insert(args.begin(), ZORV_BIN);
    for (const char* f : {"a.zip", "b.zip", "c.zip"})
      args.emplace_back(f);
    return test::run_program(args, dir_.path(), 60, {{"XDG_CACHE_HOME", xdg}});
  };
  struct stat st;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-c"}, {"-s", "--cache"}, {"--cache", "--no-cache", "-c"}}) {
    EXPECT_EQ(with_env(args).status, 0);
    EXPECT_NE(lstat(xdg.c_str(), &st), 0) << args[0] << " " << args[1];
  }
  RunResult warm = with_env({"-c", "--cache"});
  EXPECT_EQ(warm.status, 0);
  ASSERT_EQ(stat((xdg + "/zorv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat((xdg + "/zorv/cache.sqlite").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(symlink((xdg + "/zorv/cache.sqlite").c_str(), db_.c_str()), 0);
  expect_run(zorv({"-c"}), 0, warm.out,
             "zorv: warning, cache not used, is a symbolic link: " + db_ + "\n" + bad_);
}

TEST_F(Cache, PruneAloneDropsTheArchivesGone) {
  ASSERT_EQ(zorv({"-c"}).status, 0);
  EXPECT_EQ(sql_value("SELECT count(*) FROM archive"), "3");
  ASSERT_EQ(unlink((dir_ / "b.zip").c_str()), 0);
  expect_run(run({"--cache-prune", "--cache=" + db_}), 0, "", "");
  EXPECT_EQ(sql_value("SELECT count(*) FROM archive"), "2");
  EXPECT_EQ(sql_value("SELECT sum(entries) FROM archive"), "4");
}

}  // namespace
}  // namespace zorv
