#include "zorv.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fs/scandir.h"
#include "get_option.h"
#include "index.h"
#include "message.h"
#include "progress.h"
#include "report.h"
#include "report_json.h"
#include "report_sink.h"
#include "zip/readahead.h"
#include "zip/zipdir.h"

namespace zorv {

int option_flags = 0;
int option_jobs = 0;
char* pStartDir = nullptr;

namespace {

constexpr const char* ARCHIVE_EXT = ".zip";

// Opens and reads in flight at once unless -j says otherwise: enough to
// hide a network share's or a cold disk's waits (see bench/README.md).
constexpr unsigned DEFAULT_JOBS = 32;
constexpr int MAX_JOBS = 256;

const char* const usage_text[] = {
    "zorv, ver 1.03",
    "",
    "Usage: zorv [options]  <directory list/filenames>",
    "Options are:",
    "-R      process subdirectories Recursivly",
    "-l      after the report, each archive's entries and how many have a copy",
    "-s      split each group by file size",
    "-c      confirm each group by content: reads the data (implies -s)",
    "-j N    N archives opened and read at once (default 32; 1: one at a time)",
    "--recursive          the same as -R",
    "--list               the same as -l",
    "--size               the same as -s",
    "--content            the same as -c",
    "--jobs=N             the same as -j N",
    "--format=text|jsonl  the report as text (the default) or as JSON Lines",
    "--summary            after the report, one line of totals",
    "--exit-status        exit with 2 when a group was printed, 0 when none",
    "--progress=WHEN      a status line on standard error: auto (on a terminal), always, never",
    "--help               this text",
    "--version            the version line",
    "--                   ends the options: the next word is a path",
};

// Options that have no letter, each a code of its own.
constexpr int LONG_HELP = 1000;
constexpr int LONG_VERSION = 1001;
constexpr int LONG_FORMAT = 1002;
constexpr int LONG_SUMMARY = 1003;
constexpr int LONG_EXIT_STATUS = 1004;
constexpr int LONG_PROGRESS = 1005;

// The value of -j: a whole number from 1 to MAX_JOBS.
int jobs_value(const char* value) {
  char* end = nullptr;
  errno = 0;
  long n = value != nullptr ? std::strtol(value, &end, 10) : 0;
  if (value == nullptr || end == value || *end != '\0' || errno != 0 || n < 1 || n > MAX_JOBS)
    error_exit("command error, jobs must be a number from 1 to %d: '%s'. Type 'zorv --help' for help",
               MAX_JOBS, value != nullptr ? value : "");
  return static_cast<int>(n);
}

struct LongOption {
  const char* name;
  int code;  // the letter of the short form, or a LONG_ code
  bool takes_value;
};

constexpr LongOption long_options[] = {
    {"recursive", 'R', false},
    {"list", 'l', false},
    {"size", 's', false},
    {"content", 'c', false},
    {"jobs", 'j', true},
    {"format", LONG_FORMAT, true},
    {"summary", LONG_SUMMARY, false},
    {"exit-status", LONG_EXIT_STATUS, false},
    {"progress", LONG_PROGRESS, true},
    {"help", LONG_HELP, false},
    {"version", LONG_VERSION, false},
};

// Standard output is buffered: a write that failed (a full disk, a closed
// descriptor) shows only here. A report that was not written whole must not
// end as a successful run. `failed`: the errno of a write that failed
// earlier (0: none), whose reason the message gives.
void finish_output(int failed) {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || failed != 0) {
    int err = failed != 0 ? failed : errno;
    error_exit("error writing standard output: %s", err != 0 ? std::strerror(err) : "write error");
  }
}

[[noreturn]] void usage() {
  for (const char* line : usage_text)
    std::printf("%s\n", line);
  finish_output(0);
  std::exit(0);
}

[[noreturn]] void version() {
  std::printf("%s\n", usage_text[0]);
  finish_output(0);
  std::exit(0);
}

// Applies one option, by the letter of its short form or its LONG_ code.
void apply(int code, const char* value) {
  switch (code) {
    case 'R':
      option_flags |= OPT_RECURSE;
      break;
    case 'l':
      option_flags |= OPT_LIST;
      break;
    case 's':
      option_flags |= OPT_SIZE;
      break;
    case 'c':
      option_flags |= OPT_CONTENT | OPT_SIZE;
      break;
    case 'j':
      option_jobs = jobs_value(value);
      break;
    case LONG_HELP:
      usage();
    case LONG_VERSION:
      version();
    case LONG_SUMMARY:
      option_flags |= OPT_SUMMARY;
      break;
    case LONG_EXIT_STATUS:
      option_flags |= OPT_EXIT_STATUS;
      break;
    case LONG_FORMAT:
      option_flags &= ~OPT_JSONL;
      if (std::strcmp(value, "jsonl") == 0) {
        option_flags |= OPT_JSONL;
      } else if (std::strcmp(value, "text") != 0) {
        error_exit("command error, unknown format '%s'. Type 'zorv --help' for help", value);
      }
      break;
    case LONG_PROGRESS:
      option_flags &= ~(OPT_PROGRESS_ALWAYS | OPT_PROGRESS_NEVER);
      if (std::strcmp(value, "always") == 0) {
        option_flags |= OPT_PROGRESS_ALWAYS;
      } else if (std::strcmp(value, "never") == 0) {
        option_flags |= OPT_PROGRESS_NEVER;
      } else if (std::strcmp(value, "auto") != 0) {
        error_exit("command error, unknown progress '%s'. Type 'zorv --help' for help", value);
      }
      break;
    default:
      error_exit("internal error, option '%c' not handled in switch",
                 static_cast<unsigned char>(code));
  }
}

// "--name" or "--name=value" (the word after its "--").
void take_long_option(const char* word) {
  const char* equals = std::strchr(word, '=');
  std::size_t len = equals != nullptr ? static_cast<std::size_t>(equals - word) : std::strlen(word);
  for (const LongOption& o : long_options) {
    if (std::strlen(o.name) != len || std::strncmp(o.name, word, len) != 0) continue;
    if (o.takes_value && equals == nullptr)
      error_exit("command error, the '--%s' option requires an argument", o.name);
    if (!o.takes_value && equals != nullptr)
      error_exit("command error, the '--%s' option takes no argument", o.name);
    apply(o.code, equals != nullptr ? equals + 1 : nullptr);
    return;
  }
  error_exit("command error, unknown option '--%.*s'. Type 'zorv' by itself for help",
             static_cast<int>(len), word);
}

// What one run holds: the index it fills, the archives opened ahead of it
// and the reader's buffer handed from archive to archive.
struct Run {
  Index* ix;
  ZipCache cache;
  Readahead* ahead;
  Progress* progress;  // null: no status line
};

ProgressCounts counts_of(const Index* ix) {
  auto groups = ix->DupeTree != nullptr ? ix->DupeTree->count : 0;  // gone once reported
  return ProgressCounts{static_cast<std::uint64_t>(ix->FileTree->count),
                        ix->entries_read,
                        static_cast<std::uint64_t>(groups),
                        ix->directory_bytes,
                        0,
                        0};
}

// Indexes the oldest archive asked for, saying what a serial run would have
// said at this point: what the scanner's spared status call would have
// found, that it is a file seen under another path, or why it could not be
// opened.
void index_next(Run& run) {
  Ahead* a = readahead_take(run.ahead);
  FileId id{a->id.dev, a->id.ino};
  if (a->status_errno != 0) {
    scan_status_warning(a->path, a->status_errno);
  } else if (a->skip || (a->has_id && same_file_elsewhere(run.ix, a->path, id))) {
    // passed over
  } else if (a->zd != nullptr) {
    index_zip(run.ix, a->path, id, std::exchange(a->zd, nullptr));
  } else {
    print_messages(&a->messages);
  }
  readahead_release(run.ahead);
  if (run.progress != nullptr) progress_update(run.progress, counts_of(run.ix));
}

// Indexes every archive asked for: before anything else is written.
void index_pending(void* ctx) {
  auto* run = static_cast<Run*>(ctx);
  while (readahead_pending(run->ahead) > 0)
    index_next(*run);
}

// Asks for one more archive, indexing the oldest first when the window is
// full. `st` null: the scanner's listing said it is a regular file.
int index_archive(const char* path, const struct stat* st, void* ctx) {
  auto* run = static_cast<Run*>(ctx);
  if (readahead_full(run->ahead)) index_next(*run);
  if (!readahead_submit(run->ahead, path, st, st == nullptr))
    error_exit("internal error, index_archive, out of memory");
  return 0;
}

void show_check(void* ctx, std::uint64_t done, std::uint64_t total) {
  auto* run = static_cast<Run*>(ctx);
  ProgressCounts counts = counts_of(run->ix);
  counts.checked_bytes = done;
  counts.check_bytes = total;
  progress_update(run->progress, counts);
}

// Sends one command-line path to the indexer or the directory scanner. Only
// a regular file with the archive extension is an archive.
void dispatch(Run& run, char* arg) {
  for (char* p = arg; *p != '\0'; ++p) {
    if (*p == '\\') *p = '/';
  }
  struct stat st;
  if (stat(arg, &st) == 0 && S_ISREG(st.st_mode)) {
    if (has_ext(arg, ARCHIVE_EXT)) index_archive(arg, &st, &run);
    return;
  }
  scandir(arg, ARCHIVE_EXT, index_archive, &run, option_flags, index_pending);
}

ReportSplit split_option() {
  if ((option_flags & OPT_CONTENT) != 0) return ReportSplit::Content;
  if ((option_flags & OPT_SIZE) != 0) return ReportSplit::Size;
  return ReportSplit::None;
}

// The report, then the -l summary and the totals; returns the exit status.
// Once the report has copied the groups out, nothing reads them but -l's
// count of a plain report (a split report counts what it prints): they go
// back before the names are fetched, and the report's names reuse their
// memory.
int report(Run& run) {
  bool list = (option_flags & OPT_LIST) != 0;
  bool jsonl = (option_flags & OPT_JSONL) != 0;
  ReportSplit split = split_option();
  bool counted = split != ReportSplit::None;
  TextSink text((option_flags & OPT_SUMMARY) != 0, isatty(STDOUT_FILENO) != 0);
  JsonSink json;
  ReportSink* sink = jsonl ? static_cast<ReportSink*>(&json) : &text;
  ReportOptions options{REPORT_LIMITS,
                        split,
                        list && counted ? run.ix : nullptr,
                        jsonl || (option_flags & OPT_SUMMARY) != 0,
                        jsonl,
                        run.progress != nullptr ? show_check : nullptr,
                        &run,
                        run.ahead};
  Report* report = report_gather(run.ix, options, sink, &run.cache);
  if (!list || counted) {
    release_groups(run.ix);
    malloc_trim(0);
  }
  ReportStats stats{};
  if (!report_print(report, &stats)) {
    sink->flush();
    progress_end(std::exchange(run.progress, nullptr));
    error_exit("internal error, unable to match cd_pos & crc32: %s", stats.unmatched);
  }
  if (list) print_archive_summary(run.ix, sink, &run.cache, counted, run.ahead);
  sink->summary(stats.totals);
  progress_end(std::exchange(run.progress, nullptr));
  finish_output(sink->flush());
  return (option_flags & OPT_EXIT_STATUS) != 0 && stats.totals.groups > 0 ? 2 : 0;
}

// The archives' opens and reads run ahead on `option_jobs` threads; when
// the system grants none, one at a time, as the run needs them.
Readahead* start_ahead(ZipCache* cache) {
  unsigned jobs = option_jobs > 0 ? static_cast<unsigned>(option_jobs) : DEFAULT_JOBS;
  AheadLimits limits = ahead_limits(jobs);
  // The tests' way to run the threads on a fast local disk too.
  if (std::getenv("ZORV_TEST_READAHEAD_ALWAYS") != nullptr) limits.slow_ns = 0;
  Readahead* ahead = readahead_start(limits, cache);
  if (ahead == nullptr) ahead = readahead_start(ahead_limits(1), cache);
  if (ahead == nullptr) error_exit("internal error, readahead_start, out of memory");
  return ahead;
}

int run(int argc, char** argv) {
  Run run{create_indexes(), ZipCache{}, nullptr,
          progress_start((option_flags & OPT_PROGRESS_ALWAYS) != 0,
                         (option_flags & OPT_PROGRESS_NEVER) != 0)};
  run.ahead = start_ahead(&run.cache);
  int first = 0;
  while (first < argc && argv[first] != pStartDir)
    ++first;
  if (first == argc) error_exit("internal error, unable to match pStartDir with argv");
  errno = 0;
  for (int i = first; i < argc; ++i)
    dispatch(run, argv[i]);
  index_pending(&run);
  // The report needs the groups, not the CRC-32 index: its nodes go back
  // before the report allocates, which keeps the peak memory down.
  progress_update(run.progress, counts_of(run.ix), true);
  finish_indexing(run.ix);
  malloc_trim(0);
  int status = report(run);
  progress_end(run.progress);
  readahead_stop(run.ahead);
  release_indexes(run.ix);
  zip_cache_release(&run.cache);
  finish_output(0);
  return status;
}

}  // namespace

