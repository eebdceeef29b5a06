#include "fs/scandir.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <cerrno>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/said.h"

namespace zorv {
namespace {

using test::Bytes;
using test::TempDir;

int record(const char* path, const struct stat*, void* ctx) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(path);
  return 0;
}

struct ScanResult {
  int result;
  std::vector<std::string> paths;  // sorted: listing order is not part of the contract
  std::string err;
};

ScanResult scan(const std::string& dir, int flags) {
  ScanResult r;
  test::Said said;
  r.result = scandir(dir.c_str(), ".zip", record, &r.paths, flags, said.diag());
  r.err = said.text();
  std::sort(r.paths.begin(), r.paths.end());
  return r;
}

// A directory holding every kind of entry the scanner must tell apart.
class ScanDir : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.zip", "b.ZIP", "c.zip.old", "d", "zip", "t.zip.txt", "u.tar.ZIP",
                             "sub/e.zip",
                             "sub/deeper/f.zip", "..x/g.zip", ".hidden/h.zip", "arch.zip/i.zip"}) {
      dir_.write(name, Bytes{'x'});
    }
    ASSERT_EQ(mkfifo((dir_ / "fifo.zip").c_str(), 0600), 0);
    ASSERT_EQ(symlink("a.zip", (dir_ / "link.zip").c_str()), 0);
    ASSERT_EQ(symlink("nowhere.zip", (dir_ / "dangling.zip").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock_path = dir_ / "sock.zip";
    if (sock_path.size() < sizeof addr.sun_path) {
      std::copy(sock_path.begin(), sock_path.end(), addr.sun_path);
      bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    close(sock);
  }
  std::vector<std::string> full(std::initializer_list<const char*> rels) {
    std::vector<std::string> out;
    for (const char* r : rels)
      out.push_back(dir_ / r);
    std::sort(out.begin(), out.end());
    return out;
  }
  TempDir dir_;
};

TEST_F(ScanDir, ExtensionOnLastDotAnyCaseRegularFilesOnly) {
  ScanResult r = scan(dir_.path(), 0);
  EXPECT_EQ(r.result, SCAN_OK);
  EXPECT_EQ(r.err, "");
  // The FIFO, the socket, the dangling link and the directory arch.zip are
  // never handed on; the link to a regular file is.
  EXPECT_EQ(r.paths, full({"a.zip", "b.ZIP", "link.zip", "u.tar.ZIP"}));
}

// Only the last dot counts: a rule that took the first one would pass
// "c.zip.old" and miss "u.tar.ZIP".
TEST(HasExt, LastDotAnyCase) {
  EXPECT_TRUE(has_ext("b.tar.ZIP", ".zip"));
  EXPECT_TRUE(has_ext("dir/.zip", ".zip"));
  EXPECT_FALSE(has_ext("a.zip.txt", ".zip"));
  EXPECT_FALSE(has_ext("arch.zip/inside", ".zip"));
  EXPECT_FALSE(has_ext("a.zipx", ".zip"));
  EXPECT_FALSE(has_ext("zip", ".zip"));
}

TEST_F(ScanDir, RecursionEntersEveryDirectoryButDotAndDotDot) {
  ScanResult r = scan(dir_.path(), SCAN_RECURSE);
  EXPECT_EQ(r.result, SCAN_OK);
  EXPECT_EQ(r.paths, full({"a.zip", "b.ZIP", "link.zip", "u.tar.ZIP", "sub/e.zip", "sub/deeper/f.zip",
                           "..x/g.zip", ".hidden/h.zip", "arch.zip/i.zip"}));
}

TEST_F(ScanDir, TrailingSlashGivesTheSamePaths) {
  EXPECT_EQ(scan(dir_.path() + "/", SCAN_RECURSE).paths, scan(dir_.path(), SCAN_RECURSE).paths);
}

TEST(ScanDirPaths, OnlySlashSuppressesTheSeparator) {
  TempDir dir;
  dir.write("c:/in.zip", Bytes{'x'});
  dir.write("c:in.zip", Bytes{'x'});
  dir.write("e/s\\/t.zip", Bytes{'x'});
  ScanResult colon = scan(dir / "c:", 0);
  EXPECT_EQ(colon.paths, std::vector<std::string>{dir / "c:/in.zip"});
  ScanResult backslash = scan(dir / "e", SCAN_RECURSE);
  EXPECT_EQ(backslash.paths, std::vector<std::string>{dir / "e/s\\/t.zip"});
  ScanResult slash = scan(dir / "c:/", 0);
  EXPECT_EQ(slash.paths, std::vector<std::string>{dir / "c:/in.zip"});
}

TEST(ScanDirPaths, EmptyDirectory) {
  TempDir dir;
  ScanResult r = scan(dir.path(), SCAN_RECURSE);
  EXPECT_EQ(r.result, SCAN_OK);
  EXPECT_TRUE(r.paths.empty());
  EXPECT_EQ(r.err, "");
}

TEST(ScanDirPaths, OpenFailureWarnsWithoutPrefix) {
  TempDir dir;
  std::string file = dir.write("plain.zip", Bytes{'x'});
  ScanResult missing = scan("no-such-dir", 0);
  EXPECT_EQ(missing.result, SCAN_OPEN_FAILED);
  EXPECT_EQ(missing.err, "warning, No such file or directory: \"no-such-dir\"\n");
  ScanResult not_dir = scan(file, SCAN_RECURSE);
  EXPECT_EQ(not_dir.result, SCAN_OPEN_FAILED);
  EXPECT_EQ(not_dir.err, "warning, Not a directory: \"" + file + "\"\n");
}

// Links back to an ancestor and two links to one directory: every directory
// is entered once, so each archive is seen exactly once.
TEST(ScanDirLinks, CycleAndDiamondVisitEachDirectoryOnce) {
  TempDir dir;
  dir.write("top/a.zip", Bytes{'x'});
  dir.write("top/sub/b.zip", Bytes{'x'});
  dir.write("shared/c.zip", Bytes{'x'});
  ASSERT_EQ(symlink("..", (dir / "top/sub/up").c_str()), 0);
  ASSERT_EQ(symlink("../..", (dir / "top/sub/up2").c_str()), 0);
  ASSERT_EQ(symlink("../shared", (dir / "top/left").c_str()), 0);
  ASSERT_EQ(symlink("../shared", (dir / "top/right").c_str()), 0);
  ScanResult r = scan(dir / "top", SCAN_RECURSE);
  ASSERT_EQ(r.paths.size(), 3u) << testing::PrintToString(r.paths);
  // c.zip is reached through whichever link the listing offers first.
  auto c = std::find_if(r.paths.begin(), r.paths.end(), [](const std::string& p) {
    return p.size() > 6 && p.compare(p.size() - 6, 6, "/c.zip") == 0;
  });
  EXPECT_NE(c, r.paths.end());
  EXPECT_EQ(std::count(r.paths.begin(), r.paths.end(), dir / "top/a.zip"), 1);
  EXPECT_EQ(std::count(r.paths.begin(), r.paths.end(), dir / "top/sub/b.zip"), 1);
  // A fresh call starts afresh: the same tree is scanned again.
  EXPECT_EQ(scan(dir / "top", SCAN_RECURSE).paths.size(), 3u);
}

// A path too long to use (PATH_MAX) could be an archive: the walk says so
// instead of passing over it as it does a dangling link.
TEST(ScanDirPaths, PathTooLongIsReported) {
  TempDir dir;
  dir.write("top/a.zip", Bytes{'x'});
  std::string name(100, 'd');
  std::string path = dir / "top";
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string too_long;  // the first full path the walk cannot use
  while (path.size() < 4096 + 300) {
    path += "/" + name;
    if (too_long.empty() && path.size() >= 4096) too_long = path;
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  close(openat(fd, "b.zip", O_CREAT | O_WRONLY, 0600));
  close(fd);
  ScanResult r = scan(dir / "top", SCAN_RECURSE);
  EXPECT_EQ(r.result, SCAN_OK);
  EXPECT_EQ(r.paths, std::vector<std::string>{dir / "top/a.zip"});
  EXPECT_EQ(r.err, "warning, File name too long: \"" + too_long + "\"\n");
}

// A directory whose own path fits but whose "." and ".." would not: they are
// never looked at, so nothing is said of them.
TEST(ScanDirPaths, DotEntriesNearTheLimitPassUnremarked) {
  TempDir dir;
  std::string path = dir.mkdir("top");
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  while (path.size() < 4094) {
    std::size_t left = 4094 - path.size() - 1;  // after the separator
    std::string name(left > 200 ? 100 : left, 'e');
    path += "/" + name;
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
  }
  close(fd);
  ASSERT_EQ(path.size(), 4094u);  // "<path>/." is 4,096 bytes: too long to use
  ScanResult r = scan(dir / "top", SCAN_RECURSE);
  EXPECT_EQ(r.result, SCAN_OK);
  EXPECT_TRUE(r.paths.empty());
  EXPECT_EQ(r.err, "");
}

TEST(ErrnoText, TextThenClear) {
  errno = ENOENT;
  EXPECT_STREQ(errno_text(), "No such file or directory");
  EXPECT_EQ(errno, 0);
  errno = 99999;
  EXPECT_STREQ(errno_text(), "errno out of range");
  EXPECT_EQ(errno, 0);
}

}  // namespace
}  // namespace zorv

