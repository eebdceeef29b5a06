#include "index.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "index_internal.h"
#include "util/crc_table.h"
#include "zip/zipdir.h"

namespace zorv {

namespace {

// Keeps the first failure; false, for the caller to return.
bool fail(Index* ix, IndexFail why) {
  if (ix->failure == IndexFail::None) ix->failure = why;
  return false;
}

// The orderings of the indexes. The two CRC-32 indexes are ordered by the
// unsigned CRC-32, kept in the tree's nodes; the path indexes by strcmp, of
// which only the sign counts.
std::uint32_t dupe_key(const void* item) {
  return static_cast<const DupeGroup*>(item)->crc32;
}

std::int32_t archive_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveName*>(key)->path,
                     static_cast<const ArchiveName*>(stored)->path);
}

std::int32_t id_compare(const void* key, const void* stored) {
  return file_id_compare(static_cast<const ArchiveName*>(key)->id,
                         static_cast<const ArchiveName*>(stored)->id);
}

std::int32_t tally_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveTally*>(key)->path,
                     static_cast<const ArchiveTally*>(stored)->path);
}

// The walk that recorded entry `number`: the last walk whose first entry
// is not after it. Asked once per group, when it forms.
std::uint32_t walk_of(const Index* ix, std::uint32_t number) {
  std::uint32_t low = 0;
  std::uint32_t high = ix->walks.count;  // the answer lies in [low, high)
  while (high - low > 1) {
    std::uint32_t mid = low + (high - low) / 2;
    if (ix->walks[mid].first <= number) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return low;
}

// A member link added at the end of `group` (null: it starts one).
bool add_member(Index* ix, DupeGroup* group, std::uint32_t cd_pos, std::uint32_t walk) {
  if (!ix->members.push(MemberLink{cd_pos, walk, NO_MEMBER}))
    return fail(ix, IndexFail::DupeInsert);
  std::uint32_t link = ix->members.count - 1;
  ix->members[group->tail].next = link;
  group->tail = link;
  ++group->size;
  return true;
}

// The group of the entry recorded first with `crc32` (number `first`), made
// now and put in the DupeTree: the tree gets its groups in the order they
// form, which is the report's order. Its index, or MAX_ENTRIES on a failure.
std::uint32_t form_group(Index* ix, std::uint32_t crc32, std::uint32_t first) {
  std::uint32_t walk = walk_of(ix, first);
  if (ix->groups.count >= MAX_ENTRIES ||
      !ix->members.push(MemberLink{ix->positions[first], walk, NO_MEMBER})) {
    fail(ix, IndexFail::DupeInsert);
    return MAX_ENTRIES;
  }
  std::uint32_t head = ix->members.count - 1;
  if (!ix->groups.push(DupeGroup{crc32, head, head, 1})) {
    --ix->members.count;  // the head's link, never handed out
    fail(ix, IndexFail::DupeInsert);
    return MAX_ENTRIES;
  }
  std::uint32_t g = ix->groups.count - 1;
  bool no_memory = false;
  rbtree_insert(ix->DupeTree, &ix->groups[g], &no_memory);  // never there: one group per CRC-32
  if (no_memory) {
    --ix->groups.count;
    --ix->members.count;
    fail(ix, IndexFail::TreeNode);
    return MAX_ENTRIES;
  }
  return g;
}

// Records one entry of the current walk (room for it in the first-seen
// table already made): the first with its CRC-32 is only counted, with its
// position; the second forms their group; later ones join it.
bool record_entry(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos) {
  std::uint32_t number = ix->positions.count;
  if (number >= MAX_ENTRIES) return fail(ix, IndexFail::TooMany);
  if (!ix->positions.push(cd_pos)) return fail(ix, IndexFail::CrcInsert);
  CrcSlot* slot = crc_table_slot(&ix->first_seen, crc32);
  if (slot == nullptr) return fail(ix, IndexFail::CrcInsert);
  if (slot->key == 0) {
    crc_table_put(&ix->first_seen, slot, crc32, number);
    return true;
  }
  if ((slot->value & GROUP_MARK) == 0) {
    std::uint32_t g = form_group(ix, crc32, slot->value);
    if (g == MAX_ENTRIES) return false;
    slot->value = GROUP_MARK | g;
  }
  return add_member(ix, &ix->groups[slot->value & ~GROUP_MARK], cd_pos, ix->walks.count - 1);
}

// Entries are recorded a batch at a time: the table slots of a batch are
// brought into cache together (their memory latencies overlap), then the
// groups they name, then the entries are recorded one by one, in directory
// order as always.
constexpr std::size_t RECORD_BATCH = 16;

struct Recording {
  std::size_t count;
  std::uint32_t crc32[RECORD_BATCH];
  std::uint32_t cd_pos[RECORD_BATCH];
};

bool record_batch(Index* ix, Recording& r) {
  std::size_t n = std::exchange(r.count, 0);
  if (n == 0) return true;
  for (std::size_t i = 0; i < n; ++i)
    crc_table_prefetch(&ix->first_seen, r.crc32[i]);
  for (std::size_t i = 0; i < n; ++i) {
    const CrcSlot* slot = crc_table_find(&ix->first_seen, r.crc32[i]);
    // A group's tail is where the entry is linked.
    if (slot != nullptr && (slot->value & GROUP_MARK) != 0) {
      const DupeGroup& group = ix->groups[slot->value & ~GROUP_MARK];
      __builtin_prefetch(&group);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!record_entry(ix, r.crc32[i], r.cd_pos[i])) return false;
  }
  return true;
}

// A walk of `archive` starts with the next entry recorded.
bool start_walk(Index* ix, ArchiveName* archive) {
  if (ix->walks.push(IndexWalk{ix->positions.count, archive})) return true;
  return fail(ix, IndexFail::CrcInsert);
}

void release_tree(RbTree*& tree) {
  if (tree != nullptr) rbtree_free(tree);
  tree = nullptr;
}

}  // namespace

