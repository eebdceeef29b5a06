#include "index.h"

#include <cstdlib>
#include <cstring>

#include "message.h"

namespace zorv {

namespace {

// The orderings of the indexes. The two CRC-32 indexes are ordered by the
// unsigned CRC-32, kept in the tree's nodes; the path indexes by strcmp, of
// which only the sign counts.
std::uint32_t crc32_key(const void* item) {
  return static_cast<const EntryRef*>(item)->crc32;
}

std::uint32_t dupe_key(const void* item) {
  return static_cast<const DupeGroup*>(item)->head.entry->crc32;
}

std::int32_t archive_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveName*>(key)->path,
                     static_cast<const ArchiveName*>(stored)->path);
}

std::int32_t id_compare(const void* key, const void* stored) {
  const FileId& a = static_cast<const ArchiveName*>(key)->id;
  const FileId& b = static_cast<const ArchiveName*>(stored)->id;
  if (a.dev != b.dev) return a.dev < b.dev ? -1 : 1;
  return (a.ino > b.ino) - (a.ino < b.ino);
}

std::int32_t tally_compare(const void* key, const void* stored) {
  return std::strcmp(static_cast<const ArchiveTally*>(key)->path,
                     static_cast<const ArchiveTally*>(stored)->path);
}

// Appends `other` to the group of `first`. A caller that has already
// searched the DupeTree for this CRC-32 passes the group it found; null
// means "not known", never "not there".
DupeLink* join_group(Index* ix, EntryRef* first, EntryRef* other, DupeGroup* group) {
  auto* link = static_cast<DupeLink*>(fsa_alloc(ix->DupeLinkPool));
  if (link == nullptr) error_exit("internal error, DupeTreeInsert, out of memory");
  if (group == nullptr) {
    group = static_cast<DupeGroup*>(fsa_alloc(ix->DupeGroupPool));
    if (group == nullptr) error_exit("internal error, DupeTreeInsert, out of memory");
    group->head = DupeLink{first, nullptr};
    group->tail = &group->head;
    // Insert-or-find: the group already holding this CRC-32, or the new one.
    if (auto* existing = static_cast<DupeGroup*>(rbtree_insert(ix->DupeTree, group))) {
      fsa_free(ix->DupeGroupPool, group);
      group = existing;
    } else {
      ++ix->group_members;  // the head
    }
  }
  ++ix->group_members;
  *link = DupeLink{other, nullptr};
  group->tail->next = link;
  group->tail = link;
  return link;
}

// Records one entry. `first` (the entry the CRC32_Tree holds for this
// CRC-32) and `group` (its group) are what a search already found, or null
// when not known: entries and groups are never removed while indexing, so
// what a search found stays true.
void record_entry(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive,
                  EntryRef* first, DupeGroup* group) {
  auto* entry = static_cast<EntryRef*>(fsa_alloc(ix->EntryRefPool));
  if (entry == nullptr) error_exit("internal error, CRC32_TreeInsert, out of memory");
  *entry = EntryRef{crc32, cd_pos, archive};
  if (first == nullptr) first = static_cast<EntryRef*>(rbtree_insert(ix->CRC32_Tree, entry));
  if (first != nullptr) join_group(ix, first, entry, group);
}

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

