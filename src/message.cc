#include "message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace zorv {

namespace {

void vreport(const char* fmt, va_list args) {
  std::fputs("zorv: ", stderr);
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
}

}  // namespace

void error_msg(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vreport(fmt, args);
  va_end(args);
}

void error_exit(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vreport(fmt, args);
  va_end(args);
  std::exit(1);
}

void assert_fail(const char* text, const char* file, int line, const char* func) {
  std::fflush(stdout);
  std::fprintf(stderr, "zorv: %s:%d: %s: Assertion `%s' failed.\n", file, line, func, text);
  std::abort();
}

}  // namespace zorv
