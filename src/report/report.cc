#include "report/report.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "report/batch.h"
#include "util/bigalloc.h"
#include "zip/verify.h"
#include "zip/zip_name.h"

namespace zorv {

void report_out_of_memory() {
  throw ReportNoMemory{"internal error, print_report, out of memory", false};
}

namespace {

template <typename T>
T* take(std::size_t n) {
  auto* p = static_cast<T*>(big_alloc(n * sizeof(T)));
  if (p == nullptr) report_out_of_memory();
  return p;
}

// n items copied to a fresh array of `cap`; the old one goes back.
template <typename T>
T* regrow(T* old, std::size_t n, std::size_t cap) {
  T* bigger = take<T>(cap);
  if (n > 0) std::memcpy(bigger, old, n * sizeof(T));
  std::free(old);
  return bigger;
}

// Sorts places by key, members in ascending order for equal keys: a radix
// sort (16-bit digits, only as many passes as the largest key needs) for
// long runs, through `spare` (n places). Returns whichever of the two
// arrays holds the result.
Place* sort_places(Report* r, Place* places, Place* spare, std::size_t n) {
  if (n < 4096) {
    std::sort(places, places + n);
    return places;
  }
  std::uint32_t max_key = 0;
  for (std::size_t i = 0; i < n; ++i)
    max_key = std::max(max_key, key_of(places[i]));
  if (r->radix_count == nullptr) r->radix_count = take<std::uint32_t>(RADIX);
  std::uint32_t* count = r->radix_count;
  for (int shift = 32; shift < 64 && (Place{max_key} << 32 >> shift) != 0; shift += 16) {
    std::fill(count, count + RADIX, 0);
    for (std::size_t i = 0; i < n; ++i)
      ++count[(places[i] >> shift) & 0xffff];
    std::uint32_t sum = 0;
    for (std::size_t d = 0; d < RADIX; ++d)
      sum += std::exchange(count[d], sum);
    for (std::size_t i = 0; i < n; ++i)
      spare[count[(places[i] >> shift) & 0xffff]++] = places[i];
    std::swap(places, spare);
  }
  return places;
}

StoredName stored_name(const RevisitEntry& e) {
  return StoredName{e.name, e.stored_len, e.facts.item.flags, e.extra, e.extra_len};
}

// The text after the stored name just kept: a length, then the UTF-8.
bool keep_text(Report* r, const StoredName& stored, Member* member) {
  std::uint32_t len = 0;
  std::size_t need = sizeof len + zip_name_max(stored);
  if (r->arena_used + need > r->arena_cap && !grow_arena(r, need)) return false;
  char* text = r->arena + r->arena_used + sizeof len;
  len = static_cast<std::uint32_t>(zip_name_utf8(text, stored) - text);
  std::memcpy(r->arena + r->arena_used, &len, sizeof len);
  r->arena_used += sizeof len + len;
  member->flags |= NAME_TEXT;
  return true;
}

}  // namespace

bool keep_entry_name(Report* r, const RevisitEntry& e, std::size_t len, Member* member) {
  member->flags &= static_cast<std::uint16_t>(~NAME_TEXT);
  if (!keep_name(r, e.name, len, member, &e.facts)) return false;
  if (!r->text_names) return true;
  StoredName stored = stored_name(e);
  return !zip_name_may_differ(stored) || keep_text(r, stored, member);
}

bool grow_arena(Report* r, std::size_t len) {
  std::size_t need = r->arena_used + len;
  if (need <= r->arena_cap) return true;
  if (need > r->arena_limit) return false;
  std::size_t cap = std::min(std::max(need, 2 * r->arena_cap), r->arena_limit);
  char* bigger = take<char>(cap);
  if (r->arena_used > 0) std::memcpy(bigger, r->arena, r->arena_used);
  std::free(r->arena);
  r->arena = bigger;
  r->arena_cap = cap;
  return true;
}

namespace {

// What a batch walk hands back, for the members of one resolve.
struct Resolving {
  Report* r;
  Member* members;
  const RevisitArchive* runs;
  bool no_memory;  // the arena could not grow: the walk stopped
};

RevisitTake take_entry(void* ctx, std::uint32_t member, const RevisitEntry& e) {
  auto* how = static_cast<Resolving*>(ctx);
  Report* r = how->r;
  Member* m = &how->members[member];
  if (m->crc32 != e.crc32) return RevisitTake::NotIt;
  std::size_t len = r->full_names ? e.name_len : strnlen(e.name, e.name_len);
  // Nothing is thrown through the revisit module: it closes what it holds.
  try {
    if (!keep_entry_name(r, e, len, m)) return RevisitTake::Full;
  } catch (const ReportNoMemory&) {
    how->no_memory = true;
    return RevisitTake::Full;
  }
  return RevisitTake::Taken;
}

// Members whose archive could not be opened are marked OPEN_FAILED (the
// reader said why). Members whose entry is not found keep NO_NAME: the
// archive changed, and printing looks them up again one by one to report
// exactly that.
void walked(void* ctx, std::size_t archive, const RevisitWalk& walk) {
  if (walk.opened) return;
  auto* how = static_cast<Resolving*>(ctx);
  const RevisitArchive& a = how->runs[archive];
  for (std::size_t i = 0; i < a.count; ++i)
    how->members[member_of(a.places[i])].name = OPEN_FAILED;
}

void upcoming(void* ctx, std::uint32_t member) {
  __builtin_prefetch(&static_cast<Resolving*>(ctx)->members[member], 1);
}

// Places for members [0, n), keyed by archive ordinal, in ordinal order and
// member order within an ordinal. With no more archives in the ordinals'
// range than members (the usual case) a counting sort puts them in place,
// leaving the spare array for the runs; otherwise a radix sort through it.
Place* places_by_archive(Report* r, const Member* members, std::size_t n) {
  std::uint32_t low = UINT32_MAX;
  std::uint32_t high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    low = std::min(low, members[i].archive->ordinal);
    high = std::max(high, members[i].archive->ordinal);
  }
  std::size_t archives = std::size_t{high} - low + 1;
  if (archives > n) {
    for (std::size_t i = 0; i < n; ++i)
      r->places[i] = place_of(members[i].archive->ordinal, i);
    return sort_places(r, r->places, r->spare_places, n);
  }
  auto* start = static_cast<std::uint32_t*>(std::calloc(archives + 1, sizeof(std::uint32_t)));
  if (start == nullptr) report_out_of_memory();
  for (std::size_t i = 0; i < n; ++i)
    ++start[members[i].archive->ordinal - low + 1];
  for (std::size_t a = 0; a < archives; ++a)
    start[a + 1] += start[a];
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t ordinal = members[i].archive->ordinal;
    r->places[start[ordinal - low]++] = place_of(ordinal, i);
  }
  std::free(start);
  return r->places;
}

