// A status line for long runs: archives read, entries indexed, groups so
// far, directory bytes read, time, and with -c the member bytes checked.
//
// On a terminal the line sits on the screen's last row, below a scrolling
// region that holds everything else: messages and the report scroll above
// it untouched, whoever writes them, and the line is erased (the region
// given back) at the end, or when a signal (Ctrl-C, a closed pipe) or an
// error ends the run. Redrawn
// at most four times a second. Forced onto something that is not a
// terminal, it writes a plain line per redraw.
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
};

struct Progress;

// A status line on standard error: when `always`, or when not `never` and
// standard error is a terminal. Null when there is none (then the other
// calls do nothing).
Progress* progress_start(bool always, bool never);

// Redraws the line when a quarter of a second has passed since it was last
// drawn (or `now` is set).
void progress_update(Progress* p, const ProgressCounts& counts, bool now = false);

// Erases the line and gives the terminal back; releases `p`.
void progress_end(Progress* p);

}  // namespace zorv
