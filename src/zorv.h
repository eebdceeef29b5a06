// The command line and the run driver: options, dispatch of every path to
// the indexer, the report and the release of everything.
#pragma once

namespace zorv {

constexpr int OPT_RECURSE = 1;  // -R: descend into subdirectories
constexpr int OPT_LIST = 2;     // -l: per-archive summary after the report
constexpr int OPT_SIZE = 4;     // -s: groups split by uncompressed size
constexpr int OPT_CONTENT = 8;  // -c: and by content (implies -s)

extern int option_flags;
// The first path word: the argv element itself (not a copy), found again by
// pointer identity when the run starts.
extern char* pStartDir;

// Prints the usage text and exits 0 when there are no arguments or on a
// lone "-"; exits 1 with a "command error, ..." message on a bad option.
// Returns after setting option_flags and pStartDir (null if no path came).
void parse_options(int argc, char** argv);

// The whole program; returns the exit status of a completed run.
int zorv_main(int argc, char** argv);

}  // namespace zorv