namespace zorv {
namespace {

// Whether each file came with a status: what the caller may rely on to know
// which file it is. Keyed by the last path component.
int record_status(const char* path, const struct stat* st, void* ctx) {
  auto* seen = static_cast<std::vector<std::pair<std::string, int>>*>(ctx);
  std::string name = std::strrchr(path, '/') + 1;
  seen->emplace_back(name, st == nullptr ? -1 : S_ISREG(st->st_mode) ? 1 : 0);
  return 0;
}

// A file the listing calls regular is passed on without a status call of
// its own; one reached through a link is passed with the status the link
// leads to (the listing cannot say what that is).
TEST(ScanDirStatus, ListingSparesTheStatusOfRegularFilesOnly) {
  TempDir dir;
  dir.write("plain.zip", Bytes{'x'});
  ASSERT_EQ(symlink("plain.zip", (dir / "link.zip").c_str()), 0);
  std::vector<std::pair<std::string, int>> seen;
  ASSERT_EQ(scandir(dir.path().c_str(), ".zip", record_status, &seen, 0, nullptr), SCAN_OK);
  std::sort(seen.begin(), seen.end());
  std::vector<std::pair<std::string, int>> want = {{"link.zip", 1}, {"plain.zip", -1}};
  EXPECT_EQ(seen, want);
}

// A caller working ahead holds descriptors the walk may need: a directory
// that cannot be opened for want of one is tried again once the caller,
// told so, has let its own go, so the walk finds what it would have found
// with the caller holding none.
struct Squeezed {
  test::DescriptorSqueeze* squeeze;
  std::vector<std::string> paths;
  int told = 0;
};

int record_squeezed(const char* path, const struct stat*, void* ctx) {
  static_cast<Squeezed*>(ctx)->paths.push_back(path);
  return 0;
}

void let_go(void* ctx) {
  auto* s = static_cast<Squeezed*>(ctx);
  ++s->told;
  s->squeeze->give_back(s->squeeze->held());
}

TEST(ScanDirDescriptors, ADirectoryOpenedForWantOfADescriptorIsTriedAgainOnceTheCallerLetsGo) {
  TempDir dir;
  dir.write("top/sub/a.zip", Bytes{'x'});
  test::Said said;
  int result;
  Squeezed s{nullptr, {}, 0};
  {
    test::DescriptorSqueeze squeeze;
    s.squeeze = &squeeze;
    squeeze.give_back(1);  // for "top"; "sub" finds none
    result = scandir((dir / "top").c_str(), ".zip", record_squeezed, &s, SCAN_RECURSE, said.diag(), let_go);
  }
  EXPECT_EQ(result, SCAN_OK);
  EXPECT_EQ(said.text(), "");
  EXPECT_EQ(s.paths, std::vector<std::string>{dir / "top/sub/a.zip"});
  EXPECT_EQ(s.told, 1);
}

}  // namespace
}  // namespace zorv
