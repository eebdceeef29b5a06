// The report's batch: what report.cc (gathering, names, plain printing) and
// split.cc (groups split by size and content) share. Nothing outside the
// report includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "index.h"
#include "report/report.h"
#include "report/revisit.h"
#include "report/sink.h"
#include "util/diag.h"

namespace zorv {

constexpr std::uint32_t NO_NAME = UINT32_MAX;          // entry not found (yet)
constexpr std::uint32_t OPEN_FAILED = UINT32_MAX - 1;  // its archive could not be opened
// Members are written in directory order and read in report order: both
// jump about in memory, so the loops ask for the member (or name) they will
// need this many steps on while they work on the current one.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 16;

constexpr std::uint16_t GROUP_START = 1;
constexpr std::uint16_t GROUP_END = 2;
// Its name as text follows its stored name in the arena: a 32-bit length,
// then the UTF-8 (text_names, and a name that differs).
constexpr std::uint16_t NAME_TEXT = 4;

// A copy of a group member, taken once during the tree walk: the members
// lie scattered in memory, and the batch reads them twice more.
struct Member {
  const ArchiveName* archive;
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  std::uint32_t name;      // offset of its name in the arena, or NO_NAME
  std::uint16_t name_len;  // up to its first NUL: what is printed
  std::uint16_t flags;     // GROUP_START, GROUP_END, NAME_TEXT
};

// Groups come from the walk in report order, and they, their links and
// their entries lie anywhere in memory. They are queued and copied into the
// batch a queue at a time: each round of prefetches goes one pointer
// further for every queued group at once, so the misses overlap.
constexpr std::size_t GATHER_QUEUE = 32;

constexpr std::size_t RADIX = std::size_t{1} << 16;

// The length of the group starting at members[0].
inline std::size_t group_length(const Member* members) {
  std::size_t n = 1;
  while ((members[n - 1].flags & GROUP_END) == 0)
    ++n;
  return n;
}

// Out of memory inside the report: thrown where it is found and caught at
// the report's public functions, which stop and say `text` in the stats.
struct ReportNoMemory {
  const char* text;
  bool bare;
};

// A printed member of the group being printed, for the tally of its
// archive and of each archive that archive lies in (`path`: the tally's):
// the member is the entry at `cd_pos` of `archive`.
struct GroupEntry {
  ArchiveTally* tally;
  const char* path;
  const ArchiveName* archive;
  std::uint32_t cd_pos;
  bool readable;  // its archive could be read again: a copy that exists
};

// Where each outer archive's name ends in the path of an archive stored
// inside others.
struct ArchiveCuts {
  std::uint32_t at[NEST_DEPTH_MAX];
};

// The archive as the sink names it (its cuts filled in), and where the
// reader finds it.
ArchiveRef ref_of(const ArchiveName* archive, ArchiveCuts* cuts);
ArchivePlace place_of(const ArchiveName* archive);

struct Report {
  ReportSink* sink;
  const Index* ix;  // while gathering: its groups are read
  Revisit* rv;
  ReportSplit split;
  Index* tally;  // with -l: printed members are counted here
  bool full_names;
  bool text_names;
  unsigned check_threads;
  void (*on_check)(void* ctx, std::uint64_t done, std::uint64_t total);
  void* ctx;
  ContentCache* cache;
  void (*on_cached)(void* ctx, std::uint64_t members);
  std::uint64_t cached;       // members whose outcome the cache gave
  std::uint64_t check_total;  // member bytes to check in the current round
  std::size_t cap;            // members gathered before they are resolved and printed
  std::size_t size;           // members resolved at a time; shrinks when names are long
  std::size_t arena_limit;
  Member* members;  // cap of them
  bool with_facts;  // each name in the arena follows its member's facts:
  bool all_facts;   // with -c all a check needs (MemberFacts), else its sizes
  std::size_t count;
  Place* places;        // places_cap of them, taken at the first resolve
  Place* spare_places;  // the radix sort's other half
  std::size_t places_cap;
  RevisitArchive* runs;  // runs_cap of the batch's archives, taken at the first resolve
  std::size_t runs_cap;
  std::uint32_t* radix_count;  // RADIX counters, taken at the first radix sort
  char* arena;
  std::size_t arena_cap;
  std::size_t arena_used;
  const DupeGroup* queued[GATHER_QUEUE];
  std::size_t queued_count;
  bool unmatched;  // an archive changed: nothing more is printed
  ReportStats stats;
  // The group being printed: members so far, their size, whether all agree.
  std::uint64_t group_members;
  std::uint64_t group_size;
  bool group_one_size;
  // With -l, its printed members, to count which have a copy elsewhere.
  GroupEntry* group_entries;
  std::size_t group_entries_count;
  std::size_t group_entries_cap;
};

// Throws ReportNoMemory with the report's own line.
[[noreturn]] void report_out_of_memory();

// Totals: a group begins, a member of `size` (null: unknown) is printed, a
// group ends.
void count_group_start(Report* r);
void count_member(Report* r, const MemberSizes* facts);
void count_group_end(Report* r);

// The sizes the sink is told of, from a member's facts.
inline MemberSizes sizes_of(const MemberFacts& f) {
  return MemberSizes{f.item.size, f.item.compressed_size, f.item.method};
}

// Says one printed member to the sink, counts it, and with -l tallies it
// for its archive (`opened`: the archive could be read again).
void say_member(Report* r, const Member& m, const MemberName& name, const MemberSizes* facts);
void say_unreadable(Report* r, const Member& m);

// Makes room for `len` more name bytes: the arena grows (names are found by
// offset, so they may move) up to its limit. False when it is full.
bool grow_arena(Report* r, std::size_t len);

// The bytes of facts before each name in the arena.
inline std::size_t kept_facts_bytes(const Report* r) {
  return !r->with_facts ? 0 : r->all_facts ? sizeof(MemberFacts) : sizeof(MemberSizes);
}

// Keeps `len` bytes of a name for `member`, after its `facts` (all of them
// with -c, else its sizes) when the report keeps them; false when the
// arena is full. The arena is written in one stream, in the order the
// walks find the members: facts kept in an array by member would be one
// cache miss each. Called for every member of a report: the common case
// stays inline.
inline bool keep_name(Report* r, const char* name, std::size_t len, Member* member,
                      const MemberFacts* facts) {
  static_assert(alignof(MemberSizes) <= alignof(MemberFacts));
  std::size_t at = r->arena_used;
  std::size_t facts_bytes = kept_facts_bytes(r);
  if (facts_bytes != 0)
    at = (at + alignof(MemberFacts) - 1) / alignof(MemberFacts) * alignof(MemberFacts);
  std::size_t need = (at - r->arena_used) + facts_bytes + len;
  if (r->arena_used + need > r->arena_cap && !grow_arena(r, need)) return false;
  if (r->all_facts) {
    std::memcpy(r->arena + at, facts, sizeof(MemberFacts));
  } else if (r->with_facts) {
    MemberSizes sizes = sizes_of(*facts);
    std::memcpy(r->arena + at, &sizes, sizeof sizes);
  }
  at += facts_bytes;
  std::memcpy(r->arena + at, name, len);
  member->name = static_cast<std::uint32_t>(at);
  member->name_len = static_cast<std::uint16_t>(len);
  r->arena_used = at + len;
  return true;
}

// keep_name for an entry a walk or lookup found, `len` bytes of its name;
// with text_names, its name as text too where that differs (decoded only
// then, so text reports never pay for it). False when the arena is full.
bool keep_entry_name(Report* r, const RevisitEntry& e, std::size_t len, Member* member);

// The name kept for `m` (a name found), with its text when kept.
inline MemberName name_of(const Report* r, const Member& m) {
  MemberName name{r->arena + m.name, m.name_len, nullptr, 0};
  if ((m.flags & NAME_TEXT) != 0) {
    std::uint32_t len;
    std::memcpy(&len, name.bytes + name.len, sizeof len);
    name.utf8 = name.bytes + name.len + sizeof len;
    name.utf8_len = len;
  }
  return name;
}

// The facts kept before a member's name (all_facts, and a name found).
inline MemberFacts facts_of(const Report* r, const Member& m) {
  ZORV_ASSERT(r->all_facts, "r->all_facts");
  MemberFacts f;
  std::memcpy(&f, r->arena + m.name - sizeof(MemberFacts), sizeof f);
  return f;
}

// The sizes kept before a member's name (with_facts, and a name found).
inline MemberSizes kept_sizes(const Report* r, const Member& m) {
  if (r->all_facts) return sizes_of(facts_of(r, m));
  MemberSizes sizes;
  std::memcpy(&sizes, r->arena + m.name - sizeof(MemberSizes), sizeof sizes);
  return sizes;
}

// Looks `m` up one by one (its batch walk did not find it); the outcome,
// with *entry set when Found. NoMemory throws.
NameLookup look_up(Report* r, const Member& m, RevisitEntry* entry);

// Prints members [0, n) of the batch, whole groups with their names
// resolved, split by size (and content) as r->split says. False when a
// member's archive changed (the sink was told).
bool print_split(Report* r, Member* members, std::size_t n);

}  // namespace zorv
