// The option scanner: getopt-like, one option character per call, with its
// own result codes and one extension (see get_option).
#pragma once

namespace zorv {

// Scanner state: a value its caller owns, one per scan of an argv. Starts
// at the first word after the program name with nothing pending.
struct OptScan {
  int opt_index = 1;              // next argv element to examine
  const char* opt_next = "";      // cursor in the option word; at a NUL: nothing pending
  int opt_char = 0;               // option character last taken (sign-extended byte)
  const char* opt_arg = nullptr;  // argument of the last option, or the non-option word
};

// Result codes of get_option besides an accepted option character.
constexpr int OPT_END = -1;         // no words left, or "--..." consumed
constexpr int OPT_UNKNOWN = 1;      // opt_char is not in the option string
constexpr int OPT_LONE_HYPHEN = 2;  // the word "-"
constexpr int OPT_NEEDS_ARG = 3;    // opt_char takes an argument, none left
constexpr int OPT_WORD = 4;         // non-option word in opt_arg (no '|' in the option string)
constexpr int OPT_WORD_BAR = '|';   // non-option word in opt_arg ('|' in the option string)

// Takes the next option character from argv. In the option string a
// character followed by ':' takes an argument, by "::" an optional attached
// one; a '|' anywhere makes a non-option word come back as the pseudo-option
// '|' (opt_arg is the argv element itself, not a copy). After any result but
// an accepted option no further call is meaningful.
int get_option(OptScan* scan, int argc, char* const* argv, const char* optstring);

}  // namespace zorv