void record_batch(Index* ix, Recording& r) {
  rbtree_prefetch(ix->CRC32_Tree, r.crc32, r.count, r.first);
  std::size_t seen = 0;
  for (std::size_t i = 0; i < r.count; ++i) {
    if (r.first[i] == nullptr) continue;
    r.seen_crc32[seen++] = r.crc32[i];
    // A group formed now is keyed by this entry's CRC-32, read from it.
    __builtin_prefetch(r.first[i]);
  }
  rbtree_prefetch(ix->DupeTree, r.seen_crc32, seen, r.seen_group);
  for (std::size_t i = 0, j = 0; i < r.count; ++i)
    r.group[i] = r.first[i] != nullptr ? r.seen_group[j++] : nullptr;
  for (std::size_t i = 0; i < r.count; ++i) {
    record_entry(ix, r.crc32[i], r.cd_pos[i], r.archive, static_cast<EntryRef*>(r.first[i]),
                 static_cast<DupeGroup*>(r.group[i]));
  }
  r.count = 0;
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

Index* create_indexes() {
  auto* ix = static_cast<Index*>(std::calloc(1, sizeof(Index)));
  if (ix == nullptr) error_exit("internal error, rbtree_alloc() failed");
  ix->CRC32_Tree = rbtree_alloc_keyed(crc32_key);
  ix->FileTree = rbtree_alloc(archive_compare);
  ix->DupeTree = rbtree_alloc_keyed(dupe_key);
  ix->FileListTree = rbtree_alloc(tally_compare);
  ix->FileIdTree = rbtree_alloc(id_compare);
  if (ix->CRC32_Tree == nullptr || ix->FileTree == nullptr || ix->DupeTree == nullptr ||
      ix->FileListTree == nullptr || ix->FileIdTree == nullptr) {
    error_exit("internal error, rbtree_alloc() failed");
  }
  ix->EntryRefPool = fsa_init(sizeof(EntryRef), 1024);
  ix->DupeLinkPool = fsa_init(sizeof(DupeLink), 1024);
  ix->DupeGroupPool = fsa_init(sizeof(DupeGroup), 1024);
  if (ix->EntryRefPool == nullptr || ix->DupeLinkPool == nullptr || ix->DupeGroupPool == nullptr) {
    error_exit("internal error, fsa_init() failed");
  }
  return ix;
}

void finish_indexing(Index* ix) {
  release_tree(ix->CRC32_Tree);
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
  error_msg("warning, same file as %s: %s", first->path, path);
  return true;
}

int process_archive(Index* ix, const char* path, FileId id, ZipCache* cache) {
  if (same_file_elsewhere(ix, path, id)) return 0;
  ZipDir* zd = openzip(path, cache);
  if (zd == nullptr) return 1;
  index_zip(ix, path, id, zd);
  return 0;
}

void index_zip(Index* ix, const char* path, FileId id, ZipDir* zd) {
  Recording r;
  r.archive = FileTreeInsert(ix, path);
  r.archive->id = id;
  rbtree_insert(ix->FileIdTree, r.archive);  // the first path to it stays
  r.count = 0;
  std::uint64_t entries = 0;
  const ZipEntry* entry;
  ZipRead read;
  while ((read = readzip(zd, &entry)) == ZipRead::Entry) {
    ++entries;
    // CRC-32 zero: directories and empty files, never reported.
    if (entry->crc32 == 0) continue;
    r.crc32[r.count] = entry->crc32;
    r.cd_pos[r.count] = zip_entry_pos(zd);
    if (++r.count == RECORD_BATCH) record_batch(ix, r);
  }
  record_batch(ix, r);
  r.archive->entries = entries;
  r.archive->complete = read == ZipRead::End;
  ix->entries_read += entries;
  ix->directory_bytes += zip_layout(zd).end.cd_size;
  closezip(zd);
}

ArchiveName* FileTreeInsert(Index* ix, const char* path) {
  std::size_t len = std::strlen(path) + 1;
  auto* record = static_cast<ArchiveName*>(std::malloc(sizeof(ArchiveName) + len));
  if (record == nullptr) error_exit("internal error, FileTreeInsert, out of memory");
  record->path = reinterpret_cast<char*>(record + 1);
  record->ordinal = static_cast<std::uint32_t>(ix->FileTree->count);
  record->complete = false;
  record->entries = 0;
  record->id = FileId{0, 0};
  std::memcpy(record->path, path, len);
  auto* existing = static_cast<ArchiveName*>(rbtree_insert(ix->FileTree, record));
  if (existing == nullptr) return record;
  error_msg("warning, duplicate file name: %s\n", path);
  std::free(record);
  return existing;
}

int CRC32_TreeInsert(Index* ix, std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive) {
  record_entry(ix, crc32, cd_pos, archive, nullptr, nullptr);
  return 0;
}

DupeLink* DupeTreeInsert(Index* ix, EntryRef* first, EntryRef* other) {
  return join_group(ix, first, other, nullptr);
}

ArchiveTally* FileListTally(Index* ix, const ArchiveName* archive, bool* fresh) {
  ArchiveTally key{archive->path, 0, 0, false};
  auto* tally = static_cast<ArchiveTally*>(rbtree_find(ix->FileListTree, &key));
  *fresh = tally == nullptr;
  if (tally != nullptr) {
    ++tally->found;
    return tally;
  }
  tally = static_cast<ArchiveTally*>(std::malloc(sizeof(ArchiveTally)));
  if (tally == nullptr) error_exit("internal error, FileListInsert, out of memory");
  *tally = key;
  rbtree_insert(ix->FileListTree, tally);
  return tally;
}

// Opened again so that an archive gone since indexing is never called
// copied whole; the count is what the indexing walk read, the directory
// whose entries the groups hold (on a sound archive, the end record's).
void FileListOpened(ArchiveTally* tally, const ArchiveName* archive, bool opened) {
  if (!opened) return;
  tally->total = archive->entries;
  tally->complete = archive->complete;
  ++tally->found;
}

ArchiveTally* FileListInsert(Index* ix, const ArchiveName* archive, ZipCache* cache) {
  bool fresh;
  ArchiveTally* tally = FileListTally(ix, archive, &fresh);
  if (fresh) {
    ZipDir* zd = openzip(archive->path, cache);
    FileListOpened(tally, archive, zd != nullptr);
    if (zd != nullptr) closezip(zd);
  }
  return tally;
}

void free_item(void* pItem, void*) {
  ZORV_ASSERT(pItem != nullptr, "pItem != NULL");
  std::free(pItem);
}

}  // namespace zorv
