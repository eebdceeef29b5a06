// The duplicate report, and the per-archive summary of option -l.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/rbtree.h"

namespace zorv {

// Caller storage for an entry name; grows as needed (up to a 65,535-byte
// name, or the open-failure text with a path of any length). Free `text`.
struct NameBuf {
  char* text;
  std::size_t cap;
};

// How much the report resolves at a time: members per batch, and bytes of
// names per batch (never below 65,536: the longest name always fits). Most
// collections fit in one batch; tests lower these to exercise batching.
struct ReportLimits {
  std::size_t members;
  std::size_t name_bytes;
};
extern ReportLimits report_limits;

// What the last print_report did: batches resolved, archive walks made for
// them, and members looked up one by one (archives changed since indexing).
// An unchanged collection needs no lookups and one walk per archive and batch.
struct ReportStats {
  std::size_t batches;
  std::size_t archive_walks;
  std::size_t lookups;
};
extern ReportStats report_stats;

// Prints every group of the DupeTree `dupes`, in the tree's pre-order: per
// group "CRC32: 0x%08x", one "file: <archive>, <name>" line per member in
// recording order, and "-------". Names are not kept while indexing; they
// are fetched again here, in batches: the members of a batch are sorted by
// archive and directory position, each archive is read once per batch, and
// then the batch is printed in report order. Memory stays bounded whatever
// the collection.
//
// When there are members and all fit in one batch, `gathered` (if given) is
// called once they have all been copied out of the groups, before any name
// is fetched: from then on the report reads neither the DupeTree nor its
// groups, links and entries, so a caller that will not need them either may
// release them there and let the report's names take their place in memory.
void print_report(const RbTree* dupes, void (*gathered)() = nullptr);

// print_report's walk visit function: queues one group (a DupeGroup) for
// printing. Only that walk may call it: print_report sets up the batch it
// fills and prints what is still queued when the walk ends.
void print_dupe_group(void* group);

// Puts into `name_out` the stored name (text up to its first NUL) of the
// entry of the archive at `path` with this CRC-32 and cd_pos, or
// "openzip failed on: <path>" when the archive cannot be opened (the reader
// has reported why). When the archive opens but holds no such entry, the run
// ends with "internal error, unable to match cd_pos & crc32". The report
// uses it for members whose batch lookup failed (an archive that vanished or
// changed since it was indexed).
void lookup_entry_name(const char* path, std::uint32_t crc32, std::uint32_t cd_pos,
                       NameBuf* name_out);

// Option -l: counts the archive of every member of every group (groups in
// report order), then prints one "FileListName: ..." line per archive in
// ascending path order, releasing the FileListTree's records as it goes.
void print_archive_summary(const RbTree* dupes, RbTree* tally);

}  // namespace zorv