void parse_options(int argc, char** argv) {
  if (argc <= 1) usage();
  for (;;) {
    // Words that begin "--" are long options, between the short ones.
    if (*opt_next == '\0' && opt_index < argc && std::strncmp(argv[opt_index], "--", 2) == 0) {
      const char* word = argv[opt_index++] + 2;
      if (*word != '\0') {
        take_long_option(word);
        continue;
      }
      if (opt_index < argc) pStartDir = argv[opt_index];  // "--": the next word is a path
      return;
    }
    int c = get_option(argc, argv, "|Rlscj:");
    auto shown = static_cast<unsigned char>(opt_char);
    switch (c) {
      case OPT_END:
        return;
      case OPT_UNKNOWN:
        error_exit("command error, unknown option '%c'. Type 'zorv' by itself for help", shown);
      case OPT_LONE_HYPHEN:
        usage();
      case OPT_NEEDS_ARG:
        error_exit("command error, the '%c' option requires an argument", shown);
      case OPT_WORD:
        error_exit("command error, unknown option '%c'. Type 'zorv' by itself for help",
                   static_cast<unsigned char>(opt_arg[0]));
      case OPT_WORD_BAR:
        pStartDir = opt_arg;
        return;
      default:
        apply(c, opt_arg);
    }
  }
}

int zorv_main(int argc, char** argv) {
  // A report can run to millions of lines: write it in large blocks when it
  // goes to a file or a pipe (a terminal keeps its line buffering).
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, std::size_t{1} << 16);
  parse_options(argc, argv);
  if (pStartDir == nullptr) error_exit("command error, missing directory");
  return run(argc, argv);
}

}  // namespace zorv
