// Reading archives again after indexing: the names and directory facts of
// the members the report prints.
//
// Names are not kept while indexing, so the report asks for them here, a
// batch at a time: for each archive of the batch, in the order given, the
// archive is asked of the read-ahead (which opens the next ones while this
// one is walked), its directory is walked once, and every entry standing
// at a position a place names is handed to the caller, who says whether it
// is the member it wants (the CRC-32 tells an archive changed in place).
// Per archive the caller learns whether it opened, how many entries the
// walk read and whether it reached the directory's end. Members a batch
// walk did not find are looked up one by one (revisit_lookup): that tells
// an archive that changed from one that vanished. The reader's lines (why
// an archive could not be opened, a damaged header) are said to the Diag
// the revisit was started with, where a serial run would have said them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/diag.h"
#include "zip/verify.h"
#include "zip/zipdir.h"

namespace zorv {

struct Readahead;  // zip/readahead.h

// A member to find, as a 64-bit number: a 32-bit key (its directory
// position when handed in here; the report first keys by archive ordinal)
// above the caller's index for the member. Sorted, places come in directory
// order.
using Place = std::uint64_t;

inline std::uint32_t key_of(Place p) {
  return static_cast<std::uint32_t>(p >> 32);
}

inline std::uint32_t member_of(Place p) {
  return static_cast<std::uint32_t>(p);
}

inline Place place_of(std::uint32_t key, std::size_t member) {
  return Place{key} << 32 | member;
}

// What the directory says of a member, beyond its name: the sizes, method,
// flags, CRC-32 and local header offset a check reads it by, and the bytes
// in front of its archive.
struct MemberFacts {
  VerifyItem item;
  std::int64_t shift;
};

// One entry found again: its stored name (name_len bytes; a NUL follows),
// CRC-32 and facts; the whole stored name's length (name_len may stop at
// a NUL) and its extra field, which tell what the name is as text
// (zip/zip_name.h).
struct RevisitEntry {
  const char* name;
  std::uint16_t name_len;
  std::uint32_t crc32;
  MemberFacts facts;
  std::uint16_t stored_len;
  std::uint16_t extra_len;
  const unsigned char* extra;
};

// Where an archive is: its path, or for one stored inside another the
// name its messages give, the file it lies in and its bytes there.
struct ArchivePlace {
  ArchivePlace(const char* p) : path(p) {}  // a file's
  ArchivePlace(const char* p, const char* f, ZipSpan s) : path(p), file(f), span(s) {}
  const char* path;
  const char* file = nullptr;  // null: path
  ZipSpan span = {};
};

// One archive of a batch: where it is and its places, sorted by directory
// position.
struct RevisitArchive {
  ArchivePlace where;
  const Place* places;
  std::size_t count;
};

// How a batch walk of one archive went.
struct RevisitWalk {
  bool opened;            // false: the reader said why; none of its members was found
  std::uint64_t entries;  // entries the walk read (it stops after the last place)
  bool complete;          // it reached the directory's end
};

enum class RevisitTake {
  Taken,  // the entry is the member
  NotIt,  // another entry stands there now: the member stays not found
  Full,   // the caller has no room for it: the batch stops here
};

// What a batch hands back, each call with `ctx`: `entry` for every entry at
// a place's position (member: the place's index), `walked` once per
// archive, after its entries (archive: its index in the batch), and
// `upcoming` (may be null) a member a few places before its entry comes.
struct RevisitCalls {
  RevisitTake (*entry)(void* ctx, std::uint32_t member, const RevisitEntry& entry);
  void (*walked)(void* ctx, std::size_t archive, const RevisitWalk& walk);
  void (*upcoming)(void* ctx, std::uint32_t member);
  void* ctx;
};

struct Revisit;

// Reads through `ahead` (null: one of its own, one archive at a time),
// lending `cache`'s buffer; lines go to `diag`. Null when there is no
// memory.
Revisit* revisit_start(Readahead* ahead, ZipCache* cache, Diag* diag);

// Releases it (the caller's read-ahead stays).
void revisit_stop(Revisit* rv);

enum class RevisitEnd {
  Done,      // every archive walked
  Full,      // `entry` said Full
  NoMemory,  // no memory to ask for an archive
};

// Walks the `n` archives, in order. Unless Done, the archives not yet
// walked are let go (and not reported by `walked`).
RevisitEnd revisit_batch(Revisit* rv, const RevisitArchive* archives, std::size_t n,
                         const RevisitCalls& calls);

enum class NameLookup {
  Found,       // the entry is found
  OpenFailed,  // the archive could not be opened (the reader said why)
  NoMatch,     // it opened, but holds no such entry: it changed
  NoMemory,    // no memory for the name
};

// Looks up, in the archive at `path`, the entry with this CRC-32 and
// position; when Found, *out holds it (its name valid until the next call).
NameLookup revisit_lookup(Revisit* rv, const ArchivePlace& where, std::uint32_t crc32,
                          std::uint32_t cd_pos, RevisitEntry* out);

// Archives walked for batches and members looked up one by one so far.
std::size_t revisit_walks(const Revisit* rv);
std::size_t revisit_lookups(const Revisit* rv);

// Caller storage for an entry name; grows as needed (up to a 65,535-byte
// name). Free `text`.
struct NameBuf {
  char* text;
  std::size_t cap;
};

// The lengths of what lookup_entry_name copied: the name, then a NUL, then
// the extra field (as much of it as lies in the directory).
struct EntrySpan {
  std::uint16_t name_len;
  std::uint16_t extra_len;
};

// revisit_lookup without a Revisit: the name (and a NUL, then the extra
// field) into *name_out, the facts into *facts and the lengths into *span
// when not null. Lines go to `diag`.
NameLookup lookup_entry_name(const ArchivePlace& where, std::uint32_t crc32, std::uint32_t cd_pos,
                             NameBuf* name_out, ZipCache* cache, Diag* diag,
                             MemberFacts* facts = nullptr, EntrySpan* span = nullptr);

}  // namespace zorv
