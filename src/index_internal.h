// The inside of an Index, and the single steps of recording, for the
// index's own tests (and only them): the program reaches an Index through
// index.h.
#pragma once

#include "index.h"
#include "util/chunked.h"
#include "util/crc_table.h"
#include "util/rbtree.h"

namespace zorv {

// One walk of an archive's directory: the entries it recorded are numbered
// from `first` on (up to the next walk's first).
struct IndexWalk {
  std::uint32_t first;
  ArchiveName* archive;
};

// A group member: its directory position, the walk that recorded it, and
// the next member of its group (NO_MEMBER: none).
struct MemberLink {
  std::uint32_t cd_pos;
  std::uint32_t walk;
  std::uint32_t next;
};

// What a first-seen slot holds: the number of the entry recorded first
// with the slot's CRC-32 or, once a second came, GROUP_MARK | its group.
constexpr std::uint32_t GROUP_MARK = std::uint32_t{1} << 31;
constexpr std::uint32_t MAX_ENTRIES = GROUP_MARK - 1;

// The group index (the DupeTree, the groups, their members and the walks)
// and the first-seen table with the entries' positions may go before the
// rest: a released member is empty, and release_indexes skips it.
struct Index {
  CrcTable first_seen;               // CRC-32 -> first entry, or its group
  Chunked<std::uint32_t> positions;  // cd_pos of every entry recorded, by number
  Chunked<IndexWalk> walks;          // in recording order
  Chunked<DupeGroup> groups;         // in the order they formed
  Chunked<MemberLink> members;       // of every group
  RbTree* FileTree;                  // ArchiveName by path
  RbTree* DupeTree;                  // DupeGroup by CRC-32
  RbTree* FileListTree;              // ArchiveTally by path
  RbTree* FileIdTree;                // the FileTree's ArchiveNames again, by FileId
  std::uint64_t entries_read;        // by every walk of a directory
  std::uint64_t directory_bytes;     // of the directories walked
  Diag* diag;                        // where its warnings go
  IndexFail failure;                 // the first failure; then nothing more is recorded
};

// The FileTree's record for `path`, new or already there. A path seen before
// gets "warning, duplicate file name: <path>" (and an empty line). Null on
// a failure (FileInsert, TreeNode). `quiet`: the path seen before says
// nothing (an inner archive of a file named again).
ArchiveName* FileTreeInsert(Index* ix, const char* path, bool quiet = false);

// Records one entry of `archive` (a walk of its own when the last entry
// recorded was another archive's); a CRC-32 seen before joins (or starts)
// its duplicate group. 0, or 1 on a failure (CrcInsert, TooMany,
// DupeInsert, TreeNode).
int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive);

// Releases a heap item; a null one is a broken invariant and aborts.
void free_item(void* item, void* ctx = nullptr);

}  // namespace zorv
