// The archive and entry indexes that turn archives into duplicate groups.
//
// Entry names are never stored: an entry is remembered by its CRC-32, its
// position in its archive's central directory and its archive, one pooled
// EntryRef each. The trees and pools are process-wide; the run driver creates
// and releases them.
#pragma once

#include <cstdint>

#include "util/fsa.h"
#include "util/rbtree.h"

namespace zorv {

// FileTree item: the path text is stored right behind the record, in the
// same allocation, and `path` points at it. `ordinal` numbers the archives
// in the order they were first recorded (the report sorts by it).
struct ArchiveName {
  char* path;
  std::uint32_t ordinal;
};

// CRC32_Tree item (the first entry seen with a CRC-32) and group member.
struct EntryRef {
  std::uint32_t crc32;
  std::uint32_t cd_pos;  // the reader's cursor just past the entry: its identity in the archive
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

// FileListTree item (option -l): per archive path, the ECD's total entry
// count and how many group members it holds. `path` is borrowed, not copied.
struct ArchiveTally {
  const char* path;
  int total;
  int found;
};

extern RbTree* CRC32_Tree;    // EntryRef by CRC-32
extern RbTree* FileTree;      // ArchiveName by path
extern RbTree* DupeTree;      // DupeGroup by CRC-32
extern RbTree* FileListTree;  // ArchiveTally by path
extern FsaPool* EntryRefPool;
extern FsaPool* DupeLinkPool;
extern FsaPool* DupeGroupPool;

// The FileTree's record for `path`, new or already there. A path seen before
// gets "warning, duplicate file name: <path>" (and an empty line). Exits
// with "internal error, FileTreeInsert, out of memory".
ArchiveName* FileTreeInsert(const char* path);

// Records one entry; a CRC-32 seen before joins (or starts) its duplicate
// group. Always 0. Exits with "internal error, CRC32_TreeInsert, out of memory".
// A caller that has already searched the trees for this CRC-32 (a batch
// warms its paths and learns what is there) passes what it found: `first`,
// the entry the CRC32_Tree holds for it, and `group`, its group in the
// DupeTree; then that tree is not searched again. Null means "not known",
// never "not there": entries and groups are never removed while indexing,
// so what a search found stays true.
int CRC32_TreeInsert(std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive,
                     EntryRef* first = nullptr, DupeGroup* group = nullptr);

// Appends `other` to the group of `first` (already in the CRC32_Tree, same
// CRC-32), creating the group when needed; returns other's new link. At most
// one tree lookup (none when the caller passes the group, already known) and
// constant work per call. Exits with "internal error, DupeTreeInsert, out of memory".
DupeLink* DupeTreeInsert(EntryRef* first, EntryRef* other, DupeGroup* group = nullptr);

// Counts one group member of the archive at `path` (kept, not copied). The
// first count opens the archive for its total entry count; when that fails
// (the reader has said why) both counts start at 0. Exits with
// "internal error, FileListInsert, out of memory".
ArchiveTally* FileListInsert(const char* path);

}  // namespace zorv
