// The command line and the run driver: options, dispatch of every path to
// the indexer, the report and the release of everything.
#pragma once

namespace zorv {

constexpr int OPT_RECURSE = 1;            // -R: descend into subdirectories
constexpr int OPT_LIST = 2;               // -l: per-archive summary after the report
constexpr int OPT_SIZE = 4;               // -s: groups split by uncompressed size
constexpr int OPT_CONTENT = 8;            // -c: and by content (implies -s)
constexpr int OPT_SUMMARY = 16;           // --summary: a line of totals after the report
constexpr int OPT_EXIT_STATUS = 32;       // --exit-status: 2 when a group was printed
constexpr int OPT_JSONL = 64;             // --format=jsonl
constexpr int OPT_PROGRESS_ALWAYS = 128;  // --progress=always
constexpr int OPT_PROGRESS_NEVER = 256;   // --progress=never

extern int option_flags;
// -j: archives opened and read at once (0: the default).
extern int option_jobs;
// The first path word: the argv element itself (not a copy), found again by
// pointer identity when the run starts.
extern char* pStartDir;

// Prints the usage text and exits 0 when there are no arguments, on a lone
// "-" or on --help (--version: the version line); exits 1 with a "command
// error, ..." message on a bad option. Returns after setting option_flags
// and pStartDir (null if no path came). "--" ends the options: the next
// word is the first path, whatever it looks like.
void parse_options(int argc, char** argv);

// The whole program; returns the exit status of a completed run.
int zorv_main(int argc, char** argv);

}  // namespace zorv
