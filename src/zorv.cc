#include "zorv.h"

#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "cluster/groups.h"
#include "cluster/keys.h"
#include "cluster/reduce.h"
#include "cluster/resolve.h"
#include "fs/pathlist.h"
#include "fs/scandir.h"
#include "get_option.h"
#include "index.h"
#include "nest.h"
#include "progress.h"
#include "report/json.h"
#include "report/report.h"
#include "report/revisit.h"
#include "report/sink.h"
#include "util/diag.h"
#include "util/rbtree.h"
#include "zip/readahead.h"
#include "zip/verify.h"
#include "zip/zipdir.h"

namespace zorv {

namespace {

// The formats built on ZIP that people keep most, by the suffix of their
// names: Java and Android packages, Python's, .NET's, editors' and
// browsers' add-ons, office documents (OOXML and OpenDocument), e-books,
// comic books, Google Earth's and Windows' packages.
constexpr const char* KNOWN_EXTS[] = {
    "aar",  "apk",  "appx", "cbz",  "docm", "docx", "dotx",  "ear",  "egg",  "epub",
    "ipa",  "jar",  "jmod", "kmz",  "msix", "nupkg", "odg",  "odp",  "ods",  "odt",
    "otp",  "ots",  "ott",  "pptm", "pptx", "vsix", "war",   "whl",  "xlsm", "xlsx",
    "xpi",
};

// Opens and reads in flight at once unless -j says otherwise: enough to
// hide a network share's or a cold disk's waits (see bench/README.md).
constexpr unsigned DEFAULT_JOBS = 32;
constexpr int MAX_JOBS = 256;
// -c's readers on slow storage: eight keep the member data the checker
// holds within its bound for all threads together (see zip/verify.cc).
constexpr unsigned CHECK_THREADS_MAX = 8;

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
    "--ext=EXT[,EXT...]   also archives: names ending in .EXT (any case; may be repeated)",
    "--known-exts         also archives: jar, war, apk, whl, docx, odt, epub and the other",
    "                     well-known formats built on ZIP (see the manual page)",
    "--any-name           also archives: every other regular file whose end record says so",
    "--nested             also index the archives stored in archives, as <archive>!/<member>",
    "--cache[=FILE]       -c keeps what it read in FILE (default ~/.cache/zorv/cache.sqlite)",
    "                     and takes it back while an archive is unchanged",
    "--no-cache           no cache, whatever came before",
    "--cache-prune        the cache drops archives unseen for 30 days or gone (no PATH: only that)",
    "--files-from=FILE    also the paths listed in FILE, one a line (-: standard input)",
    "--null               the --files-from list's paths end with a NUL (find -print0)",
    "--keys=DIR           a cluster's first pass: no report, the keys written into DIR",
    "--partitions=N       --keys: in N parts (1 to 256; default 1)",
    "--reduce=FILE        a cluster's shuffle: FILE's keys met, the duplicates' places out",
    "--resolve=FILE       a cluster's second pass: FILE's places read again (-c: checked)",
    "--print-groups=FILE  a cluster's last step: FILE's groups printed as a report",
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
constexpr int LONG_EXT = 1006;
constexpr int LONG_KNOWN_EXTS = 1007;
constexpr int LONG_ANY_NAME = 1008;
constexpr int LONG_NESTED = 1009;
constexpr int LONG_CACHE = 1010;
constexpr int LONG_NO_CACHE = 1011;
constexpr int LONG_CACHE_PRUNE = 1012;
constexpr int LONG_FILES_FROM = 1013;
constexpr int LONG_NULL = 1014;
constexpr int LONG_KEYS = 1015;
constexpr int LONG_PARTITIONS = 1016;
constexpr int LONG_RESOLVE = 1017;
constexpr int LONG_PRINT_GROUPS = 1018;
constexpr int LONG_REDUCE = 1019;

// The value of -j: a whole number from 1 to MAX_JOBS.
int jobs_value(const char* value) {
  char* end = nullptr;
  errno = 0;
  long n = value != nullptr ? std::strtol(value, &end, 10) : 0;
  if (value == nullptr || end == value || *end != '\0' || errno != 0 || n < 1 || n > MAX_JOBS)
    error_exit(
        "command error, jobs must be a number from 1 to %d: '%s'. Type 'zorv --help' for help",
        MAX_JOBS, value != nullptr ? value : "");
  return static_cast<int>(n);
}

// The value of --partitions: a whole number from 1 to KEY_PARTS_MAX.
unsigned partitions_value(const char* value) {
  char* end = nullptr;
  errno = 0;
  long n = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || errno != 0 || n < 1 || n > long{KEY_PARTS_MAX})
    error_exit("command error, partitions must be a number from 1 to %u: '%s'. Type 'zorv --help' "
               "for help",
               KEY_PARTS_MAX, value);
  return static_cast<unsigned>(n);
}

// Adds the suffix `ext` (with or without its dot) to o.exts, once.
void add_ext(Options& o, const char* ext, std::size_t len) {
  if (len > 0 && *ext == '.') ++ext, --len;
  std::string dotted(".");
  dotted.append(ext, len);
  // The name rule takes the suffix after a name's last dot: one holding a
  // dot or a slash could never match.
  if (len == 0 || dotted.find_first_of("./", 1) != std::string::npos)
    error_exit("command error, not a name's ending: '%.*s'. Type 'zorv --help' for help",
               static_cast<int>(len), ext);
  for (char& c : dotted)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (std::find(o.exts.begin(), o.exts.end(), dotted) == o.exts.end()) o.exts.push_back(dotted);
}

// The value of --ext: suffixes separated by commas.
void add_ext_list(Options& o, const char* value) {
  for (;;) {
    const char* comma = std::strchr(value, ',');
    std::size_t len = comma != nullptr ? static_cast<std::size_t>(comma - value) : std::strlen(value);
    add_ext(o, value, len);
    if (comma == nullptr) return;
    value = comma + 1;
  }
}

enum class Value { None, Needed, Optional };

struct LongOption {
  const char* name;
  int code;  // the letter of the short form, or a LONG_ code
  Value value;
};

constexpr LongOption long_options[] = {
    {"recursive", 'R', Value::None},
    {"list", 'l', Value::None},
    {"size", 's', Value::None},
    {"content", 'c', Value::None},
    {"jobs", 'j', Value::Needed},
    {"format", LONG_FORMAT, Value::Needed},
    {"summary", LONG_SUMMARY, Value::None},
    {"exit-status", LONG_EXIT_STATUS, Value::None},
    {"progress", LONG_PROGRESS, Value::Needed},
    {"ext", LONG_EXT, Value::Needed},
    {"known-exts", LONG_KNOWN_EXTS, Value::None},
    {"any-name", LONG_ANY_NAME, Value::None},
    {"nested", LONG_NESTED, Value::None},
    {"cache", LONG_CACHE, Value::Optional},
    {"no-cache", LONG_NO_CACHE, Value::None},
    {"cache-prune", LONG_CACHE_PRUNE, Value::None},
    {"files-from", LONG_FILES_FROM, Value::Needed},
    {"null", LONG_NULL, Value::None},
    {"keys", LONG_KEYS, Value::Needed},
    {"partitions", LONG_PARTITIONS, Value::Needed},
    {"reduce", LONG_REDUCE, Value::Needed},
    {"resolve", LONG_RESOLVE, Value::Needed},
    {"print-groups", LONG_PRINT_GROUPS, Value::Needed},
    {"help", LONG_HELP, Value::None},
    {"version", LONG_VERSION, Value::None},
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
void apply(Options& o, int code, const char* value) {
  switch (code) {
    case 'R':
      o.recurse = true;
      break;
    case 'l':
      o.list = true;
      break;
    case 's':
      o.size = true;
      break;
    case 'c':
      o.content = o.size = true;
      break;
    case 'j':
      o.jobs = jobs_value(value);
      break;
    case LONG_HELP:
      usage();
    case LONG_VERSION:
      version();
    case LONG_SUMMARY:
      o.summary = true;
      break;
    case LONG_EXIT_STATUS:
      o.exit_status = true;
      break;
    case LONG_FORMAT:
      if (std::strcmp(value, "jsonl") == 0) {
        o.format = Format::Jsonl;
      } else if (std::strcmp(value, "text") == 0) {
        o.format = Format::Text;
      } else {
        error_exit("command error, unknown format '%s'. Type 'zorv --help' for help", value);
      }
      break;
    case LONG_EXT:
      add_ext_list(o, value);
      break;
    case LONG_KNOWN_EXTS:
      for (const char* ext : KNOWN_EXTS)
        add_ext(o, ext, std::strlen(ext));
      break;
    case LONG_ANY_NAME:
      o.any_name = true;
      break;
    case LONG_NESTED:
      o.nested = true;
      break;
    case LONG_CACHE:
      if (value != nullptr && *value == '\0')
        error_exit("command error, the '--cache' option needs a file name after '='");
      o.cache = true;
      o.cache_path = value != nullptr ? value : "";
      break;
    case LONG_NO_CACHE:
      o.cache = false;
      break;
    case LONG_CACHE_PRUNE:
      o.cache_prune = true;
      break;
    case LONG_FILES_FROM:
      if (*value == '\0')
        error_exit("command error, the '--files-from' option needs a file name after '='");
      o.files_from = value;
      break;
    case LONG_NULL:
      o.null = true;
      break;
    case LONG_KEYS:
    case LONG_REDUCE:
    case LONG_RESOLVE:
    case LONG_PRINT_GROUPS: {
      std::string* mode = code == LONG_KEYS     ? &o.keys
                          : code == LONG_REDUCE ? &o.reduce
                          : code == LONG_RESOLVE ? &o.resolve
                                                 : &o.print_groups;
      if (*value == '\0')
        error_exit("command error, the '--%s' option needs a file name after '='",
                   code == LONG_KEYS     ? "keys"
                   : code == LONG_REDUCE ? "reduce"
                   : code == LONG_RESOLVE ? "resolve"
                                          : "print-groups");
      *mode = value;
      break;
    }
    case LONG_PARTITIONS:
      o.partitions = partitions_value(value);
      break;
    case LONG_PROGRESS:
      if (std::strcmp(value, "always") == 0) {
        o.progress = ProgressWhen::Always;
      } else if (std::strcmp(value, "never") == 0) {
        o.progress = ProgressWhen::Never;
      } else if (std::strcmp(value, "auto") == 0) {
        o.progress = ProgressWhen::Auto;
      } else {
        error_exit("command error, unknown progress '%s'. Type 'zorv --help' for help", value);
      }
      break;
    default:
      error_exit("internal error, option '%c' not handled in switch",
                 static_cast<unsigned char>(code));
  }
}

// "--name" or "--name=value" (the word after its "--").
void take_long_option(Options& o, const char* word) {
  const char* equals = std::strchr(word, '=');
  std::size_t len = equals != nullptr ? static_cast<std::size_t>(equals - word) : std::strlen(word);
  for (const LongOption& lo : long_options) {
    if (std::strlen(lo.name) != len || std::strncmp(lo.name, word, len) != 0) continue;
    if (lo.value == Value::Needed && equals == nullptr)
      error_exit("command error, the '--%s' option requires an argument", lo.name);
    if (lo.value == Value::None && equals != nullptr)
      error_exit("command error, the '--%s' option takes no argument", lo.name);
    apply(o, lo.code, equals != nullptr ? equals + 1 : nullptr);
    return;
  }
  error_exit("command error, unknown option '--%.*s'. Type 'zorv' by itself for help",
             static_cast<int>(len), word);
}

// What one run holds: its options, where its lines go, the index it fills,
// the archives opened ahead of it and the reader's buffer handed from
// archive to archive.
struct Run {
  const Options& options;
  Diag diag;       // straight to standard error
  Diag scan_diag;  // the scanner's: the archives asked for are indexed first
  Index* ix;
  ZipCache cache;
  Readahead* ahead;
  Progress* progress;         // null: no status line
  std::uint64_t index_bytes;  // what the index held when indexing ended
  // What the line showed when indexing ended: the report gives the groups
  // back before it checks, and the line keeps showing how many there were.
  ProgressCounts indexed;
  CheckTally checks;
  ArchiveExts exts;  // which files are archives (any: or may be)
  NestStore* store;  // --nested -c: where compressed inner archives are decoded to
  ContentCache* content_cache;  // -c --cache: null when there is none
  std::string cache_path;
  std::string cache_said;  // the cache's failure already said
  KeyOut* keys = nullptr;  // --keys: where the keys go, instead of the index
  // --keys: the paths read and the files, by the first path to each, that
  // the index would have held (keys_wanted).
  std::set<std::string> key_paths;
  std::map<FileId, std::string, bool (*)(const FileId&, const FileId&)> keyed{
      [](const FileId& a, const FileId& b) { return file_id_compare(a, b) < 0; }};
};

ProgressCounts counts_of(const Index* ix) {
  IndexCounts c = index_counts(ix);
  return ProgressCounts{c.archives, c.entries_read, c.groups, c.directory_bytes, 0, 0, 0};
}

// Ends the run when the index could not record something.
void check_index(const Run& run) {
  IndexFail fail = index_failure(run.ix);
  if (fail == IndexFail::None) return;
  bool prefixed = true;
  const char* text = index_failure_text(fail, &prefixed);
  if (!prefixed) bare_exit("%s", text);
  error_exit("%s", text);
}

// Whether --keys reads this archive, saying what the index says of it: as
// in a report, a path named twice is read twice, and one file under a
// second path is passed over.
bool keys_wanted(Run& run, const Ahead& a) {
  if (!run.key_paths.insert(a.path).second) {
    say(&run.diag, "warning, duplicate file name: %s\n", a.path);
    return true;
  }
  if (!a.has_id) return true;
  auto [first, fresh] = run.keyed.try_emplace(a.id, a.path);
  if (!fresh) say(&run.diag, "warning, same file as %s: %s", first->second.c_str(), a.path);
  return fresh;
}

// Indexes the oldest archive asked for, saying what a serial run would have
// said at this point: what the scanner's spared status call would have
// found, that it is a file seen under another path, or why it could not be
// opened.
void index_next(Run& run) {
  Ahead* a = readahead_take(run.ahead);
  if (a->status_errno != 0) {
    scan_status_warning(a->path, a->status_errno, &run.diag);
  } else if (a->skip || (a->has_id && same_file_elsewhere(run.ix, a->path, a->id))) {
    // passed over
  } else if (a->zd == nullptr) {
    hand_on(&a->messages, &run.diag);  // why it could not be opened
  } else if (run.keys != nullptr) {
    if (keys_wanted(run, *a))
      keys_archive(run.keys, a->path, std::exchange(a->zd, nullptr), &run.diag);
  } else if (run.options.nested) {
    NestRun nest{run.ix, &run.diag, run.exts, &run.cache, run.store};
    bool no_memory = false;
    if (!index_nested(nest, a->path, a->id, std::exchange(a->zd, nullptr), &no_memory)) {
      if (no_memory) error_exit("internal error, index_nested, out of memory");
      check_index(run);
    }
  } else if (!index_zip(run.ix, a->path, a->id, std::exchange(a->zd, nullptr))) {
    check_index(run);
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
  // A file not named as an archive is one only if its end record says so.
  bool sniffed = run->exts.any && !has_any_ext(path, run->exts);
  if (!readahead_submit(run->ahead, path, st, st == nullptr, sniffed))
    error_exit("internal error, index_archive, out of memory");
  return 0;
}

// The line with the counts of indexing and of -c so far.
void show_checks(Run* run, bool now) {
  ProgressCounts counts = run->indexed;
  counts.checked_bytes = run->checks.done;
  counts.check_bytes = run->checks.total;
  progress_update(run->progress, counts, now);
}

void show_check(void* ctx, std::uint64_t done, std::uint64_t total) {
  auto* run = static_cast<Run*>(ctx);
  check_tally_add(&run->checks, done, total);
  show_checks(run, false);
}

void show_cached(void* ctx, std::uint64_t members) {
  auto* run = static_cast<Run*>(ctx);
  run->indexed.cached = members;
  show_checks(run, true);  // once a batch
}

// Sends one command-line path to the indexer or the directory scanner. Only
// a regular file with an archive's suffix is an archive.
void dispatch(Run& run, char* arg) {
  const ArchiveExts& exts = run.exts;
  for (char* p = arg; *p != '\0'; ++p) {
    if (*p == '\\') *p = '/';
  }
  struct stat st;
  if (stat(arg, &st) == 0 && S_ISREG(st.st_mode)) {
    if (exts.any || has_any_ext(arg, exts)) index_archive(arg, &st, &run);
    return;
  }
  int flags = run.options.recurse ? SCAN_RECURSE : 0;
  if (scandir(arg, exts, index_archive, &run, flags, &run.scan_diag, index_pending) ==
      SCAN_STOPPED) {
    bare_exit("%s", RB_NO_MEMORY_TEXT);
  }
}

[[noreturn]] void list_failed(const std::string& file, const std::string& why) {
  error_exit("error reading the list of paths, %s: %s", why.c_str(),
             file == "-" ? "standard input" : file.c_str());
}

// The paths of the --files-from list, each as if named on the command line.
void dispatch_listed(Run& run, std::FILE* list) {
  std::string why;
  auto each = [](char* path, void* ctx) { dispatch(*static_cast<Run*>(ctx), path); };
  bool whole = each_listed_path(list, run.options.null ? '\0' : '\n', each, &run, &why);
  close_path_list(list);
  if (!whole) {
    index_pending(&run);  // what was asked for is said first, as the scanner does
    list_failed(run.options.files_from, why);
  }
}

ReportSplit split_of(const Options& o) {
  if (o.content) return ReportSplit::Content;
  if (o.size) return ReportSplit::Size;
  return ReportSplit::None;
}

[[noreturn]] void report_failed(const ReportStats& stats) {
  if (stats.failure_bare) bare_exit("%s", stats.failure);
  error_exit("%s", stats.failure);
}

// The cache the run uses, or none: why not is said once.
ContentCache* open_cache(Diag* diag, const std::string& path, bool defaulted) {
  if (path.empty()) {
    say(diag, "warning, cache not used: neither XDG_CACHE_HOME nor HOME is a directory");
    return nullptr;
  }
  std::string why;
  ContentCache* c = cache_open(path, defaulted, &why);
  if (c == nullptr) say(diag, "warning, cache not used, %s: %s", why.c_str(), path.c_str());
  return c;
}

// Closes the cache; a failure during the run is said, unless it is
// `said` already.
void close_content_cache(ContentCache* c, Diag* diag, const std::string& path,
                         const std::string& said = "") {
  bool wrote = false;
  std::string why = cache_close(c, &wrote);
  if (why.empty() || why == said) return;
  say(diag, "warning, cache not %s, %s: %s", wrote ? "written" : "used", why.c_str(), path.c_str());
}

// The sink of the format asked for, made in one of the two slots: each
// holds a large output block, so only the one in use is made.
ReportSink* make_sink(const Options& o, Diag* diag, std::optional<TextSink>* text,
                      std::optional<JsonSink>* json) {
  if (o.format == Format::Jsonl) return &json->emplace(diag);
  return &text->emplace(o.summary, isatty(STDOUT_FILENO) != 0, diag);
}

bool find_image(void* ctx, const char* path, const struct stat& st,
                std::vector<unsigned char>* image) {
  return cache_find_image(static_cast<ContentCache*>(ctx), path, cache_file_of(st, 0), image);
}

// The image is made only when the cache will keep it: a copy of a
// directory is no small thing.
void keep_image(void* ctx, const char* path, const struct stat& st, std::int64_t taken_ns,
                const ZipDir* zd) {
  auto* c = static_cast<ContentCache*>(ctx);
  CacheFile file = cache_file_of(st, taken_ns);
  if (!cache_would_keep_image(c, file)) return;
  std::vector<unsigned char> image;
  try {
    image.resize(zip_image_size(zd));
  } catch (const std::bad_alloc&) {
    return;  // not kept: the next run opens it
  }
  if (zip_image(zd, image.data())) cache_keep_image(c, path, file, &image);
}

// Lets the opens keep directory images in the cache, and find them there
// once it holds some: a run on storage that never kept one asks for none.
void use_images(Run& run) {
  if (run.content_cache == nullptr) return;
  DirImages images{cache_has_images(run.content_cache) ? find_image : nullptr, keep_image,
                   run.content_cache};
  readahead_images(run.ahead, &images);
}

// Writes what is left and closes the cache; a failure during the run is
// said now, once.
void close_cache(Run& run) {
  if (run.content_cache == nullptr) return;
  if (run.ahead != nullptr) readahead_images(run.ahead, nullptr);
  close_content_cache(std::exchange(run.content_cache, nullptr), &run.diag, run.cache_path,
                      run.cache_said);
}

// --cache-prune: before the run (or instead of one); the cache stays open.
void prune_cache(Run& run) {
  ContentCache* c = open_cache(&run.diag, run.cache_path, run.options.cache_path.empty());
  if (c == nullptr) return;
  std::string why;
  if (!cache_prune(c, &why)) {
    say(&run.diag, "warning, cache not pruned, %s: %s", why.c_str(), run.cache_path.c_str());
    run.cache_said = why;  // once is enough
  }
  run.content_cache = c;
}

// Opens the cache, prunes it, as the options ask.
void start_cache(Run& run) {
  const Options& o = run.options;
  if (!o.cache_prune && !(o.cache && o.content)) return;
  run.cache_path = o.cache_path.empty() ? cache_default_path() : o.cache_path;
  if (!o.cache_prune) {
    run.content_cache = open_cache(&run.diag, run.cache_path, o.cache_path.empty());
    return;
  }
  prune_cache(run);
  if (!(o.cache && o.content)) close_cache(run);  // only pruned
}

// The report, then the -l summary and the totals; returns the exit status.
// Once the report has copied the groups out, nothing reads them: they go
// back before the names are fetched, and the report's names reuse their
// memory. The -l counts are taken as the report prints.
int report(Run& run) {
  const Options& o = run.options;
  bool jsonl = o.format == Format::Jsonl;
  std::optional<TextSink> text;
  std::optional<JsonSink> json;
  ReportSink* sink = make_sink(o, &run.diag, &text, &json);
  use_images(run);  // those the indexing kept, too
  Revisit* rv = revisit_start(run.ahead, &run.cache, &run.diag);
  if (rv == nullptr) error_exit("internal error, print_report, out of memory");
  ReportOptions options{report_limits_for(run.index_bytes),
                        split_of(o),
                        o.list ? run.ix : nullptr,
                        jsonl || o.summary,
                        jsonl,
                        0,
                        run.progress != nullptr ? show_check : nullptr,
                        &run};
  options.text_names = jsonl;
  options.cache = run.content_cache;
  if (run.progress != nullptr) options.on_cached = show_cached;
  // Reading members waits on slow storage: as many in flight as -j asks,
  // where that is more than the cores, up to CHECK_THREADS_MAX.
  // The checker reports when a job is done, which can take seconds.
  if (o.content) progress_keep_drawing(run.progress);
  if (o.content && readahead_slow(run.ahead)) {
    unsigned jobs = o.jobs > 0 ? static_cast<unsigned>(o.jobs) : DEFAULT_JOBS;
    options.check_threads = std::max(verify_threads(), std::min(jobs, CHECK_THREADS_MAX));
  }
  Report* report = report_gather(run.ix, options, sink, rv);
  if (report == nullptr) error_exit("internal error, print_report, out of memory");
  release_groups(run.ix);
  malloc_trim(0);
  ReportStats stats{};
  bool whole = report_print(report, &stats);
  revisit_stop(rv);
  close_cache(run);
  if (!whole && stats.failure != nullptr) report_failed(stats);
  if (!whole) {
    sink->flush();
    progress_end(std::exchange(run.progress, nullptr));
    error_exit("internal error, unable to match cd_pos & crc32: %s", stats.unmatched);
  }
  if (o.list) print_archive_summary(run.ix, sink);
  sink->summary(stats.totals);
  if (sink->out_of_memory()) error_exit("internal error, print_report, out of memory");
  progress_end(std::exchange(run.progress, nullptr));
  finish_output(sink->flush());
  return o.exit_status && stats.totals.groups > 0 ? 2 : 0;
}

// --keys: the files completed; the run ends without a report.
int finish_keys(Run& run) {
  std::string why;
  std::string file;
  bool written = keys_finish(std::exchange(run.keys, nullptr), &why, &file);
  readahead_stop(run.ahead);
  release_indexes(run.ix);
  zip_cache_release(&run.cache);
  if (!written) error_exit("error writing the keys, %s: %s", why.c_str(), file.c_str());
  finish_output(0);
  return 0;
}

// The archives' opens and reads run ahead on `jobs` threads; when the
// system grants none, one at a time, as the run needs them.
Readahead* start_ahead(int jobs, ZipCache* cache) {
  AheadLimits limits = ahead_limits(jobs > 0 ? static_cast<unsigned>(jobs) : DEFAULT_JOBS);
  // The tests' way to run the threads on a fast local disk too.
  if (std::getenv("ZORV_TEST_READAHEAD_ALWAYS") != nullptr) limits.slow_ns = 0;
  Readahead* ahead = readahead_start(limits, cache);
  if (ahead == nullptr) ahead = readahead_start(ahead_limits(1), cache);
  if (ahead == nullptr) error_exit("internal error, readahead_start, out of memory");
  return ahead;
}

// The name a message gives a file the options name ("-": standard input).
const char* shown_file(const std::string& file) {
  return file == "-" ? "standard input" : file.c_str();
}

std::FILE* open_input(const std::string& file, const char* what) {
  if (file == "-") return stdin;
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) error_exit("error reading the %s, %s: %s", what, std::strerror(errno), file.c_str());
  return f;
}

// --reduce: keys in, the duplicates' places out (cluster/reduce.h).
int run_reduce(const Options& o) {
  std::FILE* in = open_input(o.reduce, "keys");
  std::string why;
  errno = 0;
  ReduceEnd end = reduce_keys(in, stdout, &why);
  int err = errno;
  switch (end) {
    case ReduceEnd::Done:
      break;
    case ReduceEnd::BadInput:
      if (std::ferror(in) != 0) why = std::strerror(err != 0 ? err : EIO);
      error_exit("error reading the keys, %s: %s", why.c_str(), shown_file(o.reduce));
    case ReduceEnd::Write:
      finish_output(err != 0 ? err : EIO);
      break;
    case ReduceEnd::NoMemory:
      error_exit("internal error, reduce_keys, out of memory");
  }
  if (in != stdin) std::fclose(in);
  finish_output(0);
  return 0;
}

// --resolve: places in, members out (cluster/resolve.h).
int run_resolve(const Options& o) {
  Diag diag{};
  std::FILE* in = open_input(o.resolve, "places");
  ZipCache cache{};
  Readahead* ahead = start_ahead(o.jobs, &cache);
  Revisit* rv = revisit_start(ahead, &cache, &diag);
  if (rv == nullptr) error_exit("internal error, resolve_places, out of memory");
  ResolveOptions options{o.content, verify_threads()};
  std::string cache_path;
  if (o.cache && o.content) {
    cache_path = o.cache_path.empty() ? cache_default_path() : o.cache_path;
    options.cache = open_cache(&diag, cache_path, o.cache_path.empty());
  }
  if (o.content && readahead_slow(ahead)) {
    unsigned jobs = o.jobs > 0 ? static_cast<unsigned>(o.jobs) : DEFAULT_JOBS;
    options.check_threads = std::max(verify_threads(), std::min(jobs, CHECK_THREADS_MAX));
  }
  std::string why;
  errno = 0;
  ResolveEnd end = resolve_places(in, stdout, options, rv, &why);
  int err = errno;
  revisit_stop(rv);
  readahead_stop(ahead);
  zip_cache_release(&cache);
  if (options.cache != nullptr) close_content_cache(options.cache, &diag, cache_path);
  switch (end) {
    case ResolveEnd::Done:
      break;
    case ResolveEnd::BadInput:
      if (std::ferror(in) != 0) why = std::strerror(err != 0 ? err : EIO);
      error_exit("error reading the places, %s: %s", why.c_str(), shown_file(o.resolve));
    case ResolveEnd::Write:
      finish_output(err != 0 ? err : EIO);
      break;
    case ResolveEnd::NoMemory:
      error_exit("internal error, resolve_places, out of memory");
  }
  if (in != stdin) std::fclose(in);
  finish_output(0);
  return 0;
}

// --print-groups: a cluster's groups printed as a report prints them.
int run_print(const Options& o) {
  Diag diag{};
  std::FILE* in = open_input(o.print_groups, "groups");
  bool jsonl = o.format == Format::Jsonl;
  std::optional<TextSink> text;
  std::optional<JsonSink> json;
  ReportSink* sink = make_sink(o, &diag, &text, &json);
  ReportTotals totals{};
  std::string why;
  errno = 0;
  GroupsEnd end = print_groups(in, sink, GroupsOptions{o.list, jsonl, jsonl}, &totals, &why);
  if (end == GroupsEnd::BadInput) {
    if (std::ferror(in) != 0) why = std::strerror(errno != 0 ? errno : EIO);
    sink->flush();
    error_exit("error reading the groups, %s: %s", why.c_str(), shown_file(o.print_groups));
  }
  if (end == GroupsEnd::Unmatched)
    error_exit("internal error, unable to match cd_pos & crc32: %s", why.c_str());
  if (end == GroupsEnd::NoMemory || sink->out_of_memory())
    error_exit("internal error, print_report, out of memory");
  sink->summary(totals);
  if (sink->out_of_memory()) error_exit("internal error, print_report, out of memory");
  if (in != stdin) std::fclose(in);
  finish_output(sink->flush());
  return o.exit_status && totals.groups > 0 ? 2 : 0;
}

int run(const Options& o, int argc, char** argv) {
  if (!o.reduce.empty()) return run_reduce(o);
  if (!o.resolve.empty()) return run_resolve(o);
  if (!o.print_groups.empty()) return run_print(o);
  Run run{o,  Diag{}, Diag{}, nullptr, ZipCache{}, nullptr, nullptr, 0, {}, {}, {}, nullptr,
          nullptr, {},     {},     nullptr, {}};
  run.scan_diag = Diag{nullptr, index_pending, &run};
  start_cache(run);
  if (o.first_path == 0 && o.files_from.empty()) {  // --cache-prune alone
    close_cache(run);
    return 0;
  }
  std::FILE* list = nullptr;
  if (!o.files_from.empty()) {
    std::string why;
    list = open_path_list(o.files_from.c_str(), &why);
    if (list == nullptr) list_failed(o.files_from, why);
  }
  IndexFail fail = IndexFail::None;
  run.ix = create_indexes(&run.diag, &fail);
  if (run.ix == nullptr) {
    bool prefixed = true;
    error_exit("%s", index_failure_text(fail, &prefixed));
  }
  if (!o.keys.empty()) {
    std::string why;
    std::string file;
    run.keys = keys_start(o.keys, std::max(o.partitions, 1u), &why, &file);
    if (run.keys == nullptr) error_exit("error writing the keys, %s: %s", why.c_str(), file.c_str());
  }
  // The keys' run is a cluster's: the client shows the progress.
  run.progress = progress_start(o.progress == ProgressWhen::Always,
                                o.progress == ProgressWhen::Never || run.keys != nullptr);
  run.ahead = start_ahead(o.jobs, &run.cache);
  use_images(run);
  // Without one, compressed inner archives are named as not read, as
  // without -c.
  if (o.nested && o.content) run.store = nest_store_start();
  errno = 0;
  std::vector<const char*> suffixes;
  for (const std::string& ext : o.exts)
    suffixes.push_back(ext.c_str());
  run.exts = ArchiveExts{suffixes.data(), suffixes.size(), o.any_name};
  for (int i = o.first_path; i > 0 && i < argc; ++i)
    dispatch(run, argv[i]);
  if (list != nullptr) dispatch_listed(run, list);
  index_pending(&run);
  if (run.keys != nullptr) return finish_keys(run);
  // The report needs the groups, not the CRC-32 index: its nodes go back
  // before the report allocates, which keeps the peak memory down.
  run.indexed = counts_of(run.ix);
  progress_update(run.progress, run.indexed, true);
  run.index_bytes = index_counts(run.ix).bytes;
  finish_indexing(run.ix);
  malloc_trim(0);
  int status = report(run);
  progress_end(run.progress);
  readahead_stop(run.ahead);
  release_indexes(run.ix);
  nest_store_stop(run.store);
  zip_cache_release(&run.cache);
  finish_output(0);
  return status;
}

}  // namespace

namespace {

// The cluster's modes take only the options that mean something to them.
void check_modes(const Options& o) {
  int modes = !o.keys.empty() + !o.reduce.empty() + !o.resolve.empty() + !o.print_groups.empty();
  if (modes > 1)
    error_exit("command error, --keys, --reduce, --resolve and --print-groups exclude each other");
  if (o.partitions != 0 && o.keys.empty())
    error_exit("command error, --partitions goes with --keys");
  if (modes == 0) return;
  const char* mode = !o.keys.empty()      ? "keys"
                     : !o.reduce.empty()  ? "reduce"
                     : !o.resolve.empty() ? "resolve"
                                          : "print-groups";
  auto refuse = [mode](bool given, const char* option) {
    if (given) error_exit("command error, --%s does not take %s", mode, option);
  };
  bool report = !o.keys.empty() || !o.reduce.empty() || !o.resolve.empty();  // no report printed
  refuse(report && o.list, "-l");
  refuse(report && o.summary, "--summary");
  refuse(report && o.exit_status, "--exit-status");
  refuse(report && o.format != Format::Text, "--format");
  refuse(o.nested, "--nested");
  refuse(o.cache_prune, "--cache-prune");
  refuse(o.cache && o.resolve.empty(), "--cache");
  // Keys carry the size whatever is asked; only a resolve reads contents.
  refuse(o.content ? o.resolve.empty() : o.size, o.content ? "-c" : "-s");
  bool paths = o.first_path != 0 || !o.files_from.empty();
  if (o.keys.empty() && paths) error_exit("command error, --%s takes no paths", mode);
}

}  // namespace

Options parse_options(int argc, char** argv) {
  if (argc <= 1) usage();
  Options o;
  OptScan scan;
  for (;;) {
    // Words that begin "--" are long options, between the short ones.
    if (*scan.opt_next == '\0' && scan.opt_index < argc &&
        std::strncmp(argv[scan.opt_index], "--", 2) == 0) {
      const char* word = argv[scan.opt_index++] + 2;
      if (*word != '\0') {
        take_long_option(o, word);
        continue;
      }
      if (scan.opt_index < argc) o.first_path = scan.opt_index;  // "--": the next word is a path
      return o;
    }
    int c = get_option(&scan, argc, argv, "|Rlscj:");
    auto shown = static_cast<unsigned char>(scan.opt_char);
    switch (c) {
      case OPT_END:
        return o;
      case OPT_UNKNOWN:
        error_exit("command error, unknown option '%c'. Type 'zorv' by itself for help", shown);
      case OPT_LONE_HYPHEN:
        usage();
      case OPT_NEEDS_ARG:
        error_exit("command error, the '%c' option requires an argument", shown);
      case OPT_WORD_BAR:
        // The word just taken; none when '|' came as an option character.
        if (scan.opt_arg != nullptr) o.first_path = scan.opt_index - 1;
        return o;
      default:
        apply(o, c, scan.opt_arg);
    }
  }
}

int zorv_main(int argc, char** argv) {
  // A report can run to millions of lines: write it in large blocks when it
  // goes to a file or a pipe (a terminal keeps its line buffering).
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, std::size_t{1} << 16);
  Options o = parse_options(argc, argv);
  check_modes(o);
  if (o.first_path == 0 && !o.cache_prune && o.files_from.empty() && o.reduce.empty() &&
      o.resolve.empty() && o.print_groups.empty())
    error_exit("command error, missing directory");
  catch_end_signals();
  return run(o, argc, argv);
}

}  // namespace zorv
