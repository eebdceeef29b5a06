// Finds files with a given extension in a directory tree.
//
// A general utility: the extension and the callback are parameters, and its
// own lines (without the program prefix) go to the Diag its caller hands in.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "util/diag.h"

namespace zorv {

// Receives the full path of a matching file, its status (links followed:
// st_dev and st_ino say which file it is) and the context scandir's caller
// passed. The status is null when the listing itself said the entry is a
// regular file: no status call is made just to confirm it (opening the file
// checks its type anyway; scan_status_warning says what the spared call
// would have). The text lives in a buffer that is reused for the next
// entry: copy what you keep.
using ScanCallback = int (*)(const char* path, const struct stat* st, void* ctx);

// Called with scandir's context when a directory cannot be opened for want
// of a descriptor, before it is tried again: a caller working ahead lets go
// of the descriptors it holds.
using ScanLetGo = void (*)(void* ctx);

constexpr int SCAN_RECURSE = 1;  // flag bit 0: descend into subdirectories

constexpr int SCAN_OK = 0;
constexpr int SCAN_OPEN_FAILED = 1;  // after "warning, <errno text>: "<dir>""
constexpr int SCAN_NO_MEMORY = 2;    // after its "scandir: unable to allocate ..." line
// The set of directories entered found no memory for a node: the walk
// stopped, silently; the caller says the tree's line (RB_NO_MEMORY_TEXT)
// and ends the run.
constexpr int SCAN_STOPPED = 3;

// The name rule: whether the last '.' of `path` starts a suffix equal to
// `ext` ignoring case (".zip"). "a.zip.txt" does not match, "b.tar.ZIP" does,
// and a dot in a directory part never matches (the suffix holds a '/').
bool has_ext(const char* path, const char* ext);

// The suffixes that make a name an archive's, each with its dot, in lower
// case (has_ext ignores case): ".zip" alone unless options add others.
// With `any`, the scanner hands on every regular file, whatever its name:
// its bytes decide.
struct ArchiveExts {
  const char* const* exts;
  std::size_t count;
  bool any = false;
};

// Whether the name rule matches `path` with any suffix of `exts`.
bool has_any_ext(const char* path, const ArchiveExts& exts);

// Calls `callback` (with `ctx`) for every regular file (after following
// links) in `dir` whose name matches one of `exts` by has_ext.
// FIFOs, sockets and devices are skipped. An entry whose status cannot be
// read is skipped too: silently when it leads nowhere (a dangling link, a
// link loop), else,
// when it could be an archive or (with SCAN_RECURSE) a directory, after
// "warning, <errno text>: "<path>"". With SCAN_RECURSE set in `flags`, subdirectories are entered
// ("." and ".." never), each directory at most once per call, so links forming a cycle or a diamond
// cannot make the walk loop or repeat itself. Full paths are `dir`, "/" unless `dir` already ends
// in one, and the entry name.
// Lines are said to `diag` (null: silently); a caller that holds back
// output of its own sets the Diag's `before`, so lines stay in the order of
// the walk.
int scandir(const char* dir, const ArchiveExts& exts, ScanCallback callback, void* ctx, int flags,
            Diag* diag, ScanLetGo let_go = nullptr);
// The same for the one suffix `ext`.
int scandir(const char* dir, const char* ext, ScanCallback callback, void* ctx, int flags,
            Diag* diag, ScanLetGo let_go = nullptr);

// What the scanner says when the status of a file that could be an archive
// cannot be read for `err`: "warning, <errno text>: "<path>"", or nothing
// when it leads nowhere (ENOENT, ELOOP).
void scan_status_warning(const char* path, int err, Diag* diag);

// The system's text for the current errno, which is then cleared;
// "errno out of range" when the system has no text for it.
const char* errno_text();

}  // namespace zorv