const char* index_failure_text(IndexFail fail, bool* prefixed) {
  *prefixed = fail != IndexFail::TreeNode;
  switch (fail) {
    case IndexFail::None:
      break;
    case IndexFail::TreeAlloc:
      return "internal error, rbtree_alloc() failed";
    case IndexFail::TreeNode:
      return RB_NO_MEMORY_TEXT;
    case IndexFail::CrcInsert:
      return "internal error, CRC32_TreeInsert, out of memory";
    case IndexFail::TooMany:
      return "internal error, CRC32_TreeInsert, more than 2147483647 entries";
    case IndexFail::DupeInsert:
      return "internal error, DupeTreeInsert, out of memory";
    case IndexFail::FileInsert:
      return "internal error, FileTreeInsert, out of memory";
    case IndexFail::ListInsert:
      return "internal error, FileListInsert, out of memory";
  }
  return "internal error, no failure";
}

namespace {

// Says a container's own line for a failed creation (none when only the
// tree's record found no memory).
void say_container(Diag* diag, const FsaFailure& failure) {
  if (failure.fault == FsaFault::None) return;
  char text[96];
  say_bare(diag, "%s", fsa_failure_text(failure, text, sizeof text));
}

RbTree* make_tree(Diag* diag, RbCompare compare, RbKey key, bool* ok) {
  FsaFailure failure{};
  RbTree* tree =
      key != nullptr ? rbtree_alloc_keyed(key, &failure) : rbtree_alloc(compare, &failure);
  if (tree == nullptr) say_container(diag, failure);
  *ok = *ok && tree != nullptr;
  return tree;
}

}  // namespace

Index* create_indexes(Diag* diag, IndexFail* fail) {
  auto* ix = static_cast<Index*>(std::calloc(1, sizeof(Index)));
  if (ix == nullptr) {
    *fail = IndexFail::TreeAlloc;
    return nullptr;
  }
  ix->diag = diag;
  bool trees = true;
  ix->first_seen = crc_table_make();
  ix->FileTree = make_tree(diag, archive_compare, nullptr, &trees);
  ix->DupeTree = make_tree(diag, nullptr, dupe_key, &trees);
  ix->FileListTree = make_tree(diag, tally_compare, nullptr, &trees);
  ix->FileIdTree = make_tree(diag, id_compare, nullptr, &trees);
  if (!trees) {
    release_indexes(ix);
    *fail = IndexFail::TreeAlloc;
    return nullptr;
  }
  *fail = IndexFail::None;
  return ix;
}

IndexFail index_failure(const Index* ix) {
  return ix->failure;
}

IndexCounts index_counts(const Index* ix) {
  std::uint64_t bytes = crc_table_bytes(&ix->first_seen) + ix->positions.bytes() +
                        ix->walks.bytes() + ix->groups.bytes() + ix->members.bytes();
  for (const RbTree* tree : {ix->FileTree, ix->DupeTree, ix->FileListTree, ix->FileIdTree})
    if (tree != nullptr) bytes += tree->nodes->bytes;
  return IndexCounts{static_cast<std::uint64_t>(ix->FileTree->count),
                     ix->entries_read,
                     ix->directory_bytes,
                     ix->groups.count,
                     ix->members.count,
                     bytes};
}

