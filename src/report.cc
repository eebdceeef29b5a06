#include "report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "message.h"
#include "rb_funcs.h"
#include "util/bigalloc.h"
#include "zip/zipdir.h"

namespace zorv {

namespace {

constexpr std::uint32_t NO_NAME = UINT32_MAX;          // entry not found (yet)
constexpr std::uint32_t OPEN_FAILED = UINT32_MAX - 1;  // its archive could not be opened
// Members are written in directory order and read in report order: both
// jump about in memory, so the loops ask for the member (or name) they will
// need this many steps on while they work on the current one.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 16;

constexpr std::uint16_t GROUP_START = 1;
constexpr std::uint16_t GROUP_END = 2;

// A copy of the member's EntryRef, taken once during the tree walk: the
// entries lie scattered in memory, and the batch reads them twice more.
struct Member {
  const ArchiveName* archive;
  std::uint32_t crc32;
  std::uint32_t cd_pos;
  std::uint32_t name;      // offset of its name in the arena, or NO_NAME
  std::uint16_t name_len;  // up to its first NUL: what is printed
  std::uint16_t flags;     // GROUP_START, GROUP_END
};

// A member of the batch as a 64-bit number: a 32-bit key (first its
// archive's ordinal, later its cd_pos) above its index in the batch. Sorted,
// places bring each archive's members together, then in directory order.
using Place = std::uint64_t;

std::uint32_t key_of(Place p) {
  return static_cast<std::uint32_t>(p >> 32);
}

std::uint32_t member_of(Place p) {
  return static_cast<std::uint32_t>(p);
}

Place place_of(std::uint32_t key, std::size_t member) {
  return Place{key} << 32 | member;
}

// Sorts places by key, members in ascending order for equal keys: a radix
// sort (16-bit digits, only as many passes as the largest key needs) for
// long runs, through `spare` (n places). Returns whichever of the two
// arrays holds the result.
Place* sort_places(Place* places, Place* spare, std::size_t n) {
  if (n < 4096) {
    std::sort(places, places + n);
    return places;
  }
  std::uint32_t max_key = 0;
  for (std::size_t i = 0; i < n; ++i)
    max_key = std::max(max_key, key_of(places[i]));
  static std::uint32_t count[1 << 16];
  for (int shift = 32; shift < 64 && (Place{max_key} << 32 >> shift) != 0; shift += 16) {
    std::fill(std::begin(count), std::end(count), 0);
    for (std::size_t i = 0; i < n; ++i)
      ++count[(places[i] >> shift) & 0xffff];
    std::uint32_t sum = 0;
    for (std::uint32_t& c : count)
      sum += std::exchange(c, sum);
    for (std::size_t i = 0; i < n; ++i)
      spare[count[(places[i] >> shift) & 0xffff]++] = places[i];
    std::swap(places, spare);
  }
  return places;
}

// The walk's visit function takes no context, so the batch being gathered
// lives here for the length of print_report.
struct Batch {
  Member* members;
  Place* places;
  Place* spare_places;  // the radix sort's other half
  std::size_t count;
  std::size_t cap;   // members gathered before they are resolved and printed
  std::size_t size;  // members resolved at a time; shrinks when names are long
  char* arena;
  std::size_t arena_used;
  NameBuf fallback;
};

Batch batch{};

std::size_t arena_bytes = 0;

void reserve(NameBuf* buf, std::size_t need) {
  if (need <= buf->cap) return;
  std::free(buf->text);
  buf->text = static_cast<char*>(std::malloc(need));
  if (buf->text == nullptr) error_exit("internal error, lookup_entry_name, out of memory");
  buf->cap = need;
}

// Keeps a name (up to its first NUL: that is what prints); false when the
// arena is full.
bool keep_name(const ZipEntry& entry, Member* member) {
  std::size_t len = strnlen(entry.name, entry.name_len);
  if (batch.arena_used + len > arena_bytes) return false;
  std::memcpy(batch.arena + batch.arena_used, entry.name, len);
  member->name = static_cast<std::uint32_t>(batch.arena_used);
  member->name_len = static_cast<std::uint16_t>(len);
  batch.arena_used += len;
  return true;
}

// Reads the names of places [from, to), all of one archive, sorted by
// cd_pos, in one walk. When the archive cannot be opened (the reader says
// why, once) its members are marked OPEN_FAILED. Members whose entry is not
// found keep NO_NAME: the archive changed, and printing looks them up again
// one by one to report exactly that. False when the arena ran full.
bool read_archive_names(Member* members, const Place* from, const Place* to) {
  ++report_stats.archive_walks;
  ZipDir* zd = openzip(members[member_of(*from)].archive->path);
  if (zd == nullptr) {
    for (const Place* p = from; p != to; ++p)
      members[member_of(*p)].name = OPEN_FAILED;
    return true;
  }
  bool room = true;
  const Place* place = from;
  while (room && place != to) {
    const ZipEntry* entry = readzip(zd);
    if (entry == nullptr) break;
    while (place != to && key_of(*place) < zd->cd_pos)
      ++place;
    for (; room && place != to && key_of(*place) == zd->cd_pos; ++place) {
      if (to - place > PREFETCH_AHEAD)
        __builtin_prefetch(&members[member_of(place[PREFETCH_AHEAD])], 1);
      Member* m = &members[member_of(*place)];
      if (m->crc32 == entry->crc32) room = keep_name(*entry, m);
    }
  }
  closezip(zd);
  return room;
}

// Places for members [0, n), keyed by archive ordinal, in ordinal order and
// member order within an ordinal. With no more archives in the ordinals'
// range than members (the usual case) a counting sort puts them in place,
// leaving the spare array for the runs; otherwise a radix sort through it.
Place* places_by_archive(const Member* members, std::size_t n) {
  std::uint32_t low = UINT32_MAX;
  std::uint32_t high = 0;
  for (std::size_t i = 0; i < n; ++i) {
    low = std::min(low, members[i].archive->ordinal);
    high = std::max(high, members[i].archive->ordinal);
  }
  std::size_t archives = std::size_t{high} - low + 1;
  if (archives > n) {
    for (std::size_t i = 0; i < n; ++i)
      batch.places[i] = place_of(members[i].archive->ordinal, i);
    return sort_places(batch.places, batch.spare_places, n);
  }
  auto* start = static_cast<std::uint32_t*>(std::calloc(archives + 1, sizeof(std::uint32_t)));
  if (start == nullptr) error_exit("internal error, print_report, out of memory");
  for (std::size_t i = 0; i < n; ++i)
    ++start[members[i].archive->ordinal - low + 1];
  for (std::size_t a = 0; a < archives; ++a)
    start[a + 1] += start[a];
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t ordinal = members[i].archive->ordinal;
    batch.places[start[ordinal - low]++] = place_of(ordinal, i);
  }
  std::free(start);
  return batch.places;
}

// Names for members [0, n); false when they do not fit in the arena. The
// members are sorted by archive, then each archive's run by position.
bool resolve(Member* members, std::size_t n) {
  ++report_stats.batches;
  batch.arena_used = 0;
  for (std::size_t i = 0; i < n; ++i)
    members[i].name = NO_NAME;
  Place* places = places_by_archive(members, n);
  Place* spare = places == batch.places ? batch.spare_places : batch.places;
  for (std::size_t i = 0; i < n;) {
    std::uint32_t archive = key_of(places[i]);
    std::size_t j = i;
    for (; j < n && key_of(places[j]) == archive; ++j) {
      std::uint32_t m = member_of(places[j]);
      places[j] = place_of(members[m].cd_pos, m);
    }
    Place* run = sort_places(places + i, spare, j - i);
    if (!read_archive_names(members, run, run + (j - i))) return false;
    i = j;
  }
  return true;
}

// Report lines are assembled here piece by piece with known lengths (printf
// would measure every name again) and go to stdout 1 MiB at a time: a
// report of millions of lines then costs a few dozen writes. The block is
// handed over before anything else may write or end the run.
char out_block[std::size_t{1} << 20];
std::size_t out_used = 0;

void flush_out() {
  fwrite_unlocked(out_block, 1, out_used, stdout);
  out_used = 0;
}

void put(const char* text, std::size_t len) {
  if (len > sizeof out_block - out_used) {
    flush_out();
    if (len > sizeof out_block) {
      fwrite_unlocked(text, 1, len, stdout);
      return;
    }
  }
  std::memcpy(out_block + out_used, text, len);
  out_used += len;
}

void put(const char* text) {
  put(text, std::strlen(text));
}

void put_crc_line(std::uint32_t crc32) {
  static const char hex[] = "0123456789abcdef";
  char line[] = "CRC32: 0x00000000\n";
  for (int i = 0; i < 8; ++i)
    line[9 + i] = hex[(crc32 >> (28 - 4 * i)) & 0xf];
  put(line, sizeof line - 1);
}

void print_members(const Member* members, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (i + PREFETCH_AHEAD < n && members[i + PREFETCH_AHEAD].name < OPEN_FAILED) {
      __builtin_prefetch(batch.arena + members[i + PREFETCH_AHEAD].name);
    }
    const Member& m = members[i];
    if ((m.flags & GROUP_START) != 0) put_crc_line(m.crc32);
    const char* path = m.archive->path;
    put("file: ", 6);
    put(path);
    put(", ", 2);
    if (m.name == OPEN_FAILED) {
      put("openzip failed on: ");
      put(path);
    } else if (m.name == NO_NAME) {
      ++report_stats.lookups;
      flush_out();  // the lookup may end the run: what came before stays printed
      lookup_entry_name(path, m.crc32, m.cd_pos, &batch.fallback);
      put(batch.fallback.text);
    } else {
      put(batch.arena + m.name, m.name_len);
    }
    put("\n", 1);
    if ((m.flags & GROUP_END) != 0) put("-------\n", 8);
  }
}

