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
  return static_cast<const DupeGroup*>(item)->head.entry->crc32;
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

// A first-seen slot holds the entry recorded first with its CRC-32 itself:
// its position (aux) and its archive (value). Most entries are never
// copied, and they cost no EntryRef. From the moment a second one came, the
// value is their group instead, marked by its low bit (pooled records are
// aligned to 8), and no entry of that CRC-32 searches the DupeTree again.
constexpr std::uintptr_t GROUP_MARK = 1;

void* marked(DupeGroup* group) {
  return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(group) | GROUP_MARK);
}

DupeGroup* group_in(void* value) {
  auto bits = reinterpret_cast<std::uintptr_t>(value);
  return (bits & GROUP_MARK) != 0 ? reinterpret_cast<DupeGroup*>(bits & ~GROUP_MARK) : nullptr;
}

// The group headed by `first`, made now and put in the DupeTree, or the
// one the DupeTree holds for its CRC-32 already (insert-or-find: the tree
// gets its groups in the order they form, which is the report's order).
DupeGroup* form_group(Index* ix, EntryRef* first) {
  auto* group = static_cast<DupeGroup*>(fsa_alloc(ix->DupeGroupPool));
  if (group == nullptr) return fail(ix, IndexFail::DupeInsert), nullptr;
  group->head = DupeLink{first, nullptr};
  group->tail = &group->head;
  bool no_memory = false;
  auto* existing = static_cast<DupeGroup*>(rbtree_insert(ix->DupeTree, group, &no_memory));
  if (no_memory || existing != nullptr) fsa_free(ix->DupeGroupPool, group);
  if (no_memory) return fail(ix, IndexFail::TreeNode), nullptr;
  if (existing != nullptr) return existing;
  ++ix->group_members;  // the head
  return group;
}

DupeLink* append(Index* ix, DupeGroup* group, EntryRef* other) {
  auto* link = static_cast<DupeLink*>(fsa_alloc(ix->DupeLinkPool));
  if (link == nullptr) return fail(ix, IndexFail::DupeInsert), nullptr;
  ++ix->group_members;
  *link = DupeLink{other, nullptr};
  group->tail->next = link;
  group->tail = link;
  return link;
}

EntryRef* new_entry(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive) {
  auto* entry = static_cast<EntryRef*>(fsa_alloc(ix->EntryRefPool));
  if (entry == nullptr) return fail(ix, IndexFail::CrcInsert), nullptr;
  *entry = EntryRef{crc32, cd_pos, archive};
  return entry;
}

// Records one entry (room for it in the first-seen table already made):
// the first with its CRC-32 stays in the table, the second forms the group
// (the first becomes its head), later ones join it.
bool record_entry(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive) {
  CrcSlot* slot = crc_table_slot(&ix->first_seen, crc32);
  if (slot->key == 0) {
    crc_table_put(&ix->first_seen, slot, crc32, archive, cd_pos);
    return true;
  }
  DupeGroup* group = group_in(slot->value);
  if (group == nullptr) {
    EntryRef* first = new_entry(ix, crc32, slot->aux, static_cast<ArchiveName*>(slot->value));
    group = first != nullptr ? form_group(ix, first) : nullptr;
    if (group == nullptr) return false;
    slot->value = marked(group);
  }
  EntryRef* entry = new_entry(ix, crc32, cd_pos, archive);
  return entry != nullptr && append(ix, group, entry) != nullptr;
}

// Entries are recorded a batch at a time: the table slots of a batch are
// brought into cache together (their memory latencies overlap), then the
// groups they name, then the entries are recorded one by one, in directory
// order as always.
constexpr std::size_t RECORD_BATCH = 16;

struct Recording {
  ArchiveName* archive;
  std::size_t count;
  std::uint32_t crc32[RECORD_BATCH];
  std::uint32_t cd_pos[RECORD_BATCH];
};

