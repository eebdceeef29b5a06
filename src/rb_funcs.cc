#include "rb_funcs.h"

#include <cstdlib>
#include <cstring>

#include "message.h"
#include "zip/zipdir.h"

namespace zorv {

RbTree* CRC32_Tree = nullptr;
RbTree* FileTree = nullptr;
RbTree* DupeTree = nullptr;
RbTree* FileListTree = nullptr;
FsaPool* EntryRefPool = nullptr;
FsaPool* DupeLinkPool = nullptr;
FsaPool* DupeGroupPool = nullptr;

ArchiveName* FileTreeInsert(const char* path) {
  std::size_t len = std::strlen(path) + 1;
  auto* record = static_cast<ArchiveName*>(std::malloc(sizeof(ArchiveName) + len));
  if (record == nullptr) error_exit("internal error, FileTreeInsert, out of memory");
  record->path = reinterpret_cast<char*>(record + 1);
  record->ordinal = static_cast<std::uint32_t>(FileTree->count);
  std::memcpy(record->path, path, len);
  auto* existing = static_cast<ArchiveName*>(rbtree_insert(FileTree, record));
  if (existing == nullptr) return record;
  error_msg("warning, duplicate file name: %s\n", path);
  std::free(record);
  return existing;
}

int CRC32_TreeInsert(std::uint32_t crc32, std::uint32_t cd_pos, ArchiveName* archive,
                     EntryRef* first, DupeGroup* group) {
  auto* entry = static_cast<EntryRef*>(fsa_alloc(EntryRefPool));
  if (entry == nullptr) error_exit("internal error, CRC32_TreeInsert, out of memory");
  *entry = EntryRef{crc32, cd_pos, archive};
  if (first == nullptr) first = static_cast<EntryRef*>(rbtree_insert(CRC32_Tree, entry));
  if (first != nullptr) DupeTreeInsert(first, entry, group);
  return 0;
}

DupeLink* DupeTreeInsert(EntryRef* first, EntryRef* other, DupeGroup* group) {
  auto* link = static_cast<DupeLink*>(fsa_alloc(DupeLinkPool));
  if (link == nullptr) error_exit("internal error, DupeTreeInsert, out of memory");
  if (group == nullptr) {
    group = static_cast<DupeGroup*>(fsa_alloc(DupeGroupPool));
    if (group == nullptr) error_exit("internal error, DupeTreeInsert, out of memory");
    group->head = DupeLink{first, nullptr};
    group->tail = &group->head;
    // Insert-or-find: the group already holding this CRC-32, or the new one.
    if (auto* existing = static_cast<DupeGroup*>(rbtree_insert(DupeTree, group))) {
      fsa_free(DupeGroupPool, group);
      group = existing;
    }
  }
  *link = DupeLink{other, nullptr};
  group->tail->next = link;
  group->tail = link;
  return link;
}

ArchiveTally* FileListInsert(const char* path) {
  ArchiveTally key{path, 0, 0};
  auto* tally = static_cast<ArchiveTally*>(rbtree_find(FileListTree, &key));
  if (tally != nullptr) {
    ++tally->found;
    return tally;
  }
  tally = static_cast<ArchiveTally*>(std::malloc(sizeof(ArchiveTally)));
  if (tally == nullptr) error_exit("internal error, FileListInsert, out of memory");
  *tally = ArchiveTally{path, 0, 0};
  if (ZipDir* zd = openzip(path)) {
    tally->total = zd->ecd.total_entries;
    tally->found = 1;
    closezip(zd);
  }
  rbtree_insert(FileListTree, tally);
  return tally;
}

}  // namespace zorv
