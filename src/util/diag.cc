#include "util/diag.h"

#include <unistd.h>

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

// Standard error's bytes through show_controls, `keep_newlines` leaving
// line ends as they are; a stack buffer at a time, so a long line needs no
// memory.
void put_shown(const char* text, std::size_t len, bool keep_newlines) {
  char shown[4096];
  std::size_t used = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (used > sizeof shown - 4) {
      std::fwrite(shown, 1, used, stderr);
      used = 0;
    }
    if (keep_newlines && text[i] == '\n') {
      shown[used++] = '\n';
    } else {
      used = static_cast<std::size_t>(show_controls(shown + used, text + i, 1) - shown);
    }
  }
  std::fwrite(shown, 1, used, stderr);
}

// On a terminal the formatted line is escaped whole (its newline is not):
// a name or path in it must not reach the terminal as control bytes. A line
// longer than the stack buffer takes memory for itself; without it, the
// line is cut at the buffer's size rather than shown raw.
void write_shown(const char* prefix, const char* fmt, va_list args) {
  char small[4096];
  va_list again;
  va_copy(again, args);
  int body = std::vsnprintf(small, sizeof small, fmt, again);
  va_end(again);
  if (body < 0) return;
  auto len = static_cast<std::size_t>(body);
  char* text = small;
  if (len >= sizeof small) {
    text = static_cast<char*>(std::malloc(len + 1));
    if (text != nullptr) {
      std::vsnprintf(text, len + 1, fmt, args);
    } else {
      text = small;
      len = sizeof small - 1;
    }
  }
  put_shown(prefix, std::strlen(prefix), false);
  put_shown(text, len, false);
  std::fputc('\n', stderr);
  if (text != small) std::free(text);
}

void write_line(const char* prefix, const char* fmt, va_list args) {
  if (isatty(STDERR_FILENO) != 0) {
    write_shown(prefix, fmt, args);
    return;
  }
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
    // Where one kept line ends is no longer known: a newline inside one
    // stays a line break, every other control byte is shown escaped.
    if (isatty(STDERR_FILENO) != 0 && has_control(kept->text, kept->len)) {
      put_shown(kept->text, kept->len, true);
    } else {
      std::fwrite(kept->text, 1, kept->len, stderr);
    }
  }
  kept->len = 0;
}

bool has_control(const char* text, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

char* show_controls(char* out, const char* text, std::size_t len) {
  static const char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < len; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7f) {
      *out++ = static_cast<char>(c);
    } else if (c == '\n' || c == '\t') {
      *out++ = '\\';
      *out++ = c == '\n' ? 'n' : 't';
    } else {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex[c >> 4];
      *out++ = hex[c & 0xf];
    }
  }
  return out;
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
