#include "zip/readahead.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "util/diag.h"
#include "support/files.h"
#include "support/said.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::Bytes;
using test::TempDir;

// What one archive comes to: the fields of an Ahead, and of an opened one
// its entries (CRC-32 and position) as a walk reads them.
struct Outcome {
  bool opened = false;
  bool skip = false;
  int status_errno = 0;
  bool has_id = false;
  std::uint64_t ino = 0;
  std::string messages;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;

  bool operator==(const Outcome&) const = default;
};

std::vector<std::pair<std::uint32_t, std::uint32_t>> walk(ZipDir* zd) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  const ZipEntry* e;
  while (readzip(zd, &e, nullptr) == ZipRead::Entry)
    out.emplace_back(e->crc32, zip_entry_pos(zd));
  return out;
}

Outcome outcome_of(Ahead* a) {
  Outcome o;
  o.opened = a->zd != nullptr;
  o.skip = a->skip;
  o.status_errno = a->status_errno;
  o.has_id = a->has_id;
  o.ino = a->has_id ? a->id.ino : 0;
  o.messages.assign(a->messages.text != nullptr ? a->messages.text : "", a->messages.len);
  if (a->zd != nullptr) {
    o.entries = walk(a->zd);
    closezip(std::exchange(a->zd, nullptr));
  }
  return o;
}

// How an archive is asked for: with the status the caller read, named by
// a listing only, or by name alone (the report's second reading).
enum class Ask { Status, Listed, Name };

// The model: one archive at a time, on this thread, by the plain reader and
// the status call a listing spares.
Outcome serial(const std::string& path, Ask ask) {
  Outcome o;
  struct stat st;
  bool have = stat(path.c_str(), &st) == 0;
  int stat_errno = errno;
  struct stat fst;
  int fd = open(path.c_str(), zip_open_flags());
  bool opens = fd >= 0 && fstat(fd, &fst) == 0;
  if (fd >= 0) close(fd);
  if (ask == Ask::Listed) {
    if (opens ? !S_ISREG(fst.st_mode) : have && !S_ISREG(st.st_mode)) {
      o.skip = true;
      return o;
    }
    if (!opens && !have) {
      o.status_errno = stat_errno;
      return o;
    }
  }
  if (ask == Ask::Status && have) {
    o.has_id = true;
    o.ino = st.st_ino;
  } else if (opens || (ask == Ask::Listed && have)) {
    o.has_id = true;
    o.ino = opens ? fst.st_ino : st.st_ino;
  }
  test::Said said;
  ZipDir* zd = openzip(path.c_str(), said.diag());
  o.messages = said.text();
  o.opened = zd != nullptr;
  if (zd != nullptr) {
    o.entries = walk(zd);
    closezip(zd);
  }
  return o;
}

// A collection of every kind the walk meets: archives small and big (a
// directory beyond the tail read), empty and junk files, a truncated
// archive, a directory, a FIFO and a socket named like archives, and paths
// that do not exist.
std::vector<std::string> collection(const TempDir& dir, std::mt19937& rng) {
  std::vector<std::string> paths;
  for (int i = 0; i < 90; ++i) {
    std::string name = "a" + std::to_string(i) + ".zip";
    switch (rng() % 9) {
      case 0:
        paths.push_back(dir.write(name, Bytes{}));
        break;
      case 1:
        paths.push_back(dir.write(name, test::to_bytes("PK not really an archive")));
        break;
      case 2:
        paths.push_back(dir / ("missing" + std::to_string(i) + ".zip"));
        break;
      case 3:
        paths.push_back(dir.mkdir(name));
        break;
      case 4:
        paths.push_back(dir / name);
        EXPECT_EQ(mkfifo(paths.back().c_str(), 0644), 0);
        break;
      case 5: {  // opening it fails (ENXIO), its status does not
        paths.push_back(dir / name);
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        EXPECT_LT(paths.back().size(), sizeof where.sun_path);
        std::memcpy(where.sun_path, paths.back().c_str(), paths.back().size() + 1);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        close(s);
        break;
      }
      default: {
        ArchiveBytes a;
        int n = rng() % 3 == 0 ? 2000 : 1 + static_cast<int>(rng() % 20);
        for (int e = 0; e < n; ++e)
          a.add("dir/entry" + std::to_string(e) + ".txt", static_cast<std::uint32_t>(rng()));
        Bytes bytes = a.bytes();
        if (rng() % 6 == 0) bytes.resize(bytes.size() - 30);  // the end record cut
        paths.push_back(dir.write(name, bytes));
      }
    }
  }
  return paths;
}