bool record_batch(Index* ix, Recording& r) {
  std::size_t n = std::exchange(r.count, 0);
  if (n == 0) return true;
  // Room for the whole batch first: the table never grows under it.
  if (!crc_table_reserve(&ix->first_seen, n)) return fail(ix, IndexFail::CrcInsert);
  for (std::size_t i = 0; i < n; ++i)
    crc_table_prefetch(&ix->first_seen, r.crc32[i]);
  for (std::size_t i = 0; i < n; ++i) {
    const CrcSlot* slot = crc_table_slot(&ix->first_seen, r.crc32[i]);
    // A group's tail is where the entry is linked.
    if (slot->key != 0) {
      if (DupeGroup* group = group_in(slot->value)) __builtin_prefetch(group);
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!record_entry(ix, r.crc32[i], r.cd_pos[i], r.archive)) return false;
  }
  return true;
}

void release_tree(RbTree*& tree) {
  if (tree != nullptr) rbtree_free(tree);
  tree = nullptr;
}

void release_pool(FsaPool*& pool) {
  fsa_exit(pool);
  pool = nullptr;
}

}  // namespace

const char* index_failure_text(IndexFail fail, bool* prefixed) {
  *prefixed = fail != IndexFail::TreeNode;
  switch (fail) {
    case IndexFail::None:
      break;
    case IndexFail::TreeAlloc:
      return "internal error, rbtree_alloc() failed";
    case IndexFail::PoolInit:
      return "internal error, fsa_init() failed";
    case IndexFail::TreeNode:
      return RB_NO_MEMORY_TEXT;
    case IndexFail::CrcInsert:
      return "internal error, CRC32_TreeInsert, out of memory";
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

FsaPool* make_pool(Diag* diag, std::uint32_t item_size, bool* ok) {
  FsaFailure failure{};
  FsaPool* pool = fsa_init(item_size, 1024, &failure);
  if (pool == nullptr) say_container(diag, failure);
  *ok = *ok && pool != nullptr;
  return pool;
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
  bool pools = true;
  ix->EntryRefPool = make_pool(diag, sizeof(EntryRef), &pools);
  ix->DupeLinkPool = make_pool(diag, sizeof(DupeLink), &pools);
  ix->DupeGroupPool = make_pool(diag, sizeof(DupeGroup), &pools);
  if (!pools) {
    release_indexes(ix);
    *fail = IndexFail::PoolInit;
    return nullptr;
  }
  *fail = IndexFail::None;
  return ix;
}

IndexFail index_failure(const Index* ix) {
  return ix->failure;
}

IndexCounts index_counts(const Index* ix) {
  auto groups = ix->DupeTree != nullptr ? ix->DupeTree->count : 0;
  return IndexCounts{static_cast<std::uint64_t>(ix->FileTree->count), ix->entries_read,
                     ix->directory_bytes, static_cast<std::uint64_t>(groups), ix->group_members};
}

namespace {

struct GroupVisit {
  void (*visit)(const DupeGroup* group, void* ctx);
  void* ctx;
};

void visit_group(void* item, void* ctx) {
  auto* v = static_cast<GroupVisit*>(ctx);
  v->visit(static_cast<const DupeGroup*>(item), v->ctx);
}

struct TallyVisit {
  void (*visit)(const ArchiveTally* tally, void* ctx);
  void* ctx;
};

void visit_tally(void* item, void* ctx) {
  auto* v = static_cast<TallyVisit*>(ctx);
  v->visit(static_cast<const ArchiveTally*>(item), v->ctx);
}

}  // namespace

void index_each_group(const Index* ix, void (*visit)(const DupeGroup* group, void* ctx),
                      void* ctx) {
  if (ix->DupeTree == nullptr) return;
  GroupVisit v{visit, ctx};
  rbtree_walk(ix->DupeTree, visit_group, &v);
}

void index_each_listed(const Index* ix, void (*visit)(const ArchiveTally* tally, void* ctx),
                       void* ctx) {
  TallyVisit v{visit, ctx};
  rbtree_walk_ascending(ix->FileListTree, visit_tally, &v);
}

void finish_indexing(Index* ix) {
  crc_table_free(&ix->first_seen);
}

void release_groups(Index* ix) {
  release_pool(ix->EntryRefPool);
  release_pool(ix->DupeLinkPool);
  release_pool(ix->DupeGroupPool);
  release_tree(ix->DupeTree);
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
  ArchiveName key{const_cast<char*>(path), 0, false, 0, id};
  if (rbtree_find(ix->FileTree, &key) != nullptr) return false;
  auto* first = static_cast<const ArchiveName*>(rbtree_find(ix->FileIdTree, &key));
  if (first == nullptr) return false;
  say(ix->diag, "warning, same file as %s: %s", first->path, path);
  return true;
}

int process_archive(Index* ix, const char* path, FileId id, ZipCache* cache) {
  if (same_file_elsewhere(ix, path, id)) return 0;
  ZipDir* zd = openzip(path, ix->diag, cache);
  if (zd == nullptr) return 1;
  index_zip(ix, path, id, zd);
  return 0;
}

bool index_zip(Index* ix, const char* path, FileId id, ZipDir* zd) {
  Recording r;
  r.archive = ix->failure == IndexFail::None ? FileTreeInsert(ix, path) : nullptr;
  bool no_memory = false;
  if (r.archive != nullptr) {
    r.archive->id = id;
    rbtree_insert(ix->FileIdTree, r.archive, &no_memory);  // the first path to it stays
  }
  if (r.archive == nullptr || no_memory) {
    if (no_memory) fail(ix, IndexFail::TreeNode);
    closezip(zd);
    return false;
  }
  r.count = 0;
  std::uint64_t entries = 0;
  const ZipEntry* entry;
  ZipRead read;
  bool recorded = true;
  while (recorded && (read = readzip(zd, &entry, ix->diag)) == ZipRead::Entry) {
    ++entries;
    // CRC-32 zero: directories and empty files, never reported.
    if (entry->crc32 == 0) continue;
    r.crc32[r.count] = entry->crc32;
    r.cd_pos[r.count] = zip_entry_pos(zd);
    if (++r.count == RECORD_BATCH) recorded = record_batch(ix, r);
  }
  recorded = recorded && record_batch(ix, r);
  r.archive->entries = entries;
  r.archive->complete = read == ZipRead::End;
  ix->entries_read += entries;
  ix->directory_bytes += zip_layout(zd).end.cd_size;
  closezip(zd);
  return recorded;
}

ArchiveName* FileTreeInsert(Index* ix, const char* path) {
  std::size_t len = std::strlen(path) + 1;
  auto* record = static_cast<ArchiveName*>(std::malloc(sizeof(ArchiveName) + len));
  if (record == nullptr) return fail(ix, IndexFail::FileInsert), nullptr;
  record->path = reinterpret_cast<char*>(record + 1);
  record->ordinal = static_cast<std::uint32_t>(ix->FileTree->count);
  record->complete = false;
  record->entries = 0;
  record->id = FileId{0, 0};
  std::memcpy(record->path, path, len);
  bool no_memory = false;
  auto* existing = static_cast<ArchiveName*>(rbtree_insert(ix->FileTree, record, &no_memory));
  if (existing == nullptr && !no_memory) return record;
  std::free(record);
  if (no_memory) return fail(ix, IndexFail::TreeNode), nullptr;
  say(ix->diag, "warning, duplicate file name: %s\n", path);
  return existing;
}

int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive) {
  if (!crc_table_reserve(&ix->first_seen, 1)) return fail(ix, IndexFail::CrcInsert), 1;
  return record_entry(ix, crc32, cd_pos, archive) ? 0 : 1;
}

DupeLink* DupeTreeInsert(Index* ix, EntryRef* first, EntryRef* other) {
  DupeGroup* group = form_group(ix, first);
  return group != nullptr ? append(ix, group, other) : nullptr;
}

// The count is what the indexing walk read, the directory whose entries
// the groups hold (on a sound archive, the end record's); the archive was
// read again for the report, so that one gone since indexing is never
// called copied whole.
ArchiveTally* FileListInsert(Index* ix, const ArchiveName* archive, bool opened) {
  ArchiveTally key{archive->path, 0, 0, false};
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
    tally->total = archive->entries;
    tally->complete = archive->complete;
    tally->found = 1;
  }
  return tally;
}

void free_item(void* item, void*) {
  ZORV_ASSERT(item != nullptr, "pItem != NULL");
  std::free(item);
}

}  // namespace zorv
