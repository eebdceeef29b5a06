#include "report.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "message.h"
#include "report_batch.h"
#include "util/bigalloc.h"

namespace zorv {

void report_out_of_memory() {
  error_exit("internal error, print_report, out of memory");
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

void reserve(NameBuf* buf, std::size_t need) {
  if (need <= buf->cap) return;
  std::free(buf->text);
  buf->text = static_cast<char*>(std::malloc(need));
  if (buf->text == nullptr) error_exit("internal error, lookup_entry_name, out of memory");
  buf->cap = need;
}

}  // namespace

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

// What the directory says of an entry, for a split or a check.
MemberFacts facts_of(const ZipEntry& e, const ZipDir* zd) {
  return MemberFacts{VerifyItem{e.local_header_offset64, e.compressed_size64, e.uncompressed_size64,
                                e.crc32, e.method, e.flags},
                     zip_data_shift(zd)};
}

// Reads the names of places [from, to), all of one archive, sorted by
// cd_pos, in one walk of `zd`, which it closes. When the archive could not
// be opened (`zd` null; `a` says why, now) its members are marked
// OPEN_FAILED. Members whose entry is not found keep NO_NAME: the archive
// changed, and printing looks them up again one by one to report exactly
// that. False when the arena ran full.
bool read_archive_names(Report* r, Member* members, const Place* from, const Place* to,
                        Ahead* a) {
  ++r->stats.archive_walks;
  ZipDir* zd = std::exchange(a->zd, nullptr);
  if (zd == nullptr) {
    print_messages(&a->messages);
    for (const Place* p = from; p != to; ++p)
      members[member_of(*p)].name = OPEN_FAILED;
    return true;
  }
  bool room = true;
  const Place* place = from;
  const ZipEntry* entry;
  while (room && place != to && readzip(zd, &entry) == ZipRead::Entry) {
    std::uint32_t pos = zip_entry_pos(zd);
    while (place != to && key_of(*place) < pos)
      ++place;
    for (; room && place != to && key_of(*place) == pos; ++place) {
      if (to - place > PREFETCH_AHEAD)
        __builtin_prefetch(&members[member_of(place[PREFETCH_AHEAD])], 1);
      Member* m = &members[member_of(*place)];
      if (m->crc32 != entry->crc32) continue;
      std::size_t len = r->full_names ? entry->name_len : strnlen(entry->name, entry->name_len);
      room = keep_name(r, entry->name, len, m);
      if (room && r->facts != nullptr) r->facts[m - r->members] = facts_of(*entry, zd);
    }
  }
  closezip(zd);
  return room;
}

// Asks for the archives of the places from *asked on (keyed by archive
// ordinal, grouped by it) while the window has room, one per run.
void ask_ahead(Report* r, const Member* members, const Place* places, std::size_t n,
               std::size_t* asked) {
  std::size_t i = *asked;
  while (i < n && !readahead_full(r->ahead)) {
    std::uint32_t archive = key_of(places[i]);
    if (!readahead_submit(r->ahead, members[member_of(places[i])].archive->path, nullptr, false))
      report_out_of_memory();
    while (i < n && key_of(places[i]) == archive)
      ++i;
  }
  *asked = i;
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
    r->arena_cap = std::clamp<std::size_t>(r->cap * 32, 65536, r->arena_limit);
    r->arena = take<char>(r->arena_cap);
  }
  if (r->places_cap < r->cap) {
    std::free(r->places);
    std::free(r->spare_places);
    r->places = take<Place>(r->cap);
    r->spare_places = take<Place>(r->cap);
    r->places_cap = r->cap;
  }
  r->arena_used = 0;
  for (std::size_t i = 0; i < n; ++i)
    members[i].name = NO_NAME;
  Place* places = places_by_archive(r, members, n);
  Place* spare = places == r->places ? r->spare_places : r->places;
  std::size_t asked = 0;  // places of archives asked for; never rekeyed yet
  for (std::size_t i = 0; i < n;) {
    ask_ahead(r, members, places, n, &asked);
    std::uint32_t archive = key_of(places[i]);
    std::size_t j = i;
    for (; j < n && key_of(places[j]) == archive; ++j) {
      std::uint32_t m = member_of(places[j]);
      places[j] = place_of(members[m].cd_pos, m);
    }
    Place* run = sort_places(r, places + i, spare, j - i);
    bool room = read_archive_names(r, members, run, run + (j - i), readahead_take(r->ahead));
    readahead_release(r->ahead);
    if (!room) {
      readahead_drop(r->ahead);
      return false;
    }
    i = j;
  }
  return true;
}

