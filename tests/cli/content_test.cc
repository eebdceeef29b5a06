// End-to-end: groups split by size (-s) and confirmed by content (-c), on
// archives from real writers and from the test writer, and on random
// collections against Python's zipfile reading every member.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/cli.h"
#include "support/deflate.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::block;
using test::expect_run;
using test::Group;
using test::RunResult;

class Content : public test::CliRun {};

TEST_F(Content, SizesSplitWhatTheCrcJoins) {
  ArchiveBytes a = test::archive({{"x", 0x5eed}});
  a.headers[0].uncompressed_size = 10;
  ArchiveBytes b = test::archive({{"y", 0x5eed}, {"z", 0x5eed}});
  b.headers[0].uncompressed_size = 11;
  b.headers[1].uncompressed_size = 10;
  put("a.zip", a);
  put("b.zip", b);
  expect_run(run({"a.zip", "b.zip"}), 0, block(0x5eed, {"a.zip, x", "b.zip, y", "b.zip, z"}), "");
  expect_run(run({"-s", "a.zip", "b.zip"}), 0, block(0x5eed, {"a.zip, x", "b.zip, z"}), "");
  expect_run(run({"-s", "b.zip"}), 0, "", "");  // two sizes, one member each
}

// Two contents of one length whose CRC-32 is forced equal: one group by
// CRC-32 and size, two by content; a third copy joins its twin.
TEST_F(Content, ContentSplitsAForgedCrc) {
  std::string one = test::forge_crc(std::string(2000, 'a'), 0x12345678);
  std::string two = test::forge_crc(std::string(2000, 'b'), 0x12345678);
  ASSERT_EQ(test::crc32_of(one), test::crc32_of(two));
  ArchiveBytes a;
  a.add_file("one", one, 8, test::deflate_raw(one, 6));
  a.add_file("two", two, 0);
  ArchiveBytes b;
  b.add_file("one again", one, 0);
  put("a.zip", a);
  put("b.zip", b);
  std::string all = block(0x12345678, {"a.zip, one", "a.zip, two", "b.zip, one again"});
  expect_run(run({"-s", "a.zip", "b.zip"}), 0, all, "");
  expect_run(run({"-c", "a.zip", "b.zip"}), 0,
             block(0x12345678, {"a.zip, one", "b.zip, one again"}), "");
  expect_run(run({"-c", "-l", "a.zip", "b.zip"}), 0,
             block(0x12345678, {"a.zip, one", "b.zip, one again"}) +
                 "FileListName: a.zip (Tot 2, Found 1) \n"
                 "FileListName: b.zip (Tot 1, Found 1) ***\n",
             "");
}

// One content written by zipfile, Info-ZIP, 7-Zip, by hand and with xz and
// zstd: every readable copy is one group; the encrypted and the Deflate64
// copies are named and left out.
TEST_F(Content, EveryWriterAndMethodConfirmsOneContent) {
  std::string fx = std::string(ZORV_FIXTURE_DIR) + "/verify/";
  std::vector<std::string> args = {"-c"};
  for (const char* name : {"stored.zip", "deflated.zip", "bzip2-lzma.zip", "xz.zip", "zstd.zip",
                           "encrypted.zip", "deflate64.zip"}) {
    dir_.write(name, test::read_file(fx + name));
    args.push_back(name);
  }
  expect_run(run(args), 0,
             block(0xbcfea453,
                   {"stored.zip, stored.txt", "deflated.zip, deflated.txt",
                    "bzip2-lzma.zip, bzip2.txt", "bzip2-lzma.zip, lzma.txt", "xz.zip, stored.txt",
                    "xz.zip, xz.txt", "zstd.zip, stored.txt", "zstd.zip, zstd.txt"}),
             "zorv: warning, cannot verify encrypted.zip, data.txt: encrypted\n"
             "zorv: warning, cannot verify deflate64.zip, data.txt: compression method 9 not "
             "supported\n");
}

// Every way a member can be unreadable: its exact warning, the member left
// out, its group printed without it, other groups untouched.
TEST_F(Content, UnreadableMembersAreNamedAndLeftOut) {
  std::string data(3000, 'q');
  std::string other(3000, 'r');
  ArchiveBytes good;
  good.add_file("q", data, 8, test::deflate_raw(data, 6));
  good.add_file("r", other, 8, test::deflate_raw(other, 6));
  ArchiveBytes bad;
  bad.add_file("flipped", data, 0);
  bad.prefix[bad.prefix.size() - 100] ^= 1;  // a byte of its data
  bad.add_file("encrypted", data, 8, test::deflate_raw(data, 6)).flags = 1;
  bad.add_file("ppmd", data, 8, test::deflate_raw(data, 6)).method = 98;
  bad.add_file("past the end", data, 0).local_header_offset = 1u << 28;
  // Recorded as 3000 bytes, but the data inflates to 6000: a bomb, stopped.
  bad.add_file("bomb", data + data, 8, test::deflate_raw(data + data, 6)).uncompressed_size = 3000;
  bad.headers.back().crc32 = test::crc32_of(data);
  bad.headers.back().flags = 8;  // the local header's true size deferred
  bad.add_file("r copy", other, 0);
  put("good.zip", good);
  put("bad.zip", bad);
  std::string warn = "zorv: warning, cannot verify bad.zip, ";
  expect_run(run({"-c", "good.zip", "bad.zip"}), 0,
             block(test::crc32_of(other), {"good.zip, r", "bad.zip, r copy"}),
             warn + "flipped: damaged data\n" + warn + "encrypted: encrypted\n" + warn +
                 "ppmd: compression method 98 not supported\n" + warn +
                 "past the end: damaged data\n" + warn + "bomb: damaged data\n");
}

