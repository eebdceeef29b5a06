// The program's diagnostics: where every warning and error line goes, the
// driver's fatal exit and the always-on assertion.
//
// A leaf unit. A component never writes to standard error itself: it says
// its lines to the Diag its caller hands it, and the caller decides where
// they go and when (straight to standard error, or kept in order for later:
// work done ahead on another thread keeps its lines with the work, and
// whoever takes the work in order hands them on then). Only the driver
// ends the run (error_exit).
#pragma once

#include <cstddef>

namespace zorv {

// Lines kept for later: `text` holds `len` bytes of whole lines (malloc'ed,
// grown as needed; a line that finds no memory is dropped, never
// half-written). Value-initialise to start; release with message_buf_free.
struct MessageBuf {
  char* text;
  std::size_t len;
  std::size_t cap;
};

// Where a component's lines go. A plain record owned by whoever hands it
// out. With `keep` set, lines are appended there; else they go to standard
// error, after `before` (when set) is called with `ctx`: a caller that holds
// back output of its own, or lines of work done ahead, writes it first, so
// that lines keep the order of the run. A null Diag* silences a component.
// Lines carry stored names and paths: when standard error is a terminal,
// every line reaches it through show_controls (its newline as it is); kept
// lines as they were said, and on a terminal with only their line ends
// left as they are. Elsewhere the bytes are written unchanged.
struct Diag {
  MessageBuf* keep = nullptr;
  void (*before)(void* ctx) = nullptr;
  void* ctx = nullptr;
};

// Says "zorv: ", the formatted text and "\n".
void say(Diag* diag, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Says the formatted text and "\n", without the program's prefix: the
// generic components' own lines (the directory scanner, the containers).
void say_bare(Diag* diag, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Hands the lines `kept` holds on to `to` (as if said there now) and
// empties it, keeping its memory.
void hand_on(MessageBuf* kept, Diag* to);

// Releases what `buf` holds; it is empty again.
void message_buf_free(MessageBuf* buf);

// For the driver only: "zorv: ", the formatted text and "\n" on standard
// error, then the process ends with status 1 (stdout is flushed, no other
// teardown).
[[noreturn]] void error_exit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// For the driver only: as error_exit, without the prefix, for a line that
// is a container's own ("rbtree_insert: no memory for node").
[[noreturn]] void bare_exit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// As GNU ls shows names on a terminal: each control byte (0x00-0x1f, 0x7f)
// of bytes [0, len) as \n, \t or \xHH, everything else as it is, so a
// stored name can neither drive a terminal nor fake lines on it. Writes at
// most 4 * len bytes at `out` and returns where they end.
char* show_controls(char* out, const char* text, std::size_t len);

// True when bytes [0, len) hold a control byte (0x00-0x1f, 0x7f).
bool has_control(const char* text, std::size_t len);

// Reports a broken internal invariant the way assert() does and aborts.
// Buffered standard output is flushed first so the report written so far is
// not lost.
[[noreturn]] void assert_fail(const char* text, const char* file, int line, const char* func);

}  // namespace zorv

// Unlike assert(), stays active when NDEBUG is defined (release builds).
// `text` is the condition as users see it in the message.
#define ZORV_ASSERT(cond, text) \
  ((cond) ? static_cast<void>(0) : ::zorv::assert_fail(text, __FILE_NAME__, __LINE__, __func__))
