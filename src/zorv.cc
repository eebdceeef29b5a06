#include "zorv.h"

#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/scandir.h"
#include "get_option.h"
#include "message.h"
#include "rb_funcs.h"
#include "report.h"
#include "zip/zipdir.h"

namespace zorv {

int option_flags = 0;
char* pStartDir = nullptr;

namespace {

constexpr const char* ARCHIVE_EXT = ".zip";

const char* const usage_text[] = {
    "zorv, ver 1.03",
    "",
    "Usage: zorv [options]  <directory list/filenames>",
    "Options are:",
    "-R      process subdirectories Recursivly",
};

// Standard output is buffered: a write that failed (a full disk, a closed
// descriptor) shows only here. A report that was not written whole must not
// end as a successful run.
void finish_output() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    error_exit("error writing standard output: %s",
               errno != 0 ? std::strerror(errno) : "write error");
  }
}

[[noreturn]] void usage() {
  for (const char* line : usage_text)
    std::printf("%s\n", line);
  finish_output();
  std::exit(0);
}

// Only a regular file whose last '.' starts ".zip" (any case) is an archive.
bool is_archive_name(const char* path) {
  const char* dot = std::strrchr(path, '.');
  return dot != nullptr && strcasecmp(dot, ARCHIVE_EXT) == 0;
}

// Sends one command-line path to the indexer or the directory scanner.
void dispatch(char* arg) {
  for (char* p = arg; *p != '\0'; ++p) {
    if (*p == '\\') *p = '/';
  }
  struct stat st;
  if (stat(arg, &st) == 0 && S_ISREG(st.st_mode)) {
    if (is_archive_name(arg)) process_archive(arg);
    return;
  }
  scandir(arg, ARCHIVE_EXT, process_archive, option_flags);
}

int run(int argc, char** argv) {
  create_indexes();
  int first = 0;
  while (first < argc && argv[first] != pStartDir)
    ++first;
  if (first == argc) error_exit("internal error, unable to match pStartDir with argv");
  errno = 0;
  for (int i = first; i < argc; ++i)
    dispatch(argv[i]);
  // The report needs the groups, not the CRC-32 index: its nodes go back
  // before the report allocates, which keeps the peak memory down.
  rbtree_free(CRC32_Tree);
  CRC32_Tree = nullptr;
  malloc_trim(0);
  // Without -l nothing reads the groups after the report has copied them
  // out: they go back too, and the report's names reuse their memory.
  print_report(
      DupeTree, (option_flags & OPT_LIST) != 0 ? nullptr : +[] {
        release_groups();
        malloc_trim(0);
      });
  if ((option_flags & OPT_LIST) != 0) print_archive_summary(DupeTree, FileListTree);
  release_indexes();
  zip_release_spare();
  finish_output();
  return 0;
}

}  // namespace

void parse_options(int argc, char** argv) {
  if (argc <= 1) usage();
  for (;;) {
    int c = get_option(argc, argv, "|Rl");
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
      case 'R':
        option_flags |= OPT_RECURSE;
        break;
      case 'l':
        option_flags |= OPT_LIST;
        break;
      case OPT_WORD_BAR:
        pStartDir = opt_arg;
        return;
      default:
        error_exit("internal error, option '%c' not handled in switch", shown);
    }
  }
}

void create_indexes() {
  CRC32_Tree = rbtree_alloc_keyed(crc32_key);
  FileTree = rbtree_alloc(archive_compare);
  DupeTree = rbtree_alloc_keyed(dupe_key);
  FileListTree = rbtree_alloc(tally_compare);
  if (CRC32_Tree == nullptr || FileTree == nullptr || DupeTree == nullptr ||
      FileListTree == nullptr) {
    error_exit("internal error, rbtree_alloc() failed");
  }
  EntryRefPool = fsa_init(sizeof(EntryRef), 1024);
  DupeLinkPool = fsa_init(sizeof(DupeLink), 1024);
  DupeGroupPool = fsa_init(sizeof(DupeGroup), 1024);
  if (EntryRefPool == nullptr || DupeLinkPool == nullptr || DupeGroupPool == nullptr) {
    error_exit("internal error, fsa_init() failed");
  }
}

