#include "message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

thread_local MessageBuf* captured = nullptr;

void append(MessageBuf* buf, const char* fmt, va_list args) {
  va_list again;
  va_copy(again, args);
  int body = std::vsnprintf(nullptr, 0, fmt, again);
  va_end(again);
  if (body < 0) return;
  std::size_t need = buf->len + 6 + static_cast<std::size_t>(body) + 2;  // prefix, NUL of vsnprintf
  if (need > buf->cap) {
    std::size_t cap = need > 2 * buf->cap ? need : 2 * buf->cap;
    auto* bigger = static_cast<char*>(std::realloc(buf->text, cap));
    if (bigger == nullptr) return;
    buf->text = bigger;
    buf->cap = cap;
  }
  char* at = buf->text + buf->len;
  std::memcpy(at, "zorv: ", 6);
  std::vsnprintf(at + 6, static_cast<std::size_t>(body) + 1, fmt, args);
  at[6 + body] = '\n';
  buf->len += 6 + static_cast<std::size_t>(body) + 1;
}

void vreport(const char* fmt, va_list args) {
  std::fputs("zorv: ", stderr);
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
}

}  // namespace

void error_msg(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  if (captured != nullptr) {
    append(captured, fmt, args);
  } else {
    vreport(fmt, args);
  }
  va_end(args);
}

void capture_messages(MessageBuf* into) {
  captured = into;
}

void print_messages(MessageBuf* buf) {
  if (buf->len > 0) std::fwrite(buf->text, 1, buf->len, stderr);
  buf->len = 0;
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
