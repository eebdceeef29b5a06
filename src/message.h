// The program's two message routines and its always-on assertion.
//
// A leaf unit: the reader, the indexes and the driver all report through it
// without knowing one another.
#pragma once

namespace zorv {

// Writes "zorv: ", the formatted message and "\n" to standard error.
void error_msg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

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
