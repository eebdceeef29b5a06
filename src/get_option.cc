#include "get_option.h"

#include <cstring>

namespace zorv {

namespace {

// Starts on the next argv word. Returns 0 when option characters are now
// pending at opt_next, otherwise the result to hand back.
int start_word(OptScan* s, int argc, char* const* argv, const char* optstring) {
  if (s->opt_index >= argc) return OPT_END;
  const char* word = argv[s->opt_index];
  if (word[0] != '-') {
    s->opt_next = "";
    s->opt_arg = word;
    ++s->opt_index;
    return std::strchr(optstring, '|') != nullptr ? OPT_WORD_BAR : OPT_WORD;
  }
  s->opt_next = word + 1;
  if (*s->opt_next == '\0') return OPT_LONE_HYPHEN;
  if (*s->opt_next == '-') {
    s->opt_next = "";  // nothing of "--..." is an option character
    ++s->opt_index;
    return OPT_END;
  }
  return 0;
}

}  // namespace

int get_option(OptScan* s, int argc, char* const* argv, const char* optstring) {
  if (*s->opt_next == '\0') {
    int result = start_word(s, argc, argv, optstring);
    if (result != 0) return result;
  }
  // Sign-extended on purpose: opt_char is a plain char widened to int.
  s->opt_char = static_cast<signed char>(*s->opt_next++);  // NOLINT(bugprone-signed-char-misuse)
  const char* listed = std::strchr(optstring, s->opt_char);
  if (listed == nullptr) return OPT_UNKNOWN;

  if (listed[1] != ':') {
    s->opt_arg = nullptr;
    if (*s->opt_next == '\0') ++s->opt_index;
    return s->opt_char;
  }
  if (*s->opt_next != '\0') {
    s->opt_arg = s->opt_next;
  } else if (listed[2] == ':') {
    s->opt_arg = nullptr;  // an optional argument must be attached
  } else if (++s->opt_index >= argc) {
    s->opt_arg = nullptr;
    return OPT_NEEDS_ARG;
  } else {
    s->opt_arg = argv[s->opt_index];
  }
  s->opt_next = "";
  ++s->opt_index;
  return s->opt_char;
}

}  // namespace zorv
