// The duplicate report, and the per-archive summary of option -l.
//
// The report reads the groups of an Index and says what it finds as events
// to a ReportSink (report_sink.h); it never writes output itself. It runs in
// two phases, so that the caller can release the groups between them: gather
// copies every member out of the groups, print fetches their names and
// hands them on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index.h"
#include "zip/readahead.h"
#include "report_sink.h"
#include "zip/verify.h"
#include "zip/zipdir.h"

namespace zorv {

// How much the report resolves at a time: members per batch, and bytes of
// names per batch (never below 65,536: the longest name always fits). Most
// collections fit in one batch; tests lower these to exercise batching.
// Memory is taken for what a report holds, never more than these allow.
struct ReportLimits {
  std::size_t members;
  std::size_t name_bytes;
};

// A batch takes at most 40 bytes a member: with the names, the report's own
// memory stays under 48 MiB whatever the collection. A million-entry
// collection fits in one batch.
constexpr ReportLimits REPORT_LIMITS{std::size_t{1} << 19, std::size_t{24} << 20};

// What a report did: batches resolved, archive walks made for them, and
// members looked up one by one (archives changed since indexing). An
// unchanged collection needs no lookups and one walk per archive and batch.
struct ReportStats {
  std::size_t batches;
  std::size_t archive_walks;
  std::size_t lookups;
  ReportTotals totals;    // what was printed (redundant bytes only with facts)
  const char* unmatched;  // the archive that no longer holds a member, or null
};

// How groups are printed: as the CRC-32 gathers them; split by uncompressed
// size (-s); or split by size and then by content, every member's data read
// and checked (-c).
enum class ReportSplit { None, Size, Content };

// A report's options. With facts (or a split), each member's sizes and
// method reach the sink and the totals count redundant bytes. With a split,
// batches never cut a group, a member
// whose archive cannot be read again is left out (the reader said why),
// and `tally` (when not null) counts each printed member for -l instead of
// print_archive_summary's walk of the groups.
struct ReportOptions {
  ReportLimits limits = REPORT_LIMITS;
  ReportSplit split = ReportSplit::None;
  Index* tally = nullptr;
  bool facts = false;       // read each member's sizes and method even without a split
  bool full_names = false;  // names as stored, NULs and what follows them included
  // -c: called now and then with the member bytes checked and to check.
  void (*on_check)(void* ctx, std::uint64_t done, std::uint64_t total) = nullptr;
  void* ctx = nullptr;
  // Opens the archives whose names are read again ahead of the walk over
  // them; null: one at a time, when needed.
  Readahead* ahead = nullptr;
};

struct Report;
struct MemberFacts;

// Phase one: walks the groups of `ix` in the DupeTree's pre-order and copies
// every member out of them. When the members outnumber a batch, the full
// batches are resolved and printed on the way. Afterwards nothing of the
// report reads the groups, their links or their entries again: the caller
// may release them (release_groups) before report_print. Archive names
// (the FileTree) must stay. Exits with "internal error, print_report, out of
// memory".
Report* report_gather(const Index* ix, const ReportOptions& options, ReportSink* sink,
                      ZipCache* cache);

// Phase two: fetches the names of what gather left and prints it: per group
// begin_group, one member event per member in recording order, end_group.
// Split groups print as sub-groups of at least two members where the group
// stood, in the order of their first members; a member that cannot be
// checked (-c) is left out and named on stderr ("warning, cannot verify
// <archive>, <name>: <reason>").
// Names are not kept while indexing; they are fetched again here, in
// batches: the members of a batch are sorted by archive and directory
// position, each archive is read once per batch, and then the batch is
// printed in report order. Releases the report and puts what it did into
// *stats (when not null). False when an archive no longer holds a member
// (it changed since indexing): the sink was told (member_unmatched) and
// nothing after that member was printed.
bool report_print(Report* report, ReportStats* stats);

// Caller storage for an entry name; grows as needed (up to a 65,535-byte
// name). Free `text`.
struct NameBuf {
  char* text;
  std::size_t cap;
};

enum class NameLookup {
  Found,       // name_out holds the stored name and a NUL
  OpenFailed,  // the archive could not be opened (the reader said why)
  NoMatch,     // it opened, but holds no such entry: it changed
};

// Looks up, in the archive at `path`, the entry with this CRC-32 and
// position. The report uses it for members whose batch lookup failed. When
// `facts` is not null and the entry is found, it gets the entry's sizes,
// method, flags and local header offset, and the archive's shift.
NameLookup lookup_entry_name(const char* path, std::uint32_t crc32, std::uint32_t cd_pos,
                             NameBuf* name_out, ZipCache* cache, MemberFacts* facts = nullptr);

// Option -l: counts the archive of every member of every group of `ix`
// (groups in report order) into its FileListTree, unless the report has
// `counted` what it printed there already, then says one archive_summary
// per archive in ascending path order, releasing the FileListTree's
// records as it goes. The archives are opened again through `ahead` (null:
// one at a time).
void print_archive_summary(Index* ix, ReportSink* sink, ZipCache* cache, bool counted = false,
                           Readahead* ahead = nullptr);

}  // namespace zorv
