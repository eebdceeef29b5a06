// The archive and entry indexes that turn archives into duplicate groups,
// and the recorder that fills them from the reader.
//
// Entry names are never stored: an entry is remembered by its CRC-32, its
// position in its archive's central directory and its archive, one pooled
// EntryRef each. All of it lives in one Index, which the run creates and
// releases; nothing here is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/fsa.h"
#include "util/rbtree.h"
#include "zip/zipdir.h"

namespace zorv {

// Which file an archive is, whatever path reached it (links, "./dir" and
// "dir"): its device and inode.
struct FileId {
  std::uint64_t dev;
  std::uint64_t ino;
};

// FileTree item: the path text is stored right behind the record, in the
// same allocation, and `path` points at it. `ordinal` numbers the archives
// in the order they were first recorded (the report sorts by it). The last
// walk of its directory read `entries` entries and, when `complete`, reached
// the directory's end (else it stopped at a damaged header).
struct ArchiveName {
  char* path;
  std::uint32_t ordinal;
  bool complete;
  std::uint64_t entries;
  FileId id;
};

// CRC32_Tree item (the first entry seen with a CRC-32) and group member.
struct EntryRef {
  std::uint32_t crc32;
  std::uint32_t cd_pos;  // zip_entry_pos: its identity in the archive
  ArchiveName* archive;
};

// One member of a duplicate group, a singly linked list in recording order.
struct DupeLink {
  EntryRef* entry;
  DupeLink* next;
};

// A duplicate group (DupeTree item): its head link, for the entry recorded
// first with this CRC-32, and its last link, so that appending never walks
// the list. A group always has at least two members. Its CRC-32 is its
// entries'; the DupeTree keeps it in each node, so a search reads no group.
struct DupeGroup {
  DupeLink head;
  DupeLink* tail;
};

// FileListTree item (option -l): per archive path, its entry count (the
// entries its directory walk read), how many group members it holds, and
// whether the walk read the whole directory. `path` is borrowed, not copied.
struct ArchiveTally {
  const char* path;
  std::uint64_t total;
  std::uint64_t found;
  bool complete;
};

// Everything a run knows about its archives. The group index (DupeTree and
// the three pools) and the CRC32_Tree may go before the rest: a released
// member is null, and release_indexes skips it.
struct Index {
  RbTree* CRC32_Tree;    // EntryRef by CRC-32
  RbTree* FileTree;      // ArchiveName by path
  RbTree* DupeTree;      // DupeGroup by CRC-32
  RbTree* FileListTree;  // ArchiveTally by path
  RbTree* FileIdTree;    // the FileTree's ArchiveNames again, by FileId
  FsaPool* EntryRefPool;
  FsaPool* DupeLinkPool;
  FsaPool* DupeGroupPool;
  std::size_t group_members;      // links in all groups together
  std::uint64_t entries_read;     // by every walk of a directory
  std::uint64_t directory_bytes;  // of the directories walked
};

// A new, empty Index, or the run ends with "internal error, rbtree_alloc()
// failed" / "internal error, fsa_init() failed".
Index* create_indexes();

// Ends indexing: releases the CRC32_Tree, which only recording reads (the
// groups hold every member). No process_archive after it.
void finish_indexing(Index* ix);

// Releases the group index: the DupeTree and the EntryRef, DupeLink and
// DupeGroup pools (once nothing reads the groups any more).
void release_groups(Index* ix);

// Releases whatever the Index still holds, the FileListTree's and the
// FileTree's records included, then the Index.
void release_indexes(Index* ix);

// Indexes the archive at `path`, the file `id`: 0 when it was opened and
// walked, or when it is a file already indexed under another path (then
// "warning, same file as <first path>: <path>", and it is not read again);
// 1 when opening it failed (already reported). The same path named again
// is read again (FileTreeInsert warns). Entries are recorded in directory
// order; a CRC-32 of zero (directories, empty files) is never recorded.
int process_archive(Index* ix, const char* path, FileId id, ZipCache* cache);

// process_archive's two steps, for an archive opened elsewhere (ahead of
// time): whether `path` is a file indexed under another path (then the
// warning is written), and the walk of an opened archive, which closes `zd`.
bool same_file_elsewhere(Index* ix, const char* path, FileId id);
void index_zip(Index* ix, const char* path, FileId id, ZipDir* zd);

// The FileTree's record for `path`, new or already there. A path seen before
// gets "warning, duplicate file name: <path>" (and an empty line). Exits
// with "internal error, FileTreeInsert, out of memory".
ArchiveName* FileTreeInsert(Index* ix, const char* path);

// Records one entry; a CRC-32 seen before joins (or starts) its duplicate
// group. Always 0. Exits with "internal error, CRC32_TreeInsert, out of memory".
int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive);

// Appends `other` to the group of `first` (already in the CRC32_Tree, same
// CRC-32), creating the group when needed; returns other's new link. At most
// one tree lookup and constant work per call. Exits with "internal error,
// DupeTreeInsert, out of memory".
DupeLink* DupeTreeInsert(Index* ix, EntryRef* first, EntryRef* other);

// Counts one group member of `archive`. The first count opens the archive
// again: when that fails (the reader has said why) both counts start at 0
// and it is not complete; else its total is the entries its walk read.
// Exits with "internal error, FileListInsert, out of memory".
ArchiveTally* FileListInsert(Index* ix, const ArchiveName* archive, ZipCache* cache);

// FileListInsert in two steps, for archives opened elsewhere (ahead): counts
// one more member of an archive already counted, else adds its record at 0
// and sets *fresh; FileListOpened then completes a fresh record, counting
// its first member when the archive was `opened` again.
ArchiveTally* FileListTally(Index* ix, const ArchiveName* archive, bool* fresh);
void FileListOpened(ArchiveTally* tally, const ArchiveName* archive, bool opened);

// Releases a heap item; a null one is a broken invariant and aborts.
void free_item(void* pItem, void* ctx = nullptr);

}  // namespace zorv