// What -c and -l's *** say is what people delete on. Several central
// entries on one stored stream (a bomb: one small stream checked as many
// big copies) are refused, not decoded again and again; an archive whose
// entries have copies only inside itself, or only in an archive it could
// not be checked against, is not marked as safe to delete.
TEST_F(Content, OnlyCopiesInOtherFilesMakeAnArchiveSafeToDelete) {
  std::string data(200000, 'z');
  std::string other(3000, 'o');
  ArchiveBytes bomb;
  bomb.add_file("z", data, 8, test::deflate_raw(data, 9));
  for (std::uint32_t i = 1; i < 3; ++i) {
    test::CentralHeader again = bomb.headers[0];
    again.name = "z" + std::to_string(i);
    again.compressed_size += i;  // defeats "equal compressed bytes decoded once"
    bomb.headers.push_back(again);
  }
  ArchiveBytes twice;
  twice.add_file("z", data, 0);
  twice.add_file("z again", data, 0);
  twice.add_file("o", other, 0);
  ArchiveBytes unreadable;  // method 9: never checked
  unreadable.add_file("o", other, 8, test::deflate_raw(other, 6)).method = 9;
  unreadable.add_file("z", data, 0);
  put("bomb.zip", bomb);
  put("twice.zip", twice);
  put("nine.zip", unreadable);
  std::string warn = "zorv: warning, cannot verify bomb.zip, ";
  std::string overlaps = warn + "z: data overlaps another member\n" + warn +
                         "z1: data overlaps another member\n" + warn +
                         "z2: data overlaps another member\n";
  expect_run(run({"-c", "-l", "bomb.zip", "twice.zip"}), 0,
             block(test::crc32_of(data), {"twice.zip, z", "twice.zip, z again"}) +
                 "FileListName: twice.zip (Tot 3, Found 2) \n",
             overlaps);
  // Copies only inside one archive: listed, found, but not safe to delete.
  expect_run(run({"-l", "twice.zip"}), 0,
             block(test::crc32_of(data), {"twice.zip, z", "twice.zip, z again"}) +
                 "FileListName: twice.zip (Tot 3, Found 2) \n",
             "");
  // Named twice, an archive is indexed twice: its one checked entry
  // printed twice does not make up for the one that could not be checked.
  std::string nine = "zorv: warning, cannot verify nine.zip, o: compression method 9 not supported\n";
  RunResult r = run({"-c", "-l", "nine.zip", "nine.zip", "twice.zip"});
  EXPECT_EQ(r.status, 0);
  std::string rest;
  EXPECT_EQ(test::parse_report(r.out, &rest),
            (std::vector<Group>{{test::crc32_of(data),
                                 {"nine.zip, z", "nine.zip, z", "twice.zip, z", "twice.zip, z again"}}}));
  EXPECT_EQ(rest, "FileListName: nine.zip (Tot 2, Found 2) \nFileListName: twice.zip (Tot 3, Found 2) \n");
  EXPECT_EQ(r.err, "zorv: warning, duplicate file name: nine.zip\n\n" + nine + nine);
  // With a copy in another file for each of its entries, it is.
  ArchiveBytes copy;
  copy.add_file("o", other, 0);
  copy.add_file("z", data, 8, test::deflate_raw(data, 6));
  put("copy.zip", copy);
  r = run({"-c", "-l", "twice.zip", "copy.zip"});
  EXPECT_EQ(r.err, "");
  test::parse_report(r.out, &rest);
  EXPECT_EQ(rest, "FileListName: copy.zip (Tot 2, Found 2) ***\nFileListName: twice.zip (Tot 3, Found 3) ***\n");
}