// Says one member whose name the batch did not find: its archive changed or
// vanished since indexing. False when it no longer holds the entry.
bool say_looked_up(Report* r, const Member& m) {
  ++r->stats.lookups;
  const char* path = m.archive->path;
  MemberFacts facts{};
  MemberFacts* want = r->facts != nullptr ? &facts : nullptr;
  switch (lookup_entry_name(path, m.crc32, m.cd_pos, &r->fallback, r->cache, want)) {
    case NameLookup::Found: {
      const VerifyItem* known = want != nullptr ? &facts.item : nullptr;
      r->sink->member(path, r->fallback.text, std::strlen(r->fallback.text), known);
      count_member(r, known);
      return true;
    }
    case NameLookup::OpenFailed:
      r->sink->member_unreadable(path);
      count_member(r, nullptr);
      return true;
    case NameLookup::NoMatch:
      break;
  }
  r->sink->member_unmatched(path);
  r->stats.unmatched = path;
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
      sink->member_unreadable(m.archive->path);
      count_member(r, nullptr);
    } else if (m.name == NO_NAME) {
      if (!say_looked_up(r, m)) return false;
    } else {
      const VerifyItem* facts = r->facts != nullptr ? &r->facts[&m - r->members].item : nullptr;
      sink->member(m.archive->path, r->arena + m.name, m.name_len, facts);
      count_member(r, facts);
    }
    if ((m.flags & GROUP_END) != 0) {
      sink->end_group();
      count_group_end(r);
    }
  }
  return true;
}

// The length of the group starting at members[0].
std::size_t group_length(const Member* members) {
  std::size_t n = 1;
  while ((members[n - 1].flags & GROUP_END) == 0)
    ++n;
  return n;
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
  r->facts = regrow(r->facts, r->count, n);
  r->cap = n;
  r->size = std::max(r->size, n);
}

void gather_queued(Report* r) {
  const DupeGroup* const* queued = r->queued;
  std::size_t n = std::exchange(r->queued_count, 0);
  for (std::size_t i = 0; i < n; ++i) {
    __builtin_prefetch(queued[i]->head.entry);
    __builtin_prefetch(queued[i]->head.next);
  }
  for (std::size_t i = 0; i < n; ++i)
    if (const DupeLink* next = queued[i]->head.next) __builtin_prefetch(next->entry);
  bool split = r->split != ReportSplit::None;
  for (std::size_t i = 0; i < n; ++i) {
    const DupeGroup* group = queued[i];
    if (split) {
      std::size_t length = 0;
      for (const DupeLink* link = &group->head; link != nullptr; link = link->next)
        ++length;
      hold_group(r, length);
    }
    for (const DupeLink* link = &group->head; link != nullptr; link = link->next) {
      if (r->count == r->cap) flush_batch(r);
      std::uint16_t flags = link == &group->head ? GROUP_START : 0;
      if (link->next == nullptr) flags |= GROUP_END;
      const EntryRef* e = link->entry;
      r->members[r->count++] = Member{e->archive, e->crc32, e->cd_pos, NO_NAME, 0, flags};
    }
  }
}

void queue_group(void* group, void* ctx) {
  auto* r = static_cast<Report*>(ctx);
  __builtin_prefetch(group);
  r->queued[r->queued_count++] = static_cast<const DupeGroup*>(group);
  if (r->queued_count == GATHER_QUEUE) gather_queued(r);
}

// The archives -l counts, each opened again once: in the order the groups
// first name them, which is the order a one-by-one count would open them
// in, so the reader's messages come in the same order.
struct Summary {
  Index* ix;
  std::vector<std::pair<const ArchiveName*, ArchiveTally*>> fresh;
};

void tally_group(void* item, void* ctx) {
  auto* s = static_cast<Summary*>(ctx);
  for (DupeLink* link = &static_cast<DupeGroup*>(item)->head; link != nullptr; link = link->next) {
    bool fresh;
    ArchiveTally* tally = FileListTally(s->ix, link->entry->archive, &fresh);
    if (fresh) s->fresh.emplace_back(link->entry->archive, tally);
  }
}

void open_tallied(Summary& s, Readahead* ahead) {
  std::size_t asked = 0;
  for (std::size_t i = 0; i < s.fresh.size(); ++i) {
    while (asked < s.fresh.size() && !readahead_full(ahead)) {
      if (!readahead_submit(ahead, s.fresh[asked].first->path, nullptr, false))
        report_out_of_memory();
      ++asked;
    }
    Ahead* a = readahead_take(ahead);
    if (a->zd == nullptr) print_messages(&a->messages);
    FileListOpened(s.fresh[i].second, s.fresh[i].first, a->zd != nullptr);
    readahead_release(ahead);
  }
}