GroupMember index_member(const Index* ix, std::uint32_t link, std::uint32_t* next) {
  const MemberLink& m = ix->members[link];
  *next = m.next;
  return GroupMember{ix->walks[m.walk].archive, m.cd_pos};
}

void index_prefetch_member(const Index* ix, std::uint32_t link) {
  __builtin_prefetch(&ix->members[link]);
}

namespace {

// A tree walk's visit of opaque items, handed on as records of type T.
template <typename T>
struct Visit {
  void (*visit)(const T* item, void* ctx);
  void* ctx;
  static void call(void* item, void* self) {
    auto* v = static_cast<Visit*>(self);
    v->visit(static_cast<const T*>(item), v->ctx);
  }
};

}  // namespace

void index_each_group(const Index* ix, void (*visit)(const DupeGroup* group, void* ctx),
                      void* ctx) {
  if (ix->DupeTree == nullptr) return;
  Visit<DupeGroup> v{visit, ctx};
  rbtree_walk(ix->DupeTree, Visit<DupeGroup>::call, &v);
}

void index_each_listed(const Index* ix, void (*visit)(const ArchiveTally* tally, void* ctx),
                       void* ctx) {
  Visit<ArchiveTally> v{visit, ctx};
  rbtree_walk_ascending(ix->FileListTree, Visit<ArchiveTally>::call, &v);
}

void finish_indexing(Index* ix) {
  crc_table_free(&ix->first_seen);
  ix->positions.release();
}

void release_groups(Index* ix) {
  release_tree(ix->DupeTree);
  ix->groups.release();
  ix->members.release();
  ix->walks.release();
}

void release_indexes(Index* ix) {
  release_groups(ix);
  finish_indexing(ix);
  if (ix->FileListTree != nullptr) rbtree_walk(ix->FileListTree, free_item, nullptr);
  if (ix->FileTree != nullptr) rbtree_walk(ix->FileTree, free_item, nullptr);
  release_tree(ix->FileTree);
  release_tree(ix->FileListTree);
  release_tree(ix->FileIdTree);  // its items were the FileTree's
  std::free(ix);
}

bool same_file_elsewhere(Index* ix, const char* path, FileId id) {
  ArchiveName key{};
  key.path = const_cast<char*>(path);
  key.id = id;
  if (rbtree_find(ix->FileTree, &key) != nullptr) return false;
  auto* first = static_cast<const ArchiveName*>(rbtree_find(ix->FileIdTree, &key));
  if (first == nullptr) return false;
  say(ix->diag, "warning, same file as %s: %s", first->path, path);
  return true;
}

const ArchiveName* index_archive_at(const Index* ix, const char* path) {
  ArchiveName key{};
  key.path = const_cast<char*>(path);
  return static_cast<const ArchiveName*>(rbtree_find(ix->FileTree, &key));
}

int process_archive(Index* ix, const char* path, FileId id, ZipCache* cache) {
  if (same_file_elsewhere(ix, path, id)) return 0;
  ZipDir* zd = openzip(path, ix->diag, cache);
  if (zd == nullptr) return 1;
  index_zip(ix, path, id, zd);
  return 0;
}

bool index_zip(Index* ix, const char* path, FileId id, ZipDir* zd) {
  return index_zip(ix, path, id, zd, nullptr);
}

namespace {

// Makes `archive` the inner archive the hooks name, and counts its walk for
// every archive it lies in.
void place_inner(ArchiveName* archive, const WalkHooks& hooks) {
  archive->outer = hooks.outer;
  archive->file = hooks.file != nullptr ? hooks.file : hooks.outer->file;
  archive->member_at = hooks.member_at;
  archive->span_base = hooks.base;
  archive->span_len = hooks.len;
  archive->depth = hooks.outer->depth + 1;
}

void count_inner(const ArchiveName* archive) {
  for (ArchiveName* a = archive->outer; a != nullptr; a = a->outer) {
    a->inner_entries += archive->entries;
    a->inner_complete = a->inner_complete && archive->complete;
  }
}

}  // namespace

