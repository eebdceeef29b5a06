// A status line for long runs: archives read, entries indexed, groups so
// far, directory bytes read, time, and with -c the member bytes checked
// and the members the cache gave.
//
// On a terminal the line sits on the screen's last row, below a scrolling
// region that holds everything else: messages and the report scroll above
// it untouched, whoever writes them, and the line is erased (the region
// given back) at the end, or when a signal (Ctrl-C, a closed pipe) or an
// error ends the run. Ctrl-Z gives the terminal back too before the run
// stops, and the line is set up again when it goes on. Redrawn at most
// four times a second. Forced onto something that is not a terminal, it
// writes a plain line per redraw.
#pragma once

#include <cstdint>

namespace zorv {

struct ProgressCounts {
  std::uint64_t archives;
  std::uint64_t entries;
  std::uint64_t groups;
  std::uint64_t directory_bytes;
  std::uint64_t checked_bytes;  // -c: member data checked so far
  std::uint64_t check_bytes;    // -c: of this many (0: no check under way)
  std::uint64_t cached;         // -c --cache: members taken from the cache
};

struct Progress;

// Catches the signals that end a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT) for
// the rest of it: one that comes while standard output is being written
// waits for the end of the line under way (report/sink.h); then, or at
// once, the status line is given back and the signal ends the run as its
// default action does. A signal ignored when the run started (nohup, a
// background job of a script) stays ignored; so it does with the status
// line's own signals.
void catch_end_signals();

// A status line on standard error: when `always`, or when not `never` and
// standard error is a terminal. Null when there is none (then the other
// calls do nothing).
Progress* progress_start(bool always, bool never);

// Redraws the line when a quarter of a second has passed since it was last
// drawn (or `now` is set).
void progress_update(Progress* p, const ProgressCounts& counts, bool now = false);

// Redraws the line four times a second from a thread of its own, with the
// counts last given, until progress_end: for a phase whose counts come
// rarely (-c's checker reports when a job of up to 16 MiB is done).
void progress_keep_drawing(Progress* p);

// -c's bytes checked and to check over the whole report. The checker counts
// each round of checks from 0, of that round's total; the tally adds the
// rounds up, so that what the line shows never goes back.
struct CheckTally {
  std::uint64_t done;    // bytes checked, rounds before included
  std::uint64_t total;   // of this many
  std::uint64_t before;  // what the rounds before the current one checked
  std::uint64_t round_done;
  std::uint64_t round_total;
};

// One report from the checker: `done` bytes of the current round's `total`.
// A round's last report comes twice (from its last job, then at its end);
// a report that goes back, or has another total, begins a new round.
void check_tally_add(CheckTally* t, std::uint64_t done, std::uint64_t total);

// Erases the line and gives the terminal back; releases `p`.
void progress_end(Progress* p);

}  // namespace zorv