void release(Report* r) {
  if (r->own_ahead != nullptr) readahead_stop(r->own_ahead);
  std::free(r->members);
  std::free(r->facts);
  std::free(r->places);
  std::free(r->spare_places);
  std::free(r->radix_count);
  std::free(r->arena);
  std::free(r->fallback.text);
  std::free(r);
}

}  // namespace

void count_group_start(Report* r) {
  r->group_members = 0;
  r->group_one_size = true;
}

void count_member(Report* r, const VerifyItem* facts) {
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
  if (r->group_one_size) t.redundant_bytes += (r->group_members - 1) * r->group_size;
}

Report* report_gather(const Index* ix, const ReportOptions& options, ReportSink* sink,
                      ZipCache* cache) {
  auto* r = static_cast<Report*>(std::calloc(1, sizeof(Report)));
  if (r == nullptr) report_out_of_memory();
  r->sink = sink;
  r->cache = cache;
  r->ahead = options.ahead;
  if (r->ahead == nullptr) {
    r->own_ahead = readahead_start(ahead_limits(1), cache);
    if (r->own_ahead == nullptr) report_out_of_memory();
    r->ahead = r->own_ahead;
  }
  r->split = options.split;
  r->tally = options.tally;
  r->full_names = options.full_names;
  r->on_check = options.on_check;
  r->ctx = options.ctx;
  const ReportLimits& limits = options.limits;
  // A place holds a member's index in 32 bits, and names are found by 32-bit
  // offsets, which must stay clear of the marks. Only as many members as the
  // groups hold are reserved.
  std::size_t most = std::clamp<std::size_t>(limits.members, 1, UINT32_MAX);
  r->cap = std::max<std::size_t>(1, std::min(most, ix->group_members));
  r->size = r->cap;
  r->arena_limit = std::clamp<std::size_t>(limits.name_bytes, 65536, std::size_t{1} << 30);
  if (ix->DupeTree->root == nullptr) return r;
  r->members = take<Member>(r->cap);
  if (r->split != ReportSplit::None || options.facts) r->facts = take<MemberFacts>(r->cap);
  rbtree_walk(ix->DupeTree, queue_group, r);
  gather_queued(r);
  return r;
}

bool report_print(Report* r, ReportStats* stats) {
  flush_batch(r);
  bool whole = !r->unmatched;
  if (stats != nullptr) *stats = r->stats;
  release(r);
  return whole;
}

NameLookup lookup_entry_name(const char* path, std::uint32_t crc32, std::uint32_t cd_pos,
                             NameBuf* name_out, ZipCache* cache, MemberFacts* facts) {
  reserve(name_out, 1);
  name_out->text[0] = '\0';
  ZipDir* zd = openzip(path, cache);
  if (zd == nullptr) return NameLookup::OpenFailed;
  const ZipEntry* entry;
  while (readzip(zd, &entry) == ZipRead::Entry) {
    if (entry->crc32 == crc32 && zip_entry_pos(zd) == cd_pos) {
      reserve(name_out, entry->name_len + 1u);
      std::memcpy(name_out->text, entry->name, entry->name_len + 1u);
      if (facts != nullptr) *facts = facts_of(*entry, zd);
      closezip(zd);
      return NameLookup::Found;
    }
  }
  closezip(zd);
  return NameLookup::NoMatch;
}

void print_archive_summary(Index* ix, ReportSink* sink, ZipCache* cache, bool counted,
                           Readahead* ahead) {
  if (!counted) {
    Readahead* own = ahead == nullptr ? readahead_start(ahead_limits(1), cache) : nullptr;
    if (ahead == nullptr && own == nullptr) report_out_of_memory();
    try {
      Summary s{ix, {}};
      rbtree_walk(ix->DupeTree, tally_group, &s);
      open_tallied(s, own != nullptr ? own : ahead);
    } catch (const std::bad_alloc&) {
      report_out_of_memory();
    }
    if (own != nullptr) readahead_stop(own);
  }
  while (auto* archive = static_cast<ArchiveTally*>(rbtree_deletemin(ix->FileListTree))) {
    // Tot 0: the archive could not be read for the summary (the reader has
    // said why). Its entries are unknown, so it cannot be said to be copied
    // whole, even when it counted no members either; nor can one whose walk
    // stopped at a damaged header.
    bool whole = archive->complete && archive->total != 0 && archive->total == archive->found;
    sink->archive_summary(archive->path, archive->total, archive->found, whole);
    std::free(archive);
  }
}

}  // namespace zorv