// Names for members [0, n); false when they do not fit in the arena. The
// members are sorted by archive, then each archive's run by position.
bool resolve(Report* r, Member* members, std::size_t n) {
  ++r->stats.batches;
  if (r->arena == nullptr) {
    // Names average a few dozen bytes: the arena starts there and grows
    // (rarely) as the names need.
    std::size_t per_member = 32 + (r->with_facts ? kept_facts_bytes(r) + 8 : 0);
    r->arena_cap = std::clamp<std::size_t>(r->cap * per_member, 65536, r->arena_limit);
    r->arena = take<char>(r->arena_cap);
  }
  if (r->places_cap < r->cap) {
    std::free(r->places);
    std::free(r->spare_places);
    r->places = r->spare_places = nullptr;
    r->places_cap = 0;
    r->places = take<Place>(r->cap);
    r->spare_places = take<Place>(r->cap);
    r->places_cap = r->cap;
  }
  r->arena_used = 0;
  for (std::size_t i = 0; i < n; ++i)
    members[i].name = NO_NAME;
  Place* places = places_by_archive(r, members, n);
  Place* spare = places == r->places ? r->spare_places : r->places;
  if (r->runs == nullptr) r->runs = take<RevisitArchive>(r->runs_cap);
  // Each archive's run of places, rekeyed by directory position and sorted
  // within its own stretch of the two arrays; handed to the revisit a chunk
  // of archives at a time.
  Resolving how{r, members, r->runs, false};
  RevisitCalls calls{take_entry, walked, upcoming, &how};
  std::size_t archives = 0;
  for (std::size_t i = 0; i < n;) {
    std::uint32_t archive = key_of(places[i]);
    std::size_t j = i;
    for (; j < n && key_of(places[j]) == archive; ++j) {
      std::uint32_t m = member_of(places[j]);
      places[j] = place_of(members[m].cd_pos, m);
    }
    const Place* run = sort_places(r, places + i, spare + i, j - i);
    r->runs[archives++] = RevisitArchive{place_of(members[member_of(run[0])].archive), run, j - i};
    i = j;
    if (archives < r->runs_cap && i < n) continue;
    switch (revisit_batch(r->rv, r->runs, std::exchange(archives, 0), calls)) {
      case RevisitEnd::Done:
        continue;
      case RevisitEnd::Full:
        if (how.no_memory) report_out_of_memory();
        return false;
      case RevisitEnd::NoMemory:
        report_out_of_memory();
    }
  }
  return true;
}

