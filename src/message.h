// The program's two message routines and its always-on assertion.
//
// A leaf unit: the reader, the indexes and the driver all report through it
// without knowing one another.
#pragma once

#include <cstddef>

namespace zorv {

// Writes "zorv: ", the formatted message and "\n" to standard error, or,
// while the calling thread captures its messages, appends them to its buffer.
void error_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Messages kept for later: work done ahead on another thread says what it
// would have said, and whoever consumes the work in order prints it then.
// `text` holds `len` bytes of whole lines (malloc'ed, grown as needed; a
// message that finds no memory is dropped, never half-written).
struct MessageBuf {
  char* text;
  std::size_t len;
  std::size_t cap;
};

// From now on error_msg on this thread appends to `into`; null: standard
// error again. error_exit and assert_fail always write to standard error.
void capture_messages(MessageBuf* into);

// Writes what `buf` holds to standard error and empties it (keeps its memory).
void print_messages(MessageBuf* buf);

// As error_msg, then ends the process with status 1 (stdout is flushed, no
// other teardown).
[[noreturn]] void error_exit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reports a broken internal invariant the way assert() does and aborts.
// Buffered standard output is flushed first so the report written so far is
// not lost.
[[noreturn]] void assert_fail(const char* text, const char* file, int line, const char* func);

}  // namespace zorv

// Unlike assert(), stays active when NDEBUG is defined (release builds).
// `text` is the condition as users see it in the message.
#define ZORV_ASSERT(cond, text) \
  ((cond) ? static_cast<void>(0) : ::zorv::assert_fail(text, __FILE_NAME__, __LINE__, __func__))
