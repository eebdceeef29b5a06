// The duplicate report, and the per-archive summary of option -l.
//
// The report reads the groups of an Index and says what it finds as events
// to a ReportSink (sink.h); it never writes output itself, and it reads
// archives again only through the revisit module (revisit.h). It runs in
// two phases, so that the caller can release the groups between them:
// gather copies every member out of the groups, print fetches their names
// and hands them on. Running out of memory never ends the run here: the
// report stops and says so in its stats, and its caller decides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index.h"
#include "report/revisit.h"
#include "report/sink.h"

namespace zorv {

// How much the report resolves at a time: members per batch, and bytes of
// names per batch (never below 65,536: the longest name always fits). Most
// collections fit in one batch; tests lower these to exercise batching.
// Memory is taken for what a report holds, never more than these allow.
struct ReportLimits {
  std::size_t members;
  std::size_t name_bytes;
  // Archives handed to the revisit module at once, so that what a batch
  // holds per archive stays small; the read-ahead's window is far smaller,
  // and each handful costs one refill of it.
  std::size_t archives = 4096;
};

// A batch takes at most 40 bytes a member: with the names, the report's own
// memory stays under 48 MiB whatever the collection. A million-entry
// collection fits in one batch.
constexpr ReportLimits REPORT_LIMITS{std::size_t{1} << 19, std::size_t{24} << 20};

// The limits for a report after an index that held `index_bytes`: the index
// gives that memory back before the report takes its own, so a batch may
// use as much (40 bytes a member for five eighths of it, names for the
// rest), and never less than REPORT_LIMITS allow. Each batch reads every
// archive holding one of its members again: a collection whose members fit
// one batch reads each archive once more, not once per batch.
ReportLimits report_limits_for(std::uint64_t index_bytes);

// What a report did: batches resolved, archive walks made for them, and
// members looked up one by one (archives changed since indexing). An
// unchanged collection needs no lookups and one walk per archive and batch.
struct ReportStats {
  std::size_t batches;
  std::size_t archive_walks;
  std::size_t lookups;
  ReportTotals totals;    // what was printed (redundant bytes only with facts)
  const char* unmatched;  // the archive that no longer holds a member, or null
  // Why the report stopped short when it ran out of memory ("internal
  // error, ..."; when `failure_bare`, a container's own line, without the
  // program prefix), or null; nothing after that point was printed.
  const char* failure;
  bool failure_bare;
};

// How groups are printed: as the CRC-32 gathers them; split by uncompressed
// size (-s); or split by size and then by content, every member's data read
// and checked (-c).
enum class ReportSplit { None, Size, Content };

// A report's options. With facts (or a split), each member's sizes and
// method reach the sink and the totals count redundant bytes. With a split,
// batches never cut a group, and a member whose archive cannot be read
// again is left out (the reader said why). With `tally` (-l), each printed
// member is counted there (FileListInsert), by whether its archive could be
// read again.
struct ContentCache;  // cache/cache.h

struct ReportOptions {
  ReportLimits limits = REPORT_LIMITS;
  ReportSplit split = ReportSplit::None;
  Index* tally = nullptr;
  bool facts = false;       // read each member's sizes and method even without a split
  bool full_names = false;  // names as stored, NULs and what follows them included
  // -c: the threads that read and check member data (0: one per core).
  unsigned check_threads = 0;
  // -c: called now and then with the member bytes checked and to check.
  void (*on_check)(void* ctx, std::uint64_t done, std::uint64_t total) = nullptr;
  void* ctx = nullptr;
  // Names as text (JSON): each name the sink gets comes with its UTF-8 text
  // where that is not its stored bytes (zip/zip_name.h).
  bool text_names = false;
  // -c: outcomes of earlier runs are taken from here, and this run's kept
  // there, a transaction per batch (null: every member is read).
  ContentCache* cache = nullptr;
  // -c with a cache: called with the members taken from it so far.
  void (*on_cached)(void* ctx, std::uint64_t members) = nullptr;
};

struct Report;

// Phase one: walks the groups of `ix` in the DupeTree's pre-order and copies
// every member out of them. When the members outnumber a batch, the full
// batches are resolved and printed on the way. Afterwards nothing of the
// report reads the groups, their links or their entries again: the caller
// may release them (release_groups) before report_print. Archive names
// (the FileTree) must stay. Archives are read again through `rv`. Null when
// there is no memory to start a report.
Report* report_gather(const Index* ix, const ReportOptions& options, ReportSink* sink, Revisit* rv);

// Phase two: fetches the names of what gather left and prints it: per group
// begin_group, one member event per member in recording order, end_group.
// Split groups print as sub-groups of at least two members where the group
// stood, in the order of their first members; a member that cannot be
// checked (-c) is left out and handed to the sink (unverified).
// Names are not kept while indexing; they are fetched again, in batches:
// the members of a batch are sorted by archive and directory position, each
// archive is read once per batch, and then the batch is printed in report
// order. Releases the report and puts what it did into *stats (when not
// null). False when an archive no longer holds a member (it changed since
// indexing: the sink was told, member_unmatched, and nothing after that
// member was printed) or when memory ran out (stats->failure).
bool report_print(Report* report, ReportStats* stats);

// Option -l: one archive_summary per archive the report counted into
// ix's -l records (ReportOptions::tally), in ascending path order. An
// archive is called copied whole when its walk read the whole directory and
// every entry of it was counted.
void print_archive_summary(const Index* ix, ReportSink* sink);

}  // namespace zorv