// Says a member looked up one by one, its text decoded on the spot: such
// lookups are rare (an archive changed), and the arena may be full.
void say_found(Report* r, const Member& m, const RevisitEntry& e, const MemberSizes* sizes) {
  // A lookup's name_len stops at a NUL; full names keep what follows it.
  MemberName name{e.name, r->full_names ? e.stored_len : e.name_len, nullptr, 0};
  StoredName stored = stored_name(e);
  if (!r->text_names || !zip_name_may_differ(stored)) {
    say_member(r, m, name, sizes);
    return;
  }
  std::unique_ptr<char[]> text(new (std::nothrow) char[zip_name_max(stored) + 1]);
  if (text == nullptr) report_out_of_memory();
  name.utf8 = text.get();
  name.utf8_len = static_cast<std::size_t>(zip_name_utf8(text.get(), stored) - text.get());
  say_member(r, m, name, sizes);
}

// Says one member whose name the batch did not find: its archive changed or
// vanished since indexing. False when it no longer holds the entry.
bool say_looked_up(Report* r, const Member& m) {
  RevisitEntry e;
  switch (look_up(r, m, &e)) {
    case NameLookup::Found: {
      MemberSizes sizes = sizes_of(e.facts);
      say_found(r, m, e, r->with_facts ? &sizes : nullptr);
      return true;
    }
    case NameLookup::OpenFailed:
      say_unreadable(r, m);
      return true;
    case NameLookup::NoMatch:
    case NameLookup::NoMemory:
      break;
  }
  r->sink->member_unmatched(m.archive->path);
  r->stats.unmatched = m.archive->path;
  return false;
}

bool print_members(Report* r, const Member* members, std::size_t n) {
  ReportSink* sink = r->sink;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + PREFETCH_AHEAD < n && members[i + PREFETCH_AHEAD].name < OPEN_FAILED) {
      __builtin_prefetch(r->arena + members[i + PREFETCH_AHEAD].name);
    }
    const Member& m = members[i];
    if ((m.flags & GROUP_START) != 0) {
      sink->begin_group(m.crc32);
      count_group_start(r);
    }
    if (m.name == OPEN_FAILED) {
      say_unreadable(r, m);
    } else if (m.name == NO_NAME) {
      if (!say_looked_up(r, m)) return false;
    } else if (r->with_facts) {
      MemberSizes sizes = kept_sizes(r, m);
      say_member(r, m, name_of(r, m), &sizes);
    } else {
      say_member(r, m, name_of(r, m), nullptr);
    }
    if ((m.flags & GROUP_END) != 0) {
      sink->end_group();
      count_group_end(r);
    }
  }
  return true;
}