// With descriptors for one archive at a time, the checker's threads take
// turns: every member is checked, none is called unreadable for want of a
// descriptor the checker itself holds.
TEST_F(Content, CheckerThreadsShareScarceDescriptors) {
  // UBSan's checks open a pipe of their own: with one descriptor to spare
  // they fail, whatever zorv does.
  if (test::kSanitized) GTEST_SKIP() << "the sanitizers need descriptors of their own";
  std::mt19937 rng(7);
  std::string data(1 << 20, '\0');
  for (char& c : data)
    c = static_cast<char>(rng());
  std::string back(data.rbegin(), data.rend());
  // One descriptor free for zorv beyond those it inherits, whatever this
  // process holds open (a test runner may pass some on).
  int free_fd = 0;
  while (fcntl(free_fd, F_GETFD) != -1)
    ++free_fd;
  std::vector<std::string> args = {"prlimit", "--nofile=" + std::to_string(free_fd + 1), ZORV_BIN,
                                   "-c"};
  std::vector<std::string> fronts, backs;
  for (int i = 0; i < 8; ++i) {
    ArchiveBytes a;
    a.add_file("front", data, 0);
    a.add_file("back", back, 0);
    std::string name = "f" + std::to_string(i) + ".zip";
    put(name, a);
    args.push_back(name);
    fronts.push_back(name + ", front");
    backs.push_back(name + ", back");
  }
  RunResult r = test::run_program(args, dir_.path(), 60);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<Group> groups = test::parse_report(r.out);
  std::sort(groups.begin(), groups.end());
  std::vector<Group> want = {{test::crc32_of(data), fronts}, {test::crc32_of(back), backs}};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(groups, want);
}

// Members claiming 2^63 bytes each: the summary's byte count stops at the
// largest number it can say instead of wrapping to 0.
TEST_F(Content, RedundantBytesNeverWrap) {
  ArchiveBytes a;
  for (int i = 0; i < 3; ++i) {
    test::CentralHeader& h = a.add("huge" + std::to_string(i), 0x600d);
    h.uncompressed_size = 0xffffffffu;
    h.extra = test::zip64_extra(std::uint64_t{1} << 63, std::nullopt, std::nullopt);
  }
  put("a.zip", a);
  RunResult r = run({"--summary", "a.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.rfind("Summary: ")),
            "Summary: 1 groups, 3 members, 2 redundant copies, 18446744073709551615 bytes in "
            "redundant copies\n");
}

// Random collections: contents drawn from a small pool (copies across and
// within archives), stored or deflated at two levels, forged CRC-32
// collisions, a few damaged members. zorv -s and -c must find the groups
// that Python's zipfile finds when it reads every member.
TEST_F(Content, RandomCollectionsAgreeWithZipfile) {
  std::mt19937 rng(1607);
  std::vector<std::string> pool;
  for (int i = 0; i < 6; ++i) {
    std::string base(1000 + 300 * (i % 3), static_cast<char>('a' + i));
    pool.push_back(test::forge_crc(base, 0x0c0ffee0u + static_cast<std::uint32_t>(i % 3)));
  }
  pool.push_back("short and unique");
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> args;
    for (int a = 0; a < 5; ++a) {
      ArchiveBytes bytes;
      int entries = 2 + static_cast<int>(rng() % 6);
      for (int e = 0; e < entries; ++e) {
        const std::string& data = pool[rng() % pool.size()];
        std::string name = "e" + std::to_string(e);
        test::CentralHeader* h;
        switch (rng() % 4) {
          case 0:
            h = &bytes.add_file(name, data, 0);
            break;
          case 1:
            h = &bytes.add_file(name, data, 8, test::deflate_raw(data, 1));
            break;
          default:
            h = &bytes.add_file(name, data, 8, test::deflate_raw(data, 9));
        }
        // Damaged in its middle, where any reader sees it. (A bit flipped in
        // the last byte may only spoil the stream's end, which zipfile does
        // not check and zorv does.)
        if (rng() % 11 == 0) bytes.prefix[bytes.prefix.size() - 1 - h->compressed_size / 2] ^= 0x40;
      }
      std::string path = "r" + std::to_string(round) + "/a" + std::to_string(a) + ".zip";
      put(path, bytes);
      args.push_back(path);
    }
    for (const char* mode : {"-s", "-c"}) {
      std::vector<std::string> cmd = {
          "/usr/bin/python3", std::string(ZORV_TEST_SUPPORT_DIR) + "/content_model.py", mode};
      cmd.insert(cmd.end(), args.begin(), args.end());
      RunResult model = test::run_program(cmd, dir_.path(), 60);
      ASSERT_EQ(model.status, 0) << model.err;
      std::vector<std::string> zorv_args = {mode};
      zorv_args.insert(zorv_args.end(), args.begin(), args.end());
      RunResult r = run(zorv_args);
      ASSERT_EQ(r.status, 0) << r.err;
      // Groups as sets of members (the model does not know zorv's group order).
      std::set<std::vector<std::string>> got;
      for (const Group& g : test::parse_report(r.out))
        got.insert(g.members);
      std::set<std::vector<std::string>> want;
      for (const Group& g : test::parse_report(model.out))
        want.insert(g.members);
      EXPECT_EQ(got, want) << "round " << round << " " << mode << "\n"
                           << r.out << "model:\n"
                           << model.out;
      // The same members named, in whatever order the groups come.
      auto lines = [](const std::string& text) {
        std::multiset<std::string> out;
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
             at = end + 1)
          out.insert(text.substr(at, end - at));
        return out;
      };
      EXPECT_EQ(lines(r.err), lines(model.err)) << "round " << round << " " << mode;
    }
  }
}

}  // namespace
}  // namespace zorv
