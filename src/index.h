// The archive and entry indexes that turn archives into duplicate groups,
// and the recorder that fills them from the reader.
//
// Entry names are never stored, nor anything of an entry whose CRC-32 no
// other entry shares beyond its directory position while indexing (4
// bytes). "Seen this CRC-32 before?" is asked of a hash table, not of a tree
// ordered by CRC-32: nothing ever read that order, and a search of ten
// million nodes was most of a run's time. The duplicate groups stay in the
// DupeTree, a red-black tree that gets them in the order they form: its
// pre-order is the report's order. Members are 12-byte links in pooled
// arrays, by 32-bit index: an Index holds fewer than 2^31 entries with a
// CRC-32 (more are refused: TooMany), which a machine runs out of memory
// for first. All of it lives in one Index, which the run creates and
// releases; nothing here is process-wide. The Index is reached only through
// the functions below (its tables and trees are its own; its tests see them
// through index_internal.h). Running out of memory never ends the run here:
// the operation fails, the Index keeps the first failure (index_failure)
// and does nothing more, and the caller says it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/diag.h"
#include "util/file_id.h"

namespace zorv {

struct ZipDir;    // zip/zipdir.h
struct ZipCache;  // zip/zipdir.h
struct ZipEntry;  // zip/zipdir.h

// FileTree item: the path text is stored right behind the record, in the
// same allocation, and `path` points at it. `ordinal` numbers the archives
// in the order they were first recorded (the report sorts by it). The last
// walk of its directory read `entries` entries and, when `complete`, reached
// the directory's end (else it stopped at a damaged header).
// An archive stored inside another (--nested) is recorded as one of its
// own: its path is "<outer path>!/<member name>", `outer` the archive it is
// a member of, `file` the record of the file it lies in (a file's is
// itself), and it is the `span_len` bytes from `span_base` of that file.
// An outer archive counts the entries of all its inner ones, at every
// level, in `inner_entries`, and `inner_complete` while every one of their
// walks reached its directory's end. `end_at`: the file offset of its end
// record (zip_end_offset), which tells an archive that holds itself.
// Archives lie at most this deep inside others: the walk into inner
// archives goes no deeper (a thousand levels are a few kilobytes of file).
constexpr std::uint32_t NEST_DEPTH_MAX = 16;

struct ArchiveName {
  char* path;
  std::uint32_t ordinal;
  bool complete;
  std::uint64_t entries;
  FileId id;
  ArchiveName* outer;
  const ArchiveName* file;
  std::int64_t span_base;
  std::int64_t span_len;  // -1: the whole file
  std::uint32_t depth;    // 0: a file
  std::uint64_t inner_entries;
  bool inner_complete;
  std::int64_t end_at;
  std::int64_t member_at;  // inner: where its member's bytes start in its outer's file
};

// A duplicate group (DupeTree item): its CRC-32, its members in recording
// order (a chain of member links from `head` to `tail`) and how many there
// are, always two or more.
struct DupeGroup {
  std::uint32_t crc32;
  std::uint32_t head;
  std::uint32_t tail;
  std::uint32_t size;
};

// The end of a chain of member links.
constexpr std::uint32_t NO_MEMBER = UINT32_MAX;

// One member of a group, as the report reads it: its archive and its
// position in the archive's directory (zip_entry_pos: its identity there).
struct GroupMember {
  const ArchiveName* archive;
  std::uint32_t cd_pos;
};

// FileListTree item (option -l): per archive path, its entry count (the
// entries its directory walk read), how many group members it holds, and
// whether the walk read the whole directory. `path` is borrowed, not copied.
// `covered` counts its distinct entries with a printed copy in another file:
// only when all are is the archive safe to delete. An archive with inner
// ones (--nested) counts theirs too, at every level, and only copies
// outside it cover them.
struct ArchiveTally {
  const char* path;
  std::uint64_t total;
  std::uint64_t found;
  bool complete;
  std::uint64_t covered;
  const ArchiveName* archive;
};

struct Index;

// What an Index could not do, each with its own line (index_failure_text).
enum class IndexFail {
  None,
  TreeAlloc,   // "internal error, rbtree_alloc() failed"
  TreeNode,    // the tree's own "rbtree_insert: no memory for node" (no prefix)
  CrcInsert,   // "internal error, CRC32_TreeInsert, out of memory"
  TooMany,     // "internal error, CRC32_TreeInsert, more than 2147483647 entries"
  DupeInsert,  // "internal error, DupeTreeInsert, out of memory"
  FileInsert,  // "internal error, FileTreeInsert, out of memory"
  ListInsert,  // "internal error, FileListInsert, out of memory"
};

// The line for a failure; `prefixed`: whether it is the program's own
// ("zorv: " goes before it) or a container's.
const char* index_failure_text(IndexFail fail, bool* prefixed);

// A new, empty Index whose warnings go to `diag`; null when it could not be
// made, with *fail saying why (a tree's or pool's own line was said to
// `diag` first, without the prefix).
Index* create_indexes(Diag* diag, IndexFail* fail);

// The first failure of an operation on `ix` (None: none). After one, the
// Index records nothing more; only its release is meaningful.
IndexFail index_failure(const Index* ix);

// What an Index holds: archives recorded, entries read by every walk, bytes
// of the directories walked, duplicate groups (0 once released), their
// members together, and the memory it holds for them.
struct IndexCounts {
  std::uint64_t archives;
  std::uint64_t entries_read;
  std::uint64_t directory_bytes;
  std::uint64_t groups;
  std::uint64_t group_members;
  std::uint64_t bytes;  // what its tables, arrays and trees hold
};
IndexCounts index_counts(const Index* ix);

// Visits every group in the DupeTree's pre-order: the report's order.
void index_each_group(const Index* ix, void (*visit)(const DupeGroup* group, void* ctx), void* ctx);

// The member at `link` (a group's head, or what an earlier call put in
// *next); *next becomes the next member's link, or NO_MEMBER after the last.
GroupMember index_member(const Index* ix, std::uint32_t link, std::uint32_t* next);

// Brings the member at `link` into cache: a caller that walks many groups
// asks for the next ones first.
void index_prefetch_member(const Index* ix, std::uint32_t link);

// Ends indexing: releases the first-seen table and the entries' positions,
// which only recording reads (the groups hold every member). No
// process_archive after it.
void finish_indexing(Index* ix);

// Releases the group index: the DupeTree, the groups and their members
// (once nothing reads the groups any more).
void release_groups(Index* ix);

// Releases whatever the Index still holds, the FileListTree's and the
// FileTree's records included, then the Index.
void release_indexes(Index* ix);

// Indexes the archive at `path`, the file `id`: 0 when it was opened and
// walked (or recording failed: index_failure), or when it is a file already
// indexed under another path, an equal FileId (then "warning, same file as
// <first path>: <path>", and it is not read again); 1 when opening it
// failed (the reader said why to the Index's Diag). The same path named again is read again
// (with "warning, duplicate file name"). Entries are recorded in directory
// order; a CRC-32 of zero (directories, empty files) is never recorded.
int process_archive(Index* ix, const char* path, FileId id, ZipCache* cache);

// process_archive's two steps, for an archive opened elsewhere (ahead of
// time): whether `path` is a file indexed under another path (then the
// warning is said), and the walk of an opened archive, which closes `zd`
// (false: recording failed, index_failure says why).
bool same_file_elsewhere(Index* ix, const char* path, FileId id);
bool index_zip(Index* ix, const char* path, FileId id, ZipDir* zd);

// index_zip for a walk that hands every entry on as well (--nested: to
// find the inner archives), and that may record an archive stored inside
// `outer` (not null), the `len` bytes from `base` of its file: `file` (null:
// the outer archive's file; else the file it was decoded to), its member's
// bytes starting at `member_at` of the outer's file. Such an archive is
// never a file seen under another path, and a path recorded again says
// nothing: its file's line was said. *recorded: the record made (null when
// recording failed).
struct WalkHooks {
  void (*entry)(const ZipEntry& entry, const ZipDir* zd, void* ctx);
  void* ctx;
  ArchiveName* outer;
  std::int64_t base;
  std::int64_t len;
  const ArchiveName* file;
  std::int64_t member_at;
  ArchiveName* recorded;
};
bool index_zip(Index* ix, const char* path, FileId id, ZipDir* zd, WalkHooks* hooks);

// The archive recorded at `path`, or null.
const ArchiveName* index_archive_at(const Index* ix, const char* path);

// Option -l: counts one group member of `archive`. The first count records
// whether the archive `opened` when it was read again for the report: when
// it did not, both counts start at 0 and it is not complete; else its total
// is the entries its indexing walk read. Null when no record could be made
// (ListInsert).
ArchiveTally* FileListInsert(Index* ix, const ArchiveName* archive, bool opened);

// Visits every -l record in ascending path order.
void index_each_listed(const Index* ix, void (*visit)(const ArchiveTally* tally, void* ctx),
                       void* ctx);

}  // namespace zorv
