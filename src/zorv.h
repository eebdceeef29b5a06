// The command line and the run driver: options, dispatch of every path to
// the indexer, the report and the release of everything.
#pragma once

#include <string>
#include <vector>

namespace zorv {

enum class Format { Text, Jsonl };
enum class ProgressWhen { Auto, Always, Never };

// What the command line asks for: a value the run reads, never a global.
struct Options {
  bool recurse = false;      // -R: descend into subdirectories
  bool list = false;         // -l: per-archive summary after the report
  bool size = false;         // -s: groups split by uncompressed size
  bool content = false;      // -c: and by content (sets size too)
  bool summary = false;      // --summary: a line of totals after the report
  bool exit_status = false;  // --exit-status: 2 when a group was printed
  Format format = Format::Text;
  ProgressWhen progress = ProgressWhen::Auto;
  int jobs = 0;        // -j: archives opened and read at once (0: the default)
  // The suffixes of archives' names, each with its dot, in lower case and
  // each once: ".zip", and what --ext and --known-exts add.
  std::vector<std::string> exts{".zip"};
  bool any_name = false;  // --any-name: also every file whose end record says ZIP
  bool nested = false;    // --nested: members that are archives are indexed too
  bool cache = false;       // --cache: -c keeps its outcomes between runs
  std::string cache_path;   // --cache=FILE (empty: the default place)
  bool cache_prune = false; // --cache-prune: the cache drops what is long unseen
  std::string files_from;   // --files-from=FILE: more paths, listed in FILE ("-": stdin)
  bool null = false;        // --null: the list's paths end at a NUL, not a newline
  // The modes of a cluster run (cluster/): the keys of the paths written
  // into a directory, in `partitions` parts; keys met and reduced to
  // places; places read again; groups printed. Empty: not that mode.
  std::string keys;          // --keys=DIR
  unsigned partitions = 0;   // --partitions=P (0: not given; 1 then)
  std::string reduce;        // --reduce=FILE ("-": stdin)
  std::string resolve;       // --resolve=FILE ("-": stdin)
  std::string print_groups;  // --print-groups=FILE ("-": stdin)
  int first_path = 0;  // argv index of the first path; 0: none came
};

// Prints the usage text and exits 0 when there are no arguments, on a lone
// "-" or on --help (--version: the version line); exits 1 with a "command
// error, ..." message on a bad option. Otherwise returns the options, the
// paths being argv[first_path] to the end, then those the --files-from
// list gives. "--" ends the options: the next word is the first path,
// whatever it looks like.
Options parse_options(int argc, char** argv);

// The whole program; returns the exit status of a completed run.
int zorv_main(int argc, char** argv);

}  // namespace zorv