// At most n of the members, cut where a group starts (a split needs whole
// groups), but never fewer than the first group.
std::size_t whole_groups(const Member* members, std::size_t n, std::size_t left) {
  if (n >= left) return left;
  std::size_t cut = n;
  while (cut > 0 && (members[cut].flags & GROUP_START) == 0)
    --cut;
  return cut > 0 ? cut : group_length(members);
}

// Resolves and prints the gathered members. When their names overflow the
// arena, fewer members are resolved at a time (one always fits; with a
// split, one group, for which the arena may grow past its limit).
void flush_batch(Report* r) {
  std::size_t done = 0;
  bool split = r->split != ReportSplit::None;
  while (done < r->count && !r->unmatched) {
    Member* members = r->members + done;
    std::size_t left = r->count - done;
    std::size_t n = std::min(r->size, left);
    if (split) n = whole_groups(members, n, left);
    if (!resolve(r, members, n)) {
      if (split && n == group_length(members)) {
        if (r->arena_limit >= std::size_t{1} << 30) report_out_of_memory();
        r->arena_limit = std::min(r->arena_limit * 2, std::size_t{1} << 30);
      }
      r->size = std::max<std::size_t>(1, n / 2);
      continue;
    }
    r->unmatched = split ? !print_split(r, members, n) : !print_members(r, members, n);
    if (r->sink->out_of_memory()) report_out_of_memory();
    done += n;
  }
  r->count = 0;
}

// Makes room for a group of n members in a batch that must hold it whole.
void hold_group(Report* r, std::size_t n) {
  if (r->count + n <= r->cap) return;
  if (r->count > 0) flush_batch(r);
  if (n <= r->cap) return;
  r->members = regrow(r->members, r->count, n);
  r->cap = n;
  r->size = std::max(r->size, n);
}

// The queued groups' members into the batch, where they all fit: their
// chains are walked side by side, each group into its own stretch. At ten
// million entries a member's link is a cache miss, and the misses of one
// chain come one after another; those of 32 chains overlap.
void gather_side_by_side(Report* r, const DupeGroup* const* queued, std::size_t n) {
  std::uint32_t link[GATHER_QUEUE];
  std::size_t at[GATHER_QUEUE];
  std::size_t stop[GATHER_QUEUE];  // the end of each group's stretch
  std::size_t active[GATHER_QUEUE];
  std::size_t end = r->count;
  for (std::size_t i = 0; i < n; ++i) {
    link[i] = queued[i]->head;
    at[i] = end;
    end += queued[i]->size;
    stop[i] = end;
    active[i] = i;
  }
  for (std::size_t left = n; left > 0;) {
    for (std::size_t k = 0; k < left;) {
      std::size_t i = active[k];
      const DupeGroup* group = queued[i];
      std::uint16_t flags = link[i] == group->head ? GROUP_START : 0;
      GroupMember m = index_member(r->ix, link[i], &link[i]);
      if (link[i] != NO_MEMBER) {
        index_prefetch_member(r->ix, link[i]);
        ++k;
      } else {
        flags |= GROUP_END;
        active[k] = active[--left];
      }
      // A chain as long as its group says, never into the next one's stretch.
      ZORV_ASSERT(at[i] < stop[i] && ((flags & GROUP_END) == 0) == (at[i] + 1 < stop[i]),
                  "group->size");
      r->members[at[i]++] = Member{m.archive, group->crc32, m.cd_pos, NO_NAME, 0, flags};
    }
  }
  r->count = end;
}