// Every archive comes out in the order asked for, as the serial model says,
// whatever the jobs, the window, the byte limit (small ones make the
// threads wait for room), and however the caller interleaves asking and
// taking, including letting go of everything pending now and then.
TEST(Readahead, HandsOverInOrderWhatASerialRunSees) {
  std::mt19937 rng(20261207);
  TempDir dir;
  std::vector<std::string> paths = collection(dir, rng);
  std::vector<Ask> asks;
  std::vector<Outcome> expected;
  for (const std::string& p : paths) {
    asks.push_back(static_cast<Ask>(rng() % 3));
    expected.push_back(serial(p, asks.back()));
  }
  for (unsigned jobs : {1u, 2u, 8u}) {
    for (std::size_t bytes : {std::size_t{1}, std::size_t{200000}, std::size_t{64} << 20}) {
      AheadLimits limits{jobs, 1 + rng() % 24, bytes, 0};
      ZipCache cache{};
      Readahead* ra = readahead_start(limits, &cache);
      ASSERT_NE(ra, nullptr);
      std::vector<std::size_t> asked;  // indexes into paths, oldest first
      std::size_t next = 0;
      std::size_t checked = 0;
      while (next < paths.size() || !asked.empty()) {
        unsigned r = rng() % 64;
        if (r == 0 && !asked.empty()) {
          readahead_drop(ra);
          asked.clear();
        } else if (next < paths.size() && !readahead_full(ra) && r < 40) {
          struct stat st;
          const struct stat* given = nullptr;
          if (asks[next] == Ask::Status && stat(paths[next].c_str(), &st) == 0) given = &st;
          ASSERT_TRUE(readahead_submit(ra, paths[next].c_str(), given, asks[next] == Ask::Listed));
          asked.push_back(next++);
        } else if (!asked.empty()) {
          Ahead* a = readahead_take(ra);
          ASSERT_NE(a, nullptr);
          std::size_t i = asked.front();
          asked.erase(asked.begin());
          EXPECT_EQ(a->path, paths[i]);
          EXPECT_TRUE(outcome_of(a) == expected[i])
              << paths[i] << " jobs " << jobs << " bytes " << bytes;
          readahead_release(ra);
          ++checked;
        }
        EXPECT_EQ(readahead_pending(ra), asked.size());
      }
      EXPECT_EQ(readahead_take(ra), nullptr);
      EXPECT_GT(checked, paths.size() / 2);
      readahead_stop(ra);
      zip_cache_release(&cache);
    }
  }
}

