#include "report/revisit.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "zip/readahead.h"
#include "zip/zipdir.h"

namespace zorv {

struct Revisit {
  Readahead* ahead;      // the caller's, or own_ahead
  Readahead* own_ahead;  // one at a time, when the caller gave none
  ZipCache* cache;
  Diag* diag;
  NameBuf fallback;
  std::size_t walks;
  std::size_t lookups;
};

namespace {

// Places come in directory order and their members lie anywhere in the
// caller's memory: the walk names the member it will need this many places
// on, for the caller to bring into cache.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 16;

MemberFacts facts_of(const ZipEntry& e, const ZipDir* zd) {
  return MemberFacts{VerifyItem{e.local_header_offset64, e.compressed_size64, e.uncompressed_size64,
                                e.crc32, e.method, e.flags},
                     zip_data_shift(zd)};
}

RevisitEntry entry_of(const ZipEntry& e, const ZipDir* zd) {
  return RevisitEntry{e.name,     e.name_len,   e.crc32, facts_of(e, zd),
                      e.name_len, e.extra_seen, e.extra};
}

// Asks for the archives from *asked on while the window has room. False
// when there is no memory for a request.
bool ask_ahead(Revisit* rv, const RevisitArchive* archives, std::size_t n, std::size_t* asked) {
  for (; *asked < n && !readahead_full(rv->ahead); ++*asked) {
    const ArchivePlace& where = archives[*asked].where;
    bool asked_for = where.file == nullptr
                         ? readahead_submit(rv->ahead, where.path, nullptr, false)
                         : readahead_submit(rv->ahead, where.file, nullptr, false, false,
                                            where.span, where.path);
    if (!asked_for) return false;
  }
  return true;
}

// One walk of an opened archive over its places; false when the caller
// has no room.
bool walk_places(Revisit* rv, ZipDir* zd, const RevisitArchive& a, const RevisitCalls& calls,
                 RevisitWalk* walk) {
  const Place* place = a.places;
  const Place* end = a.places + a.count;
  const ZipEntry* entry;
  ZipRead read = ZipRead::End;
  while (place != end && (read = readzip(zd, &entry, rv->diag)) == ZipRead::Entry) {
    ++walk->entries;
    std::uint32_t pos = zip_entry_pos(zd);
    while (place != end && key_of(*place) < pos)
      ++place;
    for (; place != end && key_of(*place) == pos; ++place) {
      if (calls.upcoming != nullptr && end - place > PREFETCH_AHEAD)
        calls.upcoming(calls.ctx, member_of(place[PREFETCH_AHEAD]));
      if (calls.entry(calls.ctx, member_of(*place), entry_of(*entry, zd)) == RevisitTake::Full)
        return false;
    }
  }
  walk->complete = read == ZipRead::End;
  return true;
}

void reserve(NameBuf* buf, std::size_t need, bool* ok) {
  if (need <= buf->cap) return;
  std::free(buf->text);
  buf->text = static_cast<char*>(std::malloc(need));
  buf->cap = buf->text != nullptr ? need : 0;
  *ok = buf->text != nullptr;
}

}  // namespace

Revisit* revisit_start(Readahead* ahead, ZipCache* cache, Diag* diag) {
  auto* rv = static_cast<Revisit*>(std::calloc(1, sizeof(Revisit)));
  if (rv == nullptr) return nullptr;
  rv->ahead = ahead;
  rv->cache = cache;
  rv->diag = diag;
  if (ahead == nullptr) {
    rv->own_ahead = readahead_start(ahead_limits(1), cache);
    if (rv->own_ahead == nullptr) {
      std::free(rv);
      return nullptr;
    }
    rv->ahead = rv->own_ahead;
  }
  return rv;
}

void revisit_stop(Revisit* rv) {
  if (rv->own_ahead != nullptr) readahead_stop(rv->own_ahead);
  std::free(rv->fallback.text);
  std::free(rv);
}

RevisitEnd revisit_batch(Revisit* rv, const RevisitArchive* archives, std::size_t n,
                         const RevisitCalls& calls) {
  std::size_t asked = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // No memory to ask for the next archive at all: nothing is pending.
    if (!ask_ahead(rv, archives, n, &asked) && asked == i) return RevisitEnd::NoMemory;
    ++rv->walks;
    Ahead* a = readahead_take(rv->ahead);
    hand_on(&a->messages, rv->diag);
    ZipDir* zd = std::exchange(a->zd, nullptr);
    RevisitWalk walk{zd != nullptr, 0, false};
    bool room = zd == nullptr || walk_places(rv, zd, archives[i], calls, &walk);
    if (zd != nullptr) closezip(zd);
    readahead_release(rv->ahead);
    if (!room) {
      readahead_drop(rv->ahead);
      return RevisitEnd::Full;
    }
    calls.walked(calls.ctx, i, walk);
  }
  return RevisitEnd::Done;
}

namespace {

ZipDir* open_place(const ArchivePlace& where, ZipCache* cache, Diag* diag) {
  if (where.file == nullptr) return openzip(where.path, diag, cache);
  ZipOpen how{diag, cache, nullptr, nullptr};
  how.span = where.span;
  return openzip_named(where.file, where.path, how);
}

}  // namespace

NameLookup lookup_entry_name(const ArchivePlace& where, std::uint32_t crc32, std::uint32_t cd_pos,
                             NameBuf* name_out, ZipCache* cache, Diag* diag, MemberFacts* facts,
                             EntrySpan* span) {
  bool ok = true;
  reserve(name_out, 1, &ok);
  if (!ok) return NameLookup::NoMemory;
  name_out->text[0] = '\0';
  ZipDir* zd = open_place(where, cache, diag);
  if (zd == nullptr) return NameLookup::OpenFailed;
  NameLookup found = NameLookup::NoMatch;
  const ZipEntry* entry;
  while (readzip(zd, &entry, diag) == ZipRead::Entry) {
    if (entry->crc32 != crc32 || zip_entry_pos(zd) != cd_pos) continue;
    reserve(name_out, entry->name_len + 1u + entry->extra_seen, &ok);
    if (!ok) {
      found = NameLookup::NoMemory;
      break;
    }
    std::memcpy(name_out->text, entry->name, entry->name_len + 1u);
    if (entry->extra_seen > 0)
      std::memcpy(name_out->text + entry->name_len + 1, entry->extra, entry->extra_seen);
    if (facts != nullptr) *facts = facts_of(*entry, zd);
    if (span != nullptr) *span = EntrySpan{entry->name_len, entry->extra_seen};
    found = NameLookup::Found;
    break;
  }
  closezip(zd);
  return found;
}

NameLookup revisit_lookup(Revisit* rv, const ArchivePlace& where, std::uint32_t crc32,
                          std::uint32_t cd_pos, RevisitEntry* out) {
  ++rv->lookups;
  MemberFacts facts{};
  EntrySpan span{};
  NameLookup found =
      lookup_entry_name(where, crc32, cd_pos, &rv->fallback, rv->cache, rv->diag, &facts, &span);
  if (found == NameLookup::Found) {
    const char* text = rv->fallback.text;
    *out = RevisitEntry{text,
                        static_cast<std::uint16_t>(std::strlen(text)),
                        crc32,
                        facts,
                        span.name_len,
                        span.extra_len,
                        reinterpret_cast<const unsigned char*>(text + span.name_len + 1)};
  }
  return found;
}

std::size_t revisit_walks(const Revisit* rv) {
  return rv->walks;
}

std::size_t revisit_lookups(const Revisit* rv) {
  return rv->lookups;
}

}  // namespace zorv