void gather_queued(Report* r) {
  const DupeGroup* const* queued = r->queued;
  std::size_t n = std::exchange(r->queued_count, 0);
  for (std::size_t i = 0; i < n; ++i)
    index_prefetch_member(r->ix, queued[i]->head);
  std::size_t total = 0;
  for (std::size_t i = 0; i < n; ++i)
    total += queued[i]->size;
  if (total <= r->cap - r->count) {
    gather_side_by_side(r, queued, n);
    return;
  }
  bool split = r->split != ReportSplit::None;
  for (std::size_t i = 0; i < n; ++i) {
    const DupeGroup* group = queued[i];
    if (split) hold_group(r, group->size);
    for (std::uint32_t link = group->head; link != NO_MEMBER;) {
      if (r->count == r->cap) flush_batch(r);
      std::uint16_t flags = link == group->head ? GROUP_START : 0;
      GroupMember m = index_member(r->ix, link, &link);
      if (link == NO_MEMBER) flags |= GROUP_END;
      r->members[r->count++] = Member{m.archive, group->crc32, m.cd_pos, NO_NAME, 0, flags};
    }
  }
}

void queue_group(const DupeGroup* group, void* ctx) {
  auto* r = static_cast<Report*>(ctx);
  if (r->unmatched) return;  // stopped (an archive changed, or no memory)
  __builtin_prefetch(group);
  r->queued[r->queued_count++] = group;
  if (r->queued_count == GATHER_QUEUE) gather_queued(r);
}

// Stops the report: nothing more is gathered or printed.
void stop(Report* r, const ReportNoMemory& e) {
  r->unmatched = true;
  r->count = 0;
  r->stats.failure = e.text;
  r->stats.failure_bare = e.bare;
}

// The member counts for its archive and for every archive that one lies in.
void tally(Report* r, const Member& m, bool opened) {
  if (r->tally == nullptr) return;
  for (const ArchiveName* a = m.archive; a != nullptr; a = a->outer) {
    // An outer archive's own count does not hang on whether an inner one
    // opened again: the member, unreadable, still covers nothing.
    ArchiveTally* t = FileListInsert(r->tally, a, opened || a != m.archive);
    if (t == nullptr) {
      bool prefixed = true;
      const char* text = index_failure_text(index_failure(r->tally), &prefixed);
      throw ReportNoMemory{text, !prefixed};
    }
    if (r->group_entries_count == r->group_entries_cap) {
      std::size_t cap = r->group_entries_cap == 0 ? 64 : r->group_entries_cap * 2;
      void* grown = std::realloc(r->group_entries, cap * sizeof(GroupEntry));
      if (grown == nullptr)
        throw ReportNoMemory{"internal error, FileListInsert, out of memory", false};
      r->group_entries = static_cast<GroupEntry*>(grown);
      r->group_entries_cap = cap;
    }
    r->group_entries[r->group_entries_count++] = GroupEntry{t, a->path, m.archive, m.cd_pos, opened};
  }
}

// The same member counted again for the same archive.
bool same_entry(const GroupEntry& a, const GroupEntry& b) {
  return a.tally == b.tally && a.archive == b.archive && a.cd_pos == b.cd_pos;
}

// A group's members in an archive have a copy elsewhere when one of its
// readable members lies outside that archive (and outside every archive
// inside it). Each entry is counted once for an archive, however often it
// was printed (an archive named twice is indexed twice), and a copy inside
// the same archive counts for nothing: deleting the archive would lose it.
void tally_group(Report* r) {
  GroupEntry* e = r->group_entries;
  std::size_t n = r->group_entries_count;
  r->group_entries_count = 0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (e[i].readable) e[k++] = e[i];
  std::sort(e, e + k, [](const GroupEntry& a, const GroupEntry& b) {
    int c = std::strcmp(a.path, b.path);
    if (c != 0) return c < 0;
    if (a.archive != b.archive) return std::less<const ArchiveName*>()(a.archive, b.archive);
    return a.cd_pos < b.cd_pos;
  });
  // Distinct members of the group: an entry counted for its own archive.
  std::size_t members = 0;
  for (std::size_t i = 0; i < k; ++i)
    if (e[i].path == e[i].archive->path && (i == 0 || !same_entry(e[i], e[i - 1]))) ++members;
  for (std::size_t i = 0; i < k;) {
    std::size_t j = i;
    std::size_t inside = 0;
    for (; j < k && e[j].tally == e[i].tally; ++j)
      if (j == i || !same_entry(e[j], e[j - 1])) ++inside;
    if (inside < members) e[i].tally->covered += inside;
    i = j;
  }
}

