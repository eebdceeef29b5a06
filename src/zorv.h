// The command line and the run driver: options, dispatch of every path,
// the report and the release of everything, plus the archive indexer's
// entry point and the indexes' comparison functions.
#pragma once

#include <cstdint>

namespace zorv {

constexpr int OPT_RECURSE = 1;  // -R: descend into subdirectories
constexpr int OPT_LIST = 2;     // -l: per-archive summary after the report

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

// Creates the four trees and two pools, or ends the run with
// "internal error, rbtree_alloc() failed" / "internal error, fsa_init() failed".
void create_indexes();

// Releases them: the group index first (below), then the FileListTree's
// and the FileTree's records, then the other trees (which never touch their
// items).
void release_indexes();

// Releases the group index: the EntryRef, DupeLink and DupeGroup pools and
// the DupeTree, and sets them to null. What is already null is skipped, so
// the run may release them early (once the report no longer reads them).
void release_groups();

// Indexes one archive: 0 when it was opened and walked, 1 when opening it
// failed (already reported). The callback shape scandir expects.
int process_archive(const char* path);

// Orderings of the indexes. The two CRC-32 indexes are ordered by the
// unsigned CRC-32, kept in the tree's nodes; the path indexes by strcmp,
// of which only the sign counts.
std::uint32_t crc32_key(const void* item);                          // EntryRef
std::uint32_t dupe_key(const void* item);                           // DupeGroup
std::int32_t archive_compare(const void* key, const void* stored);  // ArchiveName
std::int32_t tally_compare(const void* key, const void* stored);    // ArchiveTally

// Releases a heap item; a null one is a broken invariant and aborts.
void free_item(void* pItem);

}  // namespace zorv
