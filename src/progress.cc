#include "progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zorv {

struct Progress {
  bool terminal;  // else a plain line per redraw
  int rows;
  int cols;
  double started;
  double drawn;  // when the line was last drawn
};

namespace {

constexpr double REDRAW_EVERY = 0.25;  // seconds

double seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// 1234567 -> "1.2 MB": the line stays short.
void bytes_text(std::uint64_t n, char* out, std::size_t cap) {
  static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1000 && u < 5) {
    v /= 1000;
    ++u;
  }
  std::snprintf(out, cap, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
}

// What gives the terminal back, for a signal or an exit that ends the run:
// a handler can reach nothing else. Written before the region is set; its
// length is 0 while no region is set.
char reset_sequence[64];
volatile sig_atomic_t reset_length = 0;

void reset_terminal() {
  if (reset_length == 0) return;
  ssize_t ignored = write(STDERR_FILENO, reset_sequence, static_cast<std::size_t>(reset_length));
  (void)ignored;
  reset_length = 0;
}

void give_back(int sig) {
  reset_terminal();
  raise(sig);  // SA_RESETHAND: now the default action ends the process
}

// Every signal that ends the run by default, a closed pipe and an abort (a
// failed assertion) included; an error that ends the run through exit() is
// covered by reset_terminal registered with atexit.
void on_signals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGABRT})
    sigaction(sig, &action, nullptr);
}

// Straight to the descriptor: stderr's stdio stream is unbuffered, but one
// write keeps the escape sequences and the text together.
void emit(const char* text, int len) {
  if (len <= 0) return;
  ssize_t ignored = write(STDERR_FILENO, text, static_cast<std::size_t>(len));
  (void)ignored;
}

}  // namespace

Progress* progress_start(bool always, bool never) {
  if (never) return nullptr;
  bool terminal = isatty(STDERR_FILENO) != 0;
  if (!terminal && !always) return nullptr;
  winsize size{};
  if (terminal && (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 3)) {
    if (!always) return nullptr;
    terminal = false;
  }
  auto* p = static_cast<Progress*>(std::malloc(sizeof(Progress)));
  if (p == nullptr) return nullptr;  // no status line: nothing else changes
  *p = Progress{terminal, size.ws_row, size.ws_col, seconds(), -1};
  if (terminal) {
    int length = std::snprintf(reset_sequence, sizeof reset_sequence,
                               "\0337\033[r\033[%d;1H\033[2K\0338", p->rows);
    reset_length = length;
    on_signals(give_back);
    std::atexit(reset_terminal);
    // A new line to make room, then everything but the last row scrolls:
    // save the cursor, set the region (which homes the cursor), restore it,
    // and step back onto the line it was on.
    char setup[64];
    int len = std::snprintf(setup, sizeof setup, "\n\0337\033[1;%dr\0338\033[1A", p->rows - 1);
    emit(setup, len);
  }
  return p;
}

void progress_update(Progress* p, const ProgressCounts& c, bool now) {
  if (p == nullptr) return;
  double t = seconds();
  if (!now && p->drawn >= 0 && t - p->drawn < REDRAW_EVERY) return;
  p->drawn = t;
  char dir[32];
  bytes_text(c.directory_bytes, dir, sizeof dir);
  char text[256];
  int len = std::snprintf(text, sizeof text,
                          "zorv: %" PRIu64 " archives, %" PRIu64 " entries, %" PRIu64
                          " groups, %s of directories, %.0f s",
                          c.archives, c.entries, c.groups, dir, t - p->started);
  if (c.check_bytes > 0 && len > 0 && static_cast<std::size_t>(len) < sizeof text) {
    char done[32];
    char total[32];
    bytes_text(c.checked_bytes, done, sizeof done);
    bytes_text(c.check_bytes, total, sizeof total);
    len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len),
                         ", checked %s of %s", done, total);
  }
  len = std::min<int>(len, static_cast<int>(sizeof text) - 1);
  if (!p->terminal) {
    text[len] = '\n';
    emit(text, len + 1);
    return;
  }
  if (p->cols > 1) len = std::min(len, p->cols - 1);  // never wraps
  char line[512];
  int n = std::snprintf(line, sizeof line, "\0337\033[%d;1H\033[2K%.*s\0338", p->rows, len, text);
  emit(line, n);
}

void progress_end(Progress* p) {
  if (p == nullptr) return;
  if (p->terminal) {
    reset_terminal();
    on_signals(SIG_DFL);
  }
  std::free(p);
}

}  // namespace zorv