// Resolves and prints the gathered members. When their names overflow the
// arena, fewer members are resolved at a time (one always fits).
void flush_batch() {
  std::size_t done = 0;
  while (done < batch.count) {
    std::size_t n = std::min(batch.size, batch.count - done);
    if (!resolve(batch.members + done, n)) {
      batch.size = std::max<std::size_t>(1, n / 2);
      continue;
    }
    print_members(batch.members + done, n);
    done += n;
  }
  batch.count = 0;
}

// Groups come from the walk in report order, and they, their links and
// their entries lie anywhere in memory. They are queued and copied into the
// batch a queue at a time: each round of prefetches goes one pointer
// further for every queued group at once, so the misses overlap.
constexpr std::size_t GATHER_QUEUE = 32;
const DupeGroup* queued_groups[GATHER_QUEUE];
std::size_t queued_count = 0;

void gather_queued() {
  for (std::size_t i = 0; i < queued_count; ++i) {
    __builtin_prefetch(queued_groups[i]->head.entry);
    __builtin_prefetch(queued_groups[i]->head.next);
  }
  for (std::size_t i = 0; i < queued_count; ++i)
    if (const DupeLink* next = queued_groups[i]->head.next) __builtin_prefetch(next->entry);
  for (std::size_t i = 0; i < queued_count; ++i) {
    const DupeGroup* group = queued_groups[i];
    for (const DupeLink* link = &group->head; link != nullptr; link = link->next) {
      if (batch.count == batch.cap) flush_batch();
      std::uint16_t flags = link == &group->head ? GROUP_START : 0;
      if (link->next == nullptr) flags |= GROUP_END;
      const EntryRef* e = link->entry;
      batch.members[batch.count++] = Member{e->archive, e->crc32, e->cd_pos, NO_NAME, 0, flags};
    }
  }
  queued_count = 0;
}

