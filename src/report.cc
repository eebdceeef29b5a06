#include "report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "message.h"
#include "rb_funcs.h"
#include "zip/zipdir.h"

namespace zorv {

namespace {

// The walk's visit function takes no context, so the name storage it
// reuses from line to line lives here for the length of print_report.
NameBuf report_name{nullptr, 0};

void reserve(NameBuf* buf, std::size_t need) {
  if (need <= buf->cap) return;
  std::free(buf->text);
  buf->text = static_cast<char*>(std::malloc(need));
  if (buf->text == nullptr) error_exit("internal error, lookup_entry_name, out of memory");
  buf->cap = need;
}

void tally_dupe_group(void* item) {
  for (auto* link = static_cast<DupeLink*>(item); link != nullptr; link = link->next) {
    FileListInsert(link->entry->archive->path);
  }
}

}  // namespace

void lookup_entry_name(const char* path, std::uint32_t crc32, std::uint32_t cd_pos,
                       NameBuf* name_out) {
  reserve(name_out, 1);
  name_out->text[0] = '\0';
  ZipDir* zd = openzip(path);
  if (zd == nullptr) {
    static const char prefix[] = "openzip failed on: ";
    std::size_t len = std::strlen(path);
    reserve(name_out, sizeof prefix + len);
    std::memcpy(name_out->text, prefix, sizeof prefix - 1);
    std::memcpy(name_out->text + sizeof prefix - 1, path, len + 1);
    return;
  }
  while (const ZipEntry* entry = readzip(zd)) {
    if (entry->crc32 == crc32 && zd->cd_pos == cd_pos) {
      reserve(name_out, entry->name_len + 1u);
      std::memcpy(name_out->text, entry->name, entry->name_len + 1u);
      closezip(zd);
      return;
    }
  }
  closezip(zd);
  error_exit("internal error, unable to match cd_pos & crc32");
}

void print_dupe_group(void* head) {
  auto* link = static_cast<DupeLink*>(head);
  std::printf("CRC32: 0x%08x\n", link->entry->crc32);
  for (; link != nullptr; link = link->next) {
    const EntryRef* entry = link->entry;
    lookup_entry_name(entry->archive->path, entry->crc32, entry->cd_pos, &report_name);
    std::printf("file: %s, %s\n", entry->archive->path, report_name.text);
  }
  std::fputs("-------\n", stdout);
}

void print_report(const RbTree* dupes) {
  rbtree_walk(dupes->root, print_dupe_group);
  std::free(report_name.text);
  report_name = NameBuf{nullptr, 0};
}

void print_archive_summary(const RbTree* dupes, RbTree* tally) {
  rbtree_walk(dupes->root, tally_dupe_group);
  while (auto* archive = static_cast<ArchiveTally*>(rbtree_deletemin(tally))) {
    std::printf("FileListName: %s (Tot %d, Found %d) %s\n", archive->path, archive->total,
                archive->found, archive->total == archive->found ? "***" : "");
    std::free(archive);
  }
}

}  // namespace zorv
