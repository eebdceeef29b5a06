#include "progress.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "report/sink.h"

namespace zorv {

// The lock serialises the drawing thread (progress_keep_drawing) and the
// run's own updates.
struct Progress {
  bool terminal = false;  // else a plain line per redraw
  int rows = 0;
  int cols = 0;
  double started = 0;
  double drawn = -1;  // when the line was last drawn
  ProgressCounts counts{};
  std::mutex lock;
  std::condition_variable wake;
  std::thread drawer;
  bool stopping = false;
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

// What gives the terminal back, for a signal or an exit that ends the run,
// and what sets it up again after a stop: a handler can reach nothing
// else. Written before the region is set; reset_length is 0 while no region
// is set.
char reset_sequence[64];
char setup_sequence[64];
int setup_length = 0;
std::atomic<int> reset_length{0};
std::atomic<int> saved_length{0};  // reset_length while stopped

void reset_terminal() {
  int len = reset_length.exchange(0);
  if (len == 0) return;
  ssize_t ignored = write(STDERR_FILENO, reset_sequence, static_cast<std::size_t>(len));
  (void)ignored;
}

void set_up_terminal(int len) {
  ssize_t ignored = write(STDERR_FILENO, setup_sequence, static_cast<std::size_t>(setup_length));
  (void)ignored;
  reset_length = len;
}

constexpr int END_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// The status line's own: a closed pipe and an abort (a failed assertion)
// end the run, Ctrl-Z stops it; an error that ends the run through exit()
// is covered by reset_terminal registered with atexit.
constexpr int LINE_SIGNALS[] = {SIGPIPE, SIGABRT, SIGTSTP};

bool ignored_now(int sig) {
  struct sigaction now {};
  return sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

// Installs `handler` for `sig` unless the run started with it ignored:
// whoever started the run asked for that (nohup, `&` in a script).
void catch_signal(int sig, void (*handler)(int), int flags) {
  if (ignored_now(sig)) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  for (int end : END_SIGNALS)
    sigaddset(&action.sa_mask, end);  // one handler at a time
  sigaction(sig, &action, nullptr);
}

// Takes the signal's default action now, unblocked inside its handler.
void raise_default(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, sig);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  raise(sig);
}

// The signal's default action, now: the terminal given back first.
void end_now(int sig) {
  reset_terminal();
  raise_default(sig);
}

// Not SA_RESTART: a write to a stalled pipe must return, so that the
// writer sees the signal and stops at a line's end.
void on_end_signal(int sig) {
  if (out_defer_signal(sig)) return;
  end_now(sig);
}

void on_line_signal(int sig) {
  end_now(sig);
}

// Ctrl-Z: the region and the line go before the run stops (the shell gets
// its whole screen), and come back when it goes on.
void on_stop(int) {
  int saved_errno = errno;
  int len = reset_length;
  reset_terminal();
  raise_default(SIGTSTP);  // stops here until SIGCONT
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, SIGTSTP);
  sigprocmask(SIG_BLOCK, &just, nullptr);
  catch_signal(SIGTSTP, on_stop, SA_RESTART);
  if (len != 0) set_up_terminal(len);
  errno = saved_errno;
}

// What the status line's signals did before it took them.
struct sigaction line_before[std::size(LINE_SIGNALS)];

void catch_line_signals() {
  for (std::size_t i = 0; i < std::size(LINE_SIGNALS); ++i)
    sigaction(LINE_SIGNALS[i], nullptr, &line_before[i]);
  catch_signal(SIGPIPE, on_line_signal, 0);
  catch_signal(SIGABRT, on_line_signal, 0);
  catch_signal(SIGTSTP, on_stop, SA_RESTART);
}

void release_line_signals() {
  for (std::size_t i = 0; i < std::size(LINE_SIGNALS); ++i)
    sigaction(LINE_SIGNALS[i], &line_before[i], nullptr);
}

// Straight to the descriptor: stderr's stdio stream is unbuffered, but one
// write keeps the escape sequences and the text together.
void emit(const char* text, int len) {
  if (len <= 0) return;
  ssize_t ignored = write(STDERR_FILENO, text, static_cast<std::size_t>(len));
  (void)ignored;
}

// Draws the line when a quarter of a second has passed since it was last
// drawn (or `now`): with p->lock held. Not while the terminal is given back
// (stopped, or ended).
void draw(Progress* p, bool now) {
  double t = seconds();
  if (!now && p->drawn >= 0 && t - p->drawn < REDRAW_EVERY) return;
  if (p->terminal && reset_length == 0) return;
  p->drawn = t;
  const ProgressCounts& c = p->counts;
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
  if (c.cached > 0 && len > 0 && static_cast<std::size_t>(len) < sizeof text) {
    len += std::snprintf(text + len, sizeof text - static_cast<std::size_t>(len),
                         ", %" PRIu64 " from the cache", c.cached);
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

void keep_drawing(Progress* p) {
  std::unique_lock<std::mutex> hold(p->lock);
  while (!p->stopping) {
    double wait = std::max(0.01, p->drawn + REDRAW_EVERY - seconds());
    p->wake.wait_for(hold, std::chrono::duration<double>(wait));
    if (!p->stopping) draw(p, false);
  }
}

}  // namespace

void catch_end_signals() {
  for (int sig : END_SIGNALS)
    catch_signal(sig, on_end_signal, 0);
}

Progress* progress_start(bool always, bool never) {
  if (never) return nullptr;
  bool terminal = isatty(STDERR_FILENO) != 0;
  if (!terminal && !always) return nullptr;
  winsize size{};
  if (terminal && (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row < 3)) {
    if (!always) return nullptr;
    terminal = false;
  }
  auto* p = new (std::nothrow) Progress;
  if (p == nullptr) return nullptr;  // no status line: nothing else changes
  p->terminal = terminal;
  p->rows = size.ws_row;
  p->cols = size.ws_col;
  p->started = seconds();
  if (terminal) {
    int length = std::snprintf(reset_sequence, sizeof reset_sequence,
                               "\0337\033[r\033[%d;1H\033[2K\0338", p->rows);
    // A new line to make room, then everything but the last row scrolls:
    // save the cursor, set the region (which homes the cursor), restore it,
    // and step back onto the line it was on.
    setup_length = std::snprintf(setup_sequence, sizeof setup_sequence,
                                 "\n\0337\033[1;%dr\0338\033[1A", p->rows - 1);
    reset_length = length;
    catch_line_signals();
    std::atexit(reset_terminal);
    emit(setup_sequence, setup_length);
  }
  return p;
}

void progress_update(Progress* p, const ProgressCounts& c, bool now) {
  if (p == nullptr) return;
  std::lock_guard<std::mutex> hold(p->lock);
  p->counts = c;
  draw(p, now);
}

// The thread takes no signal: they reach the run's own threads, which
// know what is under way.
void progress_keep_drawing(Progress* p) {
  if (p == nullptr || p->drawer.joinable()) return;
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  try {
    p->drawer = std::thread(keep_drawing, p);
  } catch (const std::system_error&) {
    // no thread: the line is drawn when counts come, as before
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void check_tally_add(CheckTally* t, std::uint64_t done, std::uint64_t total) {
  bool same = done == t->round_done && total == t->round_total;
  if (!same && (done < t->round_done || total != t->round_total || t->round_done == t->round_total))
    t->before += t->round_total;
  t->round_done = done;
  t->round_total = total;
  t->done = t->before + done;
  t->total = t->before + total;
}

void progress_end(Progress* p) {
  if (p == nullptr) return;
  if (p->drawer.joinable()) {
    {
      std::lock_guard<std::mutex> hold(p->lock);
      p->stopping = true;
    }
    p->wake.notify_one();
    p->drawer.join();
  }
  if (p->terminal) {
    reset_terminal();
    release_line_signals();
  }
  delete p;
}

}  // namespace zorv