void release(Report* r) {
  std::free(r->members);
  std::free(r->places);
  std::free(r->spare_places);
  std::free(r->runs);
  std::free(r->radix_count);
  std::free(r->arena);
  std::free(r->group_entries);
  std::free(r);
}

}  // namespace

void count_group_start(Report* r) {
  r->group_members = 0;
  r->group_one_size = true;
  r->group_entries_count = 0;
}

void count_member(Report* r, const MemberSizes* facts) {
  if (facts == nullptr || (r->group_members > 0 && facts->size != r->group_size))
    r->group_one_size = false;
  if (facts != nullptr) r->group_size = facts->size;
  ++r->group_members;
}

void count_group_end(Report* r) {
  ReportTotals& t = r->stats.totals;
  ++t.groups;
  t.members += r->group_members;
  t.redundant_copies += r->group_members - 1;
  // A hostile directory can claim sizes near 2^64: the count stops at the
  // largest it can say rather than wrap to a small, plausible number.
  std::uint64_t bytes = 0;
  if (r->group_one_size &&
      (__builtin_mul_overflow(r->group_members - 1, r->group_size, &bytes) ||
       __builtin_add_overflow(t.redundant_bytes, bytes, &t.redundant_bytes))) {
    t.redundant_bytes = UINT64_MAX;
  }
  if (r->tally != nullptr) tally_group(r);
}

void say_member(Report* r, const Member& m, const MemberName& name, const MemberSizes* facts) {
  ArchiveCuts cuts;
  r->sink->member(ref_of(m.archive, &cuts), name, facts);
  count_member(r, facts);
  tally(r, m, true);
}

void say_unreadable(Report* r, const Member& m) {
  ArchiveCuts cuts;
  r->sink->member_unreadable(ref_of(m.archive, &cuts));
  count_member(r, nullptr);
  tally(r, m, false);
}

NameLookup look_up(Report* r, const Member& m, RevisitEntry* entry) {
  NameLookup found = revisit_lookup(r->rv, place_of(m.archive), m.crc32, m.cd_pos, entry);
  if (found == NameLookup::NoMemory)
    throw ReportNoMemory{"internal error, lookup_entry_name, out of memory", false};
  return found;
}

ArchiveRef ref_of(const ArchiveName* archive, ArchiveCuts* cuts) {
  if (archive->depth == 0) return ArchiveRef{archive->path};
  ZORV_ASSERT(archive->depth <= NEST_DEPTH_MAX, "archive->depth <= NEST_DEPTH_MAX");
  std::uint32_t level = archive->depth;
  for (const ArchiveName* a = archive->outer; a != nullptr; a = a->outer)
    cuts->at[--level] = static_cast<std::uint32_t>(std::strlen(a->path));
  return ArchiveRef{archive->path, cuts->at, archive->depth};
}

ArchivePlace place_of(const ArchiveName* archive) {
  if (archive->depth == 0) return ArchivePlace{archive->path};
  return ArchivePlace{archive->path, archive->file->path,
                      ZipSpan{archive->span_base, archive->span_len}};
}

ReportLimits report_limits_for(std::uint64_t index_bytes) {
  auto bytes =
      static_cast<std::size_t>(std::min<std::uint64_t>(index_bytes, std::uint64_t{1} << 40));
  return ReportLimits{std::max(REPORT_LIMITS.members, bytes / 64),
                      std::max(REPORT_LIMITS.name_bytes, bytes / 8 * 3)};
}