bool index_zip(Index* ix, const char* path, FileId id, ZipDir* zd, WalkHooks* hooks) {
  bool inner = hooks != nullptr && hooks->outer != nullptr;
  if (hooks != nullptr) hooks->recorded = nullptr;
  ArchiveName* archive =
      ix->failure == IndexFail::None ? FileTreeInsert(ix, path, inner) : nullptr;
  bool no_memory = false;
  if (archive != nullptr && !inner && archive->depth > 0) {
    // A file whose path is that of an inner archive read before: one
    // record cannot be both.
    say(ix->diag, "error, inner archive name seen before: %s", path);
    closezip(zd);
    return true;
  }
  if (archive != nullptr) {
    archive->id = id;
    archive->end_at = zip_end_offset(zd);
    archive->inner_entries = 0;  // its inner archives' walks come after this one
    archive->inner_complete = true;
    if (inner) {
      place_inner(archive, *hooks);
    } else {
      rbtree_insert(ix->FileIdTree, archive, &no_memory);  // the first path to it stays
    }
    if (no_memory) fail(ix, IndexFail::TreeNode);
  }
  if (archive == nullptr || no_memory || !start_walk(ix, archive)) {
    closezip(zd);
    return false;
  }
  Recording r;
  r.count = 0;
  std::uint64_t entries = 0;
  const ZipEntry* entry;
  ZipRead read;
  bool recorded = true;
  while (recorded && (read = readzip(zd, &entry, ix->diag)) == ZipRead::Entry) {
    ++entries;
    if (hooks != nullptr && hooks->entry != nullptr) hooks->entry(*entry, zd, hooks->ctx);
    // CRC-32 zero: directories and empty files, never reported.
    if (entry->crc32 == 0) continue;
    r.crc32[r.count] = entry->crc32;
    r.cd_pos[r.count] = zip_entry_pos(zd);
    if (++r.count == RECORD_BATCH) recorded = record_batch(ix, r);
  }
  recorded = recorded && record_batch(ix, r);
  archive->entries = entries;
  archive->complete = read == ZipRead::End;
  ix->entries_read += entries;
  ix->directory_bytes += zip_layout(zd).end.cd_size;
  if (inner) count_inner(archive);
  if (hooks != nullptr) hooks->recorded = archive;
  closezip(zd);
  return recorded;
}

ArchiveName* FileTreeInsert(Index* ix, const char* path, bool quiet) {
  std::size_t len = std::strlen(path) + 1;
  auto* record = static_cast<ArchiveName*>(std::malloc(sizeof(ArchiveName) + len));
  if (record == nullptr) return fail(ix, IndexFail::FileInsert), nullptr;
  record->path = reinterpret_cast<char*>(record + 1);
  record->ordinal = static_cast<std::uint32_t>(ix->FileTree->count);
  record->complete = false;
  record->entries = 0;
  record->id = FileId{};
  record->outer = nullptr;
  record->file = record;
  record->span_base = 0;
  record->span_len = -1;
  record->depth = 0;
  record->inner_entries = 0;
  record->inner_complete = true;
  record->end_at = -1;
  record->member_at = -1;
  std::memcpy(record->path, path, len);
  bool no_memory = false;
  auto* existing = static_cast<ArchiveName*>(rbtree_insert(ix->FileTree, record, &no_memory));
  if (existing == nullptr && !no_memory) return record;
  std::free(record);
  if (no_memory) return fail(ix, IndexFail::TreeNode), nullptr;
  if (!quiet) say(ix->diag, "warning, duplicate file name: %s\n", path);
  return existing;
}

int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive) {
  bool same_walk = ix->walks.count > 0 && ix->walks[ix->walks.count - 1].archive == archive;
  if (!same_walk && !start_walk(ix, archive)) return 1;
  return record_entry(ix, crc32, cd_pos) ? 0 : 1;
}

// The count is what the indexing walk read, the directory whose entries
// the groups hold (on a sound archive, the end record's); the archive was
// read again for the report, so that one gone since indexing is never
// called copied whole.
ArchiveTally* FileListInsert(Index* ix, const ArchiveName* archive, bool opened) {
  ArchiveTally key{archive->path, 0, 0, false, 0, archive};
  auto* tally = static_cast<ArchiveTally*>(rbtree_find(ix->FileListTree, &key));
  if (tally != nullptr) {
    ++tally->found;
    return tally;
  }
  tally = static_cast<ArchiveTally*>(std::malloc(sizeof(ArchiveTally)));
  if (tally == nullptr) return fail(ix, IndexFail::ListInsert), nullptr;
  *tally = key;
  bool no_memory = false;
  rbtree_insert(ix->FileListTree, tally, &no_memory);
  if (no_memory) {
    std::free(tally);
    return fail(ix, IndexFail::TreeNode), nullptr;
  }
  if (opened) {
    tally->total = archive->entries + archive->inner_entries;
    tally->complete = archive->complete && archive->inner_complete;
    tally->found = 1;
  }
  return tally;
}

void free_item(void* item, void*) {
  ZORV_ASSERT(item != nullptr, "pItem != NULL");
  std::free(item);
}

}  // namespace zorv