// Directories beyond the tail read are admitted only while the bytes held
// ahead stay within the limit; the one taken next may pass it, so the run
// never stalls. With eight jobs racing over 100 KiB directories, a limit of
// 250 KB holds at most two of them plus the next one needed.
TEST(Readahead, DirectoryBytesAheadStayWithinTheLimit) {
  TempDir dir;
  std::vector<std::string> paths;
  std::size_t biggest = 0;
  for (int i = 0; i < 40; ++i) {
    ArchiveBytes a;
    for (int e = 0; e < 1500; ++e)
      a.add("some/longer/path/entry" + std::to_string(e) + ".dat", 0x1000u + e);
    biggest = std::max(biggest, a.central().size());
    paths.push_back(dir.write("b" + std::to_string(i) + ".zip", a.bytes()));
  }
  ASSERT_GT(biggest, std::size_t{ZIP_WINDOW});
  std::size_t limit = 250000;
  ZipCache cache{};
  Readahead* ra = readahead_start(AheadLimits{8, 32, limit, 0}, &cache);
  ASSERT_NE(ra, nullptr);
  std::size_t next = 0;
  std::size_t taken = 0;
  while (taken < paths.size()) {
    while (next < paths.size() && !readahead_full(ra))
      ASSERT_TRUE(readahead_submit(ra, paths[next++].c_str(), nullptr, false));
    usleep(2000);  // time for the threads to run into the limit
    Ahead* a = readahead_take(ra);
    ASSERT_NE(a->zd, nullptr);
    EXPECT_EQ(walk(a->zd).size(), 1500u);
    readahead_release(ra);
    ++taken;
  }
  EXPECT_GE(readahead_peak_bytes(ra), biggest);
  EXPECT_LE(readahead_peak_bytes(ra), limit + biggest);
  readahead_stop(ra);
  zip_cache_release(&cache);
}

// An archive a thread could not open for want of a descriptor is opened by
// the taker, as a run with one job would open it: threads holding
// descriptors ahead of it (here two, each waiting for room for a directory
// beyond the tail read) let them go first, instead of the taker failing
// where one job would not. The threads then leave those two to the taker
// as well, which opens them in turn.
TEST(Readahead, ATakerShortOfDescriptorsGetsThemBackFromTheThreads) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    ArchiveBytes a;
    for (int e = 0; e < 1500; ++e)
      a.add("some/longer/path/entry" + std::to_string(e) + ".dat", 0x1000u + e);
    ASSERT_GT(a.central().size(), std::size_t{ZIP_WINDOW});
    paths.push_back(dir.write("b" + std::to_string(i) + ".zip", a.bytes()));
  }
  ZipCache cache{};
  // A limit of one byte: no directory but the next one needed is admitted.
  Readahead* ra = readahead_start(AheadLimits{2, 3, 1, 0}, &cache);
  ASSERT_NE(ra, nullptr);
  // One archive first, so the threads start with descriptors to spare
  // (UBSan's checks of a new thread open a pipe).
  ASSERT_TRUE(readahead_submit(ra, paths[2].c_str(), nullptr, false));
  ASSERT_NE(readahead_take(ra)->zd, nullptr);
  readahead_release(ra);
  {
    test::DescriptorSqueeze squeeze;
    ASSERT_TRUE(squeeze.none_free());
    ASSERT_GE(squeeze.held(), 2u);
    ASSERT_TRUE(readahead_submit(ra, paths[0].c_str(), nullptr, false));
    usleep(100000);  // a thread tries it and leaves it to the taker
    squeeze.give_back(2);
    ASSERT_TRUE(readahead_submit(ra, paths[1].c_str(), nullptr, false));
    ASSERT_TRUE(readahead_submit(ra, paths[2].c_str(), nullptr, false));
    // Both opened, and waiting for room with their descriptors (given up
    // to 20 s: a sanitizer build on a loaded machine is slow to start them).
    for (int i = 0; i < 2000 && !test::DescriptorSqueeze::none_free(); ++i)
      usleep(10000);
    ASSERT_TRUE(test::DescriptorSqueeze::none_free());
    for (const std::string& p : paths) {
      Ahead* a = readahead_take(ra);
      ASSERT_NE(a, nullptr);
      EXPECT_EQ(a->path, p);
      EXPECT_EQ(std::string(a->messages.text != nullptr ? a->messages.text : "", a->messages.len),
                "");
      ASSERT_NE(a->zd, nullptr) << p;
      EXPECT_EQ(walk(a->zd).size(), 1500u);
      readahead_release(ra);
    }
  }
  readahead_stop(ra);
  zip_cache_release(&cache);
}

}  // namespace
}  // namespace zorv
