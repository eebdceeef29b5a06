// The --files-from list: where paths end, what is skipped, and how a list
// that cannot be read fails.
#include "fs/pathlist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"

namespace zorv {
namespace {

using test::TempDir;

struct Listed {
  bool ok;
  std::vector<std::string> paths;
  std::string why;
};

Listed list(const std::string& file, char end) {
  Listed r{false, {}, ""};
  auto each = [](char* path, void* ctx) {
    static_cast<std::vector<std::string>*>(ctx)->push_back(path);
    path[0] = '#';  // the caller's to change
  };
  std::FILE* f = open_path_list(file.c_str(), &r.why);
  if (f == nullptr) return r;
  r.ok = each_listed_path(f, end, each, &r.paths, &r.why);
  close_path_list(f);
  return r;
}

test::Bytes bytes_of(const std::string& s) {
  return test::Bytes(s.begin(), s.end());
}

TEST(PathList, EachPathInOrderEmptyOnesSkipped) {
  TempDir dir;
  std::string longest(70000, 'p');
  std::string lines = dir.write("lines", bytes_of("a.zip\n\nb c.zip\r\n" + longest + "\nlast"));
  Listed r = list(lines, '\n');
  EXPECT_TRUE(r.ok) << r.why;
  EXPECT_EQ(r.paths, (std::vector<std::string>{"a.zip", "b c.zip\r", longest, "last"}));

  std::string nul = dir.write("nul", bytes_of(std::string("new\nline.zip\0\0x.zip\0", 20)));
  r = list(nul, '\0');
  EXPECT_TRUE(r.ok) << r.why;
  EXPECT_EQ(r.paths, (std::vector<std::string>{"new\nline.zip", "x.zip"}));

  EXPECT_EQ(list(dir.write("empty", {}), '\n').paths, std::vector<std::string>{});
}

TEST(PathList, AListThatCannotBeReadFailsWithItsReason) {
  TempDir dir;
  Listed r = list(dir / "missing", '\n');
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.why, "No such file or directory");
  r = list(dir.path(), '\n');
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.why, "Is a directory");
  // A NUL-separated list read as lines: the paths before it were handed on.
  std::string nul = dir.write("nul", bytes_of(std::string("first.zip\nx.zip\0y.zip\n", 22)));
  r = list(nul, '\n');
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.why, "a path holds a NUL byte (a list for --null?)");
  EXPECT_EQ(r.paths, std::vector<std::string>{"first.zip"});
}

}  // namespace
}  // namespace zorv