void release_groups() {
  fsa_exit(EntryRefPool);
  fsa_exit(DupeLinkPool);
  fsa_exit(DupeGroupPool);
  if (DupeTree != nullptr) rbtree_free(DupeTree);
  EntryRefPool = nullptr;
  DupeLinkPool = nullptr;
  DupeGroupPool = nullptr;
  DupeTree = nullptr;
}

void release_indexes() {
  release_groups();
  rbtree_walk(FileListTree->root, free_item);
  rbtree_walk(FileTree->root, free_item);
  if (CRC32_Tree != nullptr) rbtree_free(CRC32_Tree);
  rbtree_free(FileTree);
  rbtree_free(FileListTree);
}

int zorv_main(int argc, char** argv) {
  // A report can run to millions of lines: write it in large blocks when it
  // goes to a file or a pipe (a terminal keeps its line buffering).
  if (isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, std::size_t{1} << 16);
  parse_options(argc, argv);
  if (pStartDir == nullptr) error_exit("command error, missing directory");
  return run(argc, argv);
}

namespace {

// Entries are recorded a few dozen at a time: the tree paths of a batch are
// brought into cache together (their memory latencies overlap), then the
// entries are inserted one by one, in directory order as always. What the
// warming found is handed on, so an entry whose CRC-32 is already indexed
// (every entry of a copied archive) costs no second search of that tree.
constexpr std::size_t RECORD_BATCH = 16;

struct Recording {
  ArchiveName* archive;
  std::size_t count;
  std::uint32_t crc32[RECORD_BATCH];
  std::uint32_t cd_pos[RECORD_BATCH];
  void* first[RECORD_BATCH];  // the entry indexed under the CRC-32 before the batch, or null
  void* group[RECORD_BATCH];  // its group then, or null
  std::uint32_t seen_crc32[RECORD_BATCH];
  void* seen_group[RECORD_BATCH];
};

void record_batch(Recording& r) {
  rbtree_prefetch(CRC32_Tree, r.crc32, r.count, r.first);
  std::size_t seen = 0;
  for (std::size_t i = 0; i < r.count; ++i) {
    if (r.first[i] == nullptr) continue;
    r.seen_crc32[seen++] = r.crc32[i];
    // A group formed now is keyed by this entry's CRC-32, read from it.
    __builtin_prefetch(r.first[i]);
  }
  rbtree_prefetch(DupeTree, r.seen_crc32, seen, r.seen_group);
  for (std::size_t i = 0, j = 0; i < r.count; ++i)
    r.group[i] = r.first[i] != nullptr ? r.seen_group[j++] : nullptr;
  for (std::size_t i = 0; i < r.count; ++i) {
    CRC32_TreeInsert(r.crc32[i], r.cd_pos[i], r.archive, static_cast<EntryRef*>(r.first[i]),
                     static_cast<DupeGroup*>(r.group[i]));
  }
  r.count = 0;
}

}  // namespace

int process_archive(const char* path) {
  ZipDir* zd = openzip(path);
  if (zd == nullptr) return 1;
  Recording r;
  r.archive = FileTreeInsert(path);
  r.count = 0;
  while (const ZipEntry* entry = readzip(zd)) {
    // CRC-32 zero: directories and empty files, never reported.
    if (entry->crc32 == 0) continue;
    r.crc32[r.count] = entry->crc32;
    r.cd_pos[r.count] = zd->cd_pos;
    if (++r.count == RECORD_BATCH) record_batch(r);
  }
  record_batch(r);
  closezip(zd);
  return 0;
}

std::uint32_t crc32_key(const void* item) {
  return static_cast<const EntryRef*>(item)->crc32;
}

std::int32_t archive_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveName*>(key)->path,
                     static_cast<const ArchiveName*>(stored)->path);
}

std::uint32_t dupe_key(const void* item) {
  return static_cast<const DupeGroup*>(item)->head.entry->crc32;
}

std::int32_t tally_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveTally*>(key)->path,
                     static_cast<const ArchiveTally*>(stored)->path);
}

void free_item(void* pItem) {
  ZORV_ASSERT(pItem != nullptr, "pItem != NULL");
  std::free(pItem);
}

}  // namespace zorv
