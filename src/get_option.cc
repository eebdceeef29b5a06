#include "get_option.h"

#include <cstring>

namespace zorv {

namespace {
char empty_word[] = "";
}

int opt_index = 1;
char* opt_next = empty_word;
int opt_char = 0;
char* opt_arg = nullptr;

namespace {

// Starts on the next argv word. Returns 0 when option characters are now
// pending at opt_next, otherwise the result to hand back.
int start_word(int argc, char* const* argv, const char* optstring) {
  if (opt_index >= argc) return OPT_END;
  char* word = argv[opt_index];
  if (word[0] != '-') {
    opt_next = empty_word;
    opt_arg = word;
    ++opt_index;
    return std::strchr(optstring, '|') != nullptr ? OPT_WORD_BAR : OPT_WORD;
  }
  opt_next = word + 1;
  if (*opt_next == '\0') return OPT_LONE_HYPHEN;
  if (*opt_next == '-') {
    opt_next = empty_word;  // nothing of "--..." is an option character
    ++opt_index;
    return OPT_END;
  }
  return 0;
}

}  // namespace

int get_option(int argc, char* const* argv, const char* optstring) {
  if (*opt_next == '\0') {
    int result = start_word(argc, argv, optstring);
    if (result != 0) return result;
  }
  // Sign-extended on purpose: opt_char is a plain char widened to int.
  opt_char = static_cast<signed char>(*opt_next++);  // NOLINT(bugprone-signed-char-misuse)
  const char* listed = std::strchr(optstring, opt_char);
  if (listed == nullptr) return OPT_UNKNOWN;

  if (listed[1] != ':') {
    opt_arg = nullptr;
    if (*opt_next == '\0') ++opt_index;
    return opt_char;
  }
  if (*opt_next != '\0') {
    opt_arg = opt_next;
  } else if (listed[2] == ':') {
    opt_arg = nullptr;  // an optional argument must be attached
  } else if (++opt_index >= argc) {
    opt_arg = nullptr;
    return OPT_NEEDS_ARG;
  } else {
    opt_arg = argv[opt_index];
  }
  opt_next = empty_word;
  ++opt_index;
  return opt_char;
}

}  // namespace zorv
