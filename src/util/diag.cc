#include "util/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

constexpr const char PREFIX[] = "zorv: ";
constexpr std::size_t PREFIX_LEN = sizeof PREFIX - 1;

bool reserve(MessageBuf* buf, std::size_t need) {
  if (need <= buf->cap) return true;
  std::size_t cap = need > 2 * buf->cap ? need : 2 * buf->cap;
  auto* bigger = static_cast<char*>(std::realloc(buf->text, cap));
  if (bigger == nullptr) return false;
  buf->text = bigger;
  buf->cap = cap;
  return true;
}

void append(MessageBuf* buf, const char* prefix, std::size_t prefix_len, const char* fmt,
            va_list args) {
  va_list again;
  va_copy(again, args);
  int body = std::vsnprintf(nullptr, 0, fmt, again);
  va_end(again);
  if (body < 0) return;
  auto len = static_cast<std::size_t>(body);
  // The prefix, the text, its newline and the NUL vsnprintf writes.
  if (!reserve(buf, buf->len + prefix_len + len + 2)) return;
  char* at = buf->text + buf->len;
  std::memcpy(at, prefix, prefix_len);
  std::vsnprintf(at + prefix_len, len + 1, fmt, args);
  at[prefix_len + len] = '\n';
  buf->len += prefix_len + len + 1;
}

void write_line(const char* prefix, const char* fmt, va_list args) {
  std::fputs(prefix, stderr);
  std::vfprintf(stderr, fmt, args);
  std::fputc('\n', stderr);
}

void vsay(Diag* diag, const char* prefix, std::size_t prefix_len, const char* fmt, va_list args) {
  if (diag == nullptr) return;
  if (diag->keep != nullptr) {
    append(diag->keep, prefix, prefix_len, fmt, args);
    return;
  }
  if (diag->before != nullptr) diag->before(diag->ctx);
  write_line(prefix, fmt, args);
}

}  // namespace

void say(Diag* diag, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vsay(diag, PREFIX, PREFIX_LEN, fmt, args);
  va_end(args);
}

void say_bare(Diag* diag, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vsay(diag, "", 0, fmt, args);
  va_end(args);
}

void hand_on(MessageBuf* kept, Diag* to) {
  if (kept->len == 0) return;
  if (to != nullptr && to->keep != nullptr) {
    if (reserve(to->keep, to->keep->len + kept->len)) {
      std::memcpy(to->keep->text + to->keep->len, kept->text, kept->len);
      to->keep->len += kept->len;
    }
  } else if (to != nullptr) {
    if (to->before != nullptr) to->before(to->ctx);
    std::fwrite(kept->text, 1, kept->len, stderr);
  }
  kept->len = 0;
}

void message_buf_free(MessageBuf* buf) {
  std::free(buf->text);
  *buf = MessageBuf{};
}

void error_exit(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  write_line(PREFIX, fmt, args);
  va_end(args);
  std::exit(1);
}

void bare_exit(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  write_line("", fmt, args);
  va_end(args);
  std::exit(1);
}

void assert_fail(const char* text, const char* file, int line, const char* func) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s%s:%d: %s: Assertion `%s' failed.\n", PREFIX, file, line, func, text);
  std::abort();
}

}  // namespace zorv
