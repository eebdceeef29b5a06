#include "get_option.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zorv {
namespace {

// Owns argv words the way main receives them, so pointer identity can be checked.
class GetOption : public testing::Test {
 protected:
  void args(std::vector<std::string> words) {
    words_ = std::move(words);
    words_.insert(words_.begin(), "zorv");
    argv_.clear();
    for (std::string& w : words_)
      argv_.push_back(w.data());
    argv_.push_back(nullptr);
  }
  int next(const char* optstring = "|Rl") {
    return get_option(&s_, static_cast<int>(words_.size()), argv_.data(), optstring);
  }
  OptScan s_;  // a fresh scan for every test
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

TEST_F(GetOption, NoWordsEndsAtOnce) {
  args({});
  EXPECT_EQ(next(), OPT_END);
}

TEST_F(GetOption, GroupedOptionsComeOneByOneAndAdvanceOnceAtTheEnd) {
  args({"-Rl", "dir"});
  EXPECT_EQ(next(), 'R');
  EXPECT_EQ(s_.opt_index, 1);
  EXPECT_EQ(s_.opt_arg, nullptr);
  EXPECT_EQ(next(), 'l');
  EXPECT_EQ(s_.opt_index, 2);
  EXPECT_EQ(next(), '|');
  EXPECT_EQ(s_.opt_arg, argv_[2]);  // the element itself, not a copy
  EXPECT_EQ(s_.opt_index, 3);
}

TEST_F(GetOption, UnknownOptionLeavesIndexOnTheWord) {
  args({"-Rx", "dir"});
  EXPECT_EQ(next(), 'R');
  EXPECT_EQ(next(), OPT_UNKNOWN);
  EXPECT_EQ(s_.opt_char, 'x');
  EXPECT_EQ(s_.opt_index, 1);
}

TEST_F(GetOption, HighByteOptionIsSignExtendedAndUnknown) {
  args({"-\xe9"});
  EXPECT_EQ(next(), OPT_UNKNOWN);
  EXPECT_EQ(s_.opt_char, static_cast<signed char>('\xe9'));
}

TEST_F(GetOption, LoneHyphen) {
  args({"-", "dir"});
  EXPECT_EQ(next(), OPT_LONE_HYPHEN);
  EXPECT_EQ(s_.opt_index, 1);
}

TEST_F(GetOption, DoubleHyphenWordsEndTheScanAndAreConsumed) {
  for (const char* word : {"--", "--R"}) {
    s_ = OptScan{};
    args({word, "dir"});
    EXPECT_EQ(next(), OPT_END) << word;
    EXPECT_EQ(s_.opt_index, 2) << word;
  }
}

TEST_F(GetOption, BarAsOptionCharacterIsAcceptedWithoutArgument) {
  args({"-R|", "dir"});
  EXPECT_EQ(next(), 'R');
  EXPECT_EQ(next(), '|');
  EXPECT_EQ(s_.opt_arg, nullptr);
  EXPECT_EQ(s_.opt_index, 2);
}

TEST_F(GetOption, NonOptionWordWithoutBarIsResultFour) {
  args({"dir", "-R"});
  EXPECT_EQ(next("Rl"), OPT_WORD);
  EXPECT_EQ(s_.opt_arg, argv_[1]);
  EXPECT_EQ(s_.opt_index, 2);
}

TEST_F(GetOption, ArgumentsAttachedSeparateAndMissing) {
  args({"-ofile", "-o", "next", "-o"});
  EXPECT_EQ(next("o:"), 'o');
  EXPECT_STREQ(s_.opt_arg, "file");
  EXPECT_EQ(next("o:"), 'o');
  EXPECT_EQ(s_.opt_arg, argv_[3]);
  EXPECT_EQ(s_.opt_index, 4);
  EXPECT_EQ(next("o:"), OPT_NEEDS_ARG);
  EXPECT_EQ(s_.opt_char, 'o');
  EXPECT_EQ(s_.opt_arg, nullptr);
  EXPECT_EQ(s_.opt_index, 5);  // the argument count: one past the option word
}

TEST_F(GetOption, OptionalArgumentIsTakenOnlyWhenAttached) {
  args({"-vx", "-v", "word"});
  EXPECT_EQ(next("v::"), 'v');
  EXPECT_STREQ(s_.opt_arg, "x");
  EXPECT_EQ(next("v::"), 'v');
  EXPECT_EQ(s_.opt_arg, nullptr);
  EXPECT_EQ(s_.opt_index, 3);
  EXPECT_EQ(next("v::"), OPT_WORD);
  EXPECT_EQ(s_.opt_arg, argv_[3]);
}

TEST_F(GetOption, PathFirstStopsTheScanThere) {
  args({"dir", "-R"});
  EXPECT_EQ(next(), '|');
  EXPECT_EQ(s_.opt_arg, argv_[1]);
}

}  // namespace
}  // namespace zorv