void tally_dupe_group(void* item) {
  for (DupeLink* link = &static_cast<DupeGroup*>(item)->head; link != nullptr; link = link->next) {
    FileListInsert(link->entry->archive->path);
  }
}

}  // namespace

ReportStats report_stats{0, 0, 0};

// A batch's arrays take at most 44 bytes a member: with the names, the
// report's own memory stays under 48 MiB whatever the collection (pages are touched only
// as far as a batch needs them). A million-entry collection fits in one batch.
ReportLimits report_limits{std::size_t{1} << 19, std::size_t{24} << 20};

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

void print_dupe_group(void* group) {
  __builtin_prefetch(group);
  queued_groups[queued_count++] = static_cast<const DupeGroup*>(group);
  if (queued_count == GATHER_QUEUE) gather_queued();
}

void print_report(const RbTree* dupes, void (*gathered)()) {
  report_stats = ReportStats{0, 0, 0};
  if (dupes->root == nullptr) return;
  // A place holds a member's index in 32 bits.
  std::size_t members = std::clamp<std::size_t>(report_limits.members, 1, UINT32_MAX);
  // Names are found by 32-bit offsets, which must stay clear of the marks.
  arena_bytes = std::clamp<std::size_t>(report_limits.name_bytes, 65536, std::size_t{1} << 30);
  // Reserved, not touched: pages are used only as far as members and names need.
  batch.members = static_cast<Member*>(big_alloc(members * sizeof(Member)));
  batch.places = static_cast<Place*>(big_alloc(members * sizeof(Place)));
  batch.spare_places = static_cast<Place*>(big_alloc(members * sizeof(Place)));
  batch.arena = static_cast<char*>(big_alloc(arena_bytes));
  if (batch.members == nullptr || batch.places == nullptr || batch.spare_places == nullptr ||
      batch.arena == nullptr) {
    error_exit("internal error, print_report, out of memory");
  }
  batch.count = 0;
  batch.cap = members;
  batch.size = members;
  rbtree_walk(dupes->root, print_dupe_group);
  gather_queued();
  if (gathered != nullptr && report_stats.batches == 0) gathered();
  flush_batch();
  flush_out();
  std::free(batch.members);
  std::free(batch.places);
  std::free(batch.spare_places);
  std::free(batch.arena);
  std::free(batch.fallback.text);
  batch = Batch{};
}

void print_archive_summary(const RbTree* dupes, RbTree* tally) {
  rbtree_walk(dupes->root, tally_dupe_group);
  while (auto* archive = static_cast<ArchiveTally*>(rbtree_deletemin(tally))) {
    // Tot 0: the archive could not be read for the summary (the reader has
    // said why). Its entries are unknown, so it cannot be said to be copied
    // whole, even when it counted no members either.
    bool whole = archive->total != 0 && archive->total == archive->found;
    std::printf("FileListName: %s (Tot %d, Found %d) %s\n", archive->path, archive->total,
                archive->found, whole ? "***" : "");
    std::free(archive);
  }
}

}  // namespace zorv
