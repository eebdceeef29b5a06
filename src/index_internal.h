// The inside of an Index, and the single steps of recording, for the
// index's own tests (and only them): the program reaches an Index through
// index.h.
#pragma once

#include "index.h"
#include "util/crc_table.h"
#include "util/fsa.h"
#include "util/rbtree.h"

namespace zorv {

// The group index (DupeTree and the three pools) and the first-seen table
// may go before the rest: a released member is null (empty), and
// release_indexes skips it.
struct Index {
  // The first EntryRef recorded with each CRC-32, or its group once it has
  // one (see index.cc): only ever asked "seen before?", never walked.
  CrcTable first_seen;
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
  Diag* diag;                     // where its warnings go
  IndexFail failure;              // the first failure; then nothing more is recorded
};

// The FileTree's record for `path`, new or already there. A path seen before
// gets "warning, duplicate file name: <path>" (and an empty line). Null on
// a failure (FileInsert, TreeNode).
ArchiveName* FileTreeInsert(Index* ix, const char* path);

// Records one entry; a CRC-32 seen before joins (or starts) its duplicate
// group. 0, or 1 on a failure (CrcInsert, DupeInsert, TreeNode).
int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive);

// Appends `other` to the group of `first` (recorded before it, same
// CRC-32), creating the group when needed (insert-or-find in the DupeTree);
// returns other's new link, or null on a failure (DupeInsert, TreeNode).
DupeLink* DupeTreeInsert(Index* ix, EntryRef* first, EntryRef* other);

// Releases a heap item; a null one is a broken invariant and aborts.
void free_item(void* item, void* ctx = nullptr);

}  // namespace zorv