Report* report_gather(const Index* ix, const ReportOptions& options, ReportSink* sink,
                      Revisit* rv) {
  auto* r = static_cast<Report*>(std::calloc(1, sizeof(Report)));
  if (r == nullptr) return nullptr;
  r->sink = sink;
  r->ix = ix;
  r->rv = rv;
  r->split = options.split;
  r->tally = options.tally;
  r->full_names = options.full_names;
  r->text_names = options.text_names;
  r->check_threads = options.check_threads != 0 ? options.check_threads : verify_threads();
  r->on_check = options.on_check;
  r->ctx = options.ctx;
  r->cache = options.cache;
  r->on_cached = options.on_cached;
  r->stats.archive_walks = revisit_walks(rv);  // until the end: the walks before it
  r->stats.lookups = revisit_lookups(rv);
  const ReportLimits& limits = options.limits;
  // A place holds a member's index in 32 bits, and names are found by 32-bit
  // offsets, which must stay clear of the marks. Only as many members as the
  // groups hold are reserved.
  IndexCounts counts = index_counts(ix);
  std::size_t most = std::clamp<std::size_t>(limits.members, 1, UINT32_MAX);
  r->cap = std::max<std::size_t>(1, std::min<std::size_t>(most, counts.group_members));
  r->size = r->cap;
  r->with_facts = r->split != ReportSplit::None || options.facts;
  // Only a check reads more than a member's sizes.
  r->all_facts = r->split == ReportSplit::Content;
  // Facts in the arena take what an array of them took beside it.
  std::size_t facts_bytes = r->with_facts ? r->cap * (kept_facts_bytes(r) + 8) : 0;
  r->arena_limit =
      std::clamp<std::size_t>(limits.name_bytes + facts_bytes, 65536, std::size_t{1} << 30);
  r->runs_cap = std::clamp<std::size_t>(limits.archives, 1, 65536);
  if (counts.groups == 0) return r;
  try {
    r->members = take<Member>(r->cap);

    index_each_group(ix, queue_group, r);
    gather_queued(r);
  } catch (const ReportNoMemory& e) {
    stop(r, e);
  } catch (const std::bad_alloc&) {
    stop(r, ReportNoMemory{"internal error, print_report, out of memory", false});
  }
  return r;
}

bool report_print(Report* r, ReportStats* stats) {
  try {
    if (!r->unmatched) flush_batch(r);
  } catch (const ReportNoMemory& e) {
    stop(r, e);
  } catch (const std::bad_alloc&) {
    stop(r, ReportNoMemory{"internal error, print_report, out of memory", false});
  }
  bool whole = !r->unmatched;
  r->stats.archive_walks = revisit_walks(r->rv) - r->stats.archive_walks;
  r->stats.lookups = revisit_lookups(r->rv) - r->stats.lookups;
  if (stats != nullptr) *stats = r->stats;
  release(r);
  return whole;
}

namespace {

struct Listing {
  ReportSink* sink;
};

void say_listed(const ArchiveTally* archive, void* ctx) {
  // Tot 0: the archive could not be read for the report (the reader has
  // said why). Its entries are unknown, so it cannot be said to be copied
  // whole, even when it counted no members either; nor can one whose walk
  // stopped at a damaged header.
  bool whole = archive->complete && archive->total != 0 && archive->total == archive->found &&
               archive->covered == archive->total;
  ArchiveCuts cuts;
  static_cast<Listing*>(ctx)->sink->archive_summary(ref_of(archive->archive, &cuts), archive->total,
                                                    archive->found,
                                                    whole);
}

}  // namespace

void print_archive_summary(const Index* ix, ReportSink* sink) {
  Listing listing{sink};
  index_each_listed(ix, say_listed, &listing);
}

}  // namespace zorv
