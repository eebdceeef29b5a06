#include "zorv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorv {
namespace {

// The options as a value: what each command line asks for, and where its
// paths start (0: none came).
Options parse(std::vector<std::string> words) {
  words.insert(words.begin(), "zorv");
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  return parse_options(static_cast<int>(words.size()), argv.data());
}

TEST(ParseOptions, FirstPathAndFlags) {
  Options o = parse({"-Rl", "--format=jsonl", "-j", "3", "dir", "-s"});
  EXPECT_TRUE(o.recurse && o.list);
  EXPECT_FALSE(o.size);  // after the first path, "-s" is a path
  EXPECT_EQ(o.format, Format::Jsonl);
  EXPECT_EQ(o.jobs, 3);
  EXPECT_EQ(o.first_path, 5);
  o = parse({"-c", "--progress=never", "--", "-R"});
  EXPECT_TRUE(o.content && o.size);  // -c implies -s
  EXPECT_FALSE(o.recurse);
  EXPECT_EQ(o.progress, ProgressWhen::Never);
  EXPECT_EQ(o.first_path, 4);  // the word after "--", whatever it looks like
  EXPECT_EQ(parse({"-R", "--"}).first_path, 0);
  EXPECT_EQ(parse({"-R|", "dir"}).first_path, 0);  // '|' as an option: no path
  EXPECT_EQ(parse({"--summary", "--exit-status", "a.zip"}).first_path, 3);
  o = parse({"--format=jsonl", "--format=text", "--progress=always", "--progress=auto", "x"});
  EXPECT_EQ(o.format, Format::Text);  // the last one counts
  EXPECT_EQ(o.progress, ProgressWhen::Auto);
}

TEST(ParseOptionsDeath, BadOptionsEndTheRunWithTheirLine) {
  EXPECT_EXIT(parse({"-x", "dir"}), testing::ExitedWithCode(1),
              "^zorv: command error, unknown option 'x'. Type 'zorv' by itself for help\n$");
  EXPECT_EXIT(parse({"-j"}), testing::ExitedWithCode(1),
              "^zorv: command error, the 'j' option requires an argument\n$");
}

}  // namespace
}  // namespace zorv
