#include "cluster/resolve.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cache/cache.h"
#include "cluster/wire.h"
#include "zip/verify.h"

namespace zorv {

namespace {

constexpr char PLACES_MAGIC[8] = {'Z', 'O', 'R', 'V', 'P', 'L', 'C', 'S'};
// The other form: a keys run's archive list, then the places as the keys'
// records name them (archive number, position, CRC-32, size), in any order.
constexpr char NUMBERED_MAGIC[8] = {'Z', 'O', 'R', 'V', 'P', 'L', 'N', 'O'};
constexpr char ARCHIVES_MAGIC[8] = {'Z', 'O', 'R', 'V', 'A', 'R', 'C', 'S'};
constexpr char RESOLVED_MAGIC[8] = {'Z', 'O', 'R', 'V', 'R', 'S', 'L', 'V'};
// A chunk: what is read again at once, so memory stays bounded whatever
// the places file holds. A place costs about 200 bytes while held, so a
// chunk's places take some 6.5 MiB (an archive's places all join the chunk
// that reaches it, so one archive with more makes a larger one). Halving
// it from 64K places cut a 173K-place shard's peak from 33 to 23 MiB and
// did not slow it.
constexpr std::size_t CHUNK_PLACES = std::size_t{1} << 15;
constexpr std::size_t CHUNK_ARCHIVES = 1024;

enum Status : std::uint8_t { FOUND = 0, UNMATCHED = 1, UNVERIFIED = 2 };

struct Wanted {
  std::uint32_t pos;
  std::uint32_t crc32;
  std::uint64_t size;
  // What the walk found there.
  bool found = false;
  MemberFacts facts{};
  std::string name;   // stored, whole
  std::string extra;
  VerifyOutcome outcome{};
};

struct Archive {
  std::string path;
  std::size_t first;  // its places: [first, first + count) of the chunk's
  std::size_t count;
  bool opened = false;
};

struct Chunk {
  std::vector<Archive> archives;
  std::vector<Wanted> places;
};

struct Taking {
  Chunk* chunk;
  const std::vector<std::size_t>* walked;  // the batch's archives, as chunk indexes
};

RevisitTake take_entry(void* ctx, std::uint32_t member, const RevisitEntry& e) {
  auto* t = static_cast<Taking*>(ctx);
  Wanted& w = t->chunk->places[member];
  if (e.crc32 != w.crc32 || e.facts.item.size != w.size) return RevisitTake::NotIt;
  w.found = true;
  w.facts = e.facts;
  w.name.assign(e.name, e.stored_len);
  w.extra.assign(reinterpret_cast<const char*>(e.extra), e.extra_len);
  return RevisitTake::Taken;
}

void walked(void* ctx, std::size_t archive, const RevisitWalk& walk) {
  auto* t = static_cast<Taking*>(ctx);
  t->chunk->archives[(*t->walked)[archive]].opened = walk.opened;
}

// Reads the next chunk; false on a damaged file (*why).
bool read_chunk(WireIn& in, std::uint32_t* left, Chunk* chunk, std::string* why) {
  chunk->archives.clear();
  chunk->places.clear();
  // Taken once, not grown copy by copy; pages untouched cost nothing.
  chunk->places.reserve(CHUNK_PLACES);
  while (*left > 0 && chunk->places.size() < CHUNK_PLACES &&
         chunk->archives.size() < CHUNK_ARCHIVES) {
    Archive a;
    std::uint32_t count = 0;
    if (!in.str32(&a.path, WIRE_PATH_MAX) || !in.u32(&count)) {
      *why = "cut short or damaged";
      return false;
    }
    if (a.path.empty() || a.path.find('\0') != std::string::npos) {
      *why = "an archive's path is empty or holds a NUL";
      return false;
    }
    a.first = chunk->places.size();
    a.count = count;
    for (std::uint32_t i = 0; i < count; ++i) {
      Wanted w;
      if (!in.u32(&w.pos) || !in.u32(&w.crc32) || !in.u64(&w.size)) {
        *why = "cut short or damaged";
        return false;
      }
      chunk->places.push_back(std::move(w));
    }
    chunk->archives.push_back(std::move(a));
    --*left;
  }
  return true;
}

// Walks the chunk's archives again, CHUNK_ARCHIVES at most at a time.
RevisitEnd walk_chunk(Chunk& chunk, Revisit* rv) {
  std::vector<Place> places(chunk.places.size());
  std::vector<RevisitArchive> runs;
  std::vector<std::size_t> index;  // an archive without places is not walked
  for (std::size_t k = 0; k < chunk.archives.size(); ++k) {
    const Archive& a = chunk.archives[k];
    if (a.count == 0) continue;
    index.push_back(k);
    Place* run = places.data() + a.first;
    for (std::size_t i = 0; i < a.count; ++i)
      run[i] = place_of(chunk.places[a.first + i].pos, a.first + i);
    std::sort(run, run + a.count);
    runs.push_back(RevisitArchive{ArchivePlace(a.path.c_str()), run, a.count});
  }
  Taking t{&chunk, &index};
  RevisitCalls calls{take_entry, walked, nullptr, &t};
  return revisit_batch(rv, runs.data(), runs.size(), calls);
}

// Where a member's stored data reaches at the least: its local header, as
// long as the central one says, through its compressed bytes.
std::uint64_t least_end(const Wanted& w) {
  const VerifyItem& x = w.facts.item;
  std::uint64_t end = x.local_offset + 30 + w.name.size();
  return end < x.local_offset || end + x.compressed_size < end ? UINT64_MAX
                                                                : end + x.compressed_size;
}

// Members of one archive whose data overlap (a "bomb": one small stream
// under thousands of central entries) are refused before anything is read.
void refuse_overlaps(Chunk& chunk, const Archive& a, std::vector<bool>* refused) {
  std::vector<std::size_t> order;
  for (std::size_t i = a.first; i < a.first + a.count; ++i)
    if (chunk.places[i].found) order.push_back(i);
  std::sort(order.begin(), order.end(), [&chunk](std::size_t x, std::size_t y) {
    const Wanted& a = chunk.places[x];
    const Wanted& b = chunk.places[y];
    if (a.facts.item.local_offset != b.facts.item.local_offset)
      return a.facts.item.local_offset < b.facts.item.local_offset;
    return a.pos != b.pos ? a.pos < b.pos : x < y;
  });
  std::size_t reach = 0;  // of the members so far, the one ending last
  for (std::size_t t = 0; t < order.size(); ++t) {
    std::size_t m = order[t];
    const Wanted& w = chunk.places[m];
    const Wanted& r = chunk.places[reach];
    // One entry named twice in the places is not an overlap.
    if (t > 0 && w.pos != r.pos && w.facts.item.local_offset < least_end(r))
      (*refused)[m] = (*refused)[reach] = true;
    if (t == 0 || least_end(w) > least_end(r)) reach = m;
  }
}

// The members of one archive to read, and where their items and outcomes
// stand in the chunk's arrays.
struct Job {
  const Archive* archive;
  std::size_t start;  // in items/outcomes/back
  std::size_t count;
  std::int64_t shift;
  CacheArchive cached;  // with a cache: the file's status before the reads
  bool stat_ok;
};

bool check_chunk(Chunk& chunk, const ResolveOptions& o) {
  std::vector<bool> refused(chunk.places.size(), false);
  std::vector<VerifyItem> items(chunk.places.size());
  std::vector<VerifyName> names(chunk.places.size());
  std::vector<VerifyOutcome> outcomes(chunk.places.size());
  std::vector<std::size_t> back;  // item -> place
  back.reserve(chunk.places.size());
  std::vector<Job> jobs;
  std::unique_ptr<bool[]> hit(new bool[chunk.places.size() + 1]);
  for (const Archive& a : chunk.archives) {
    if (!a.opened) continue;
    refuse_overlaps(chunk, a, &refused);
    Job job{&a, back.size(), 0, 0, CacheArchive{a.path.c_str(), a.path.c_str(), 0, {}}, false};
    for (std::size_t i = a.first; i < a.first + a.count; ++i) {
      Wanted& w = chunk.places[i];
      if (!w.found) continue;
      if (refused[i]) {
        w.outcome = VerifyOutcome{Verdict::Overlaps, 0, {}};
        continue;
      }
      job.shift = w.facts.shift;
      items[back.size()] = w.facts.item;
      names[back.size()] = VerifyName{w.name.data(), static_cast<std::uint16_t>(w.name.size())};
      back.push_back(i);
    }
    job.count = back.size() - job.start;
    if (job.count == 0) continue;
    // What the cache holds for this very file is taken, the rest read.
    if (o.cache != nullptr && (job.stat_ok = cache_stat(a.path.c_str(), &job.cached.file))) {
      bool* found = hit.get() + job.start;
      if (cache_look_up(o.cache, job.cached, items.data() + job.start, job.count,
                        outcomes.data() + job.start, found) > 0) {
        std::size_t kept = job.start;
        for (std::size_t k = job.start; k < job.start + job.count; ++k) {
          if (hit[k]) {
            chunk.places[back[k]].outcome = outcomes[k];
            continue;
          }
          items[kept] = items[k];
          names[kept] = names[k];
          back[kept++] = back[k];
        }
        job.count = kept - job.start;
        back.resize(kept);
      }
    }
    if (job.count > 0) jobs.push_back(job);
  }
  std::vector<VerifyJob> reads;
  for (const Job& j : jobs)
    reads.push_back(VerifyJob{j.archive->path.c_str(), j.shift, items.data() + j.start,
                              outcomes.data() + j.start, names.data() + j.start, j.count, false});
  if (!reads.empty() && !verify_jobs(reads.data(), reads.size(), o.check_threads)) return false;
  for (std::size_t k = 0; k < back.size(); ++k)
    chunk.places[back[k]].outcome = outcomes[k];
  if (o.cache == nullptr) return true;
  // Kept only for a file still as it was when its reads began: a link
  // re-pointed meanwhile led them elsewhere.
  for (const Job& j : jobs) {
    CacheFile after{};
    if (j.stat_ok && cache_stat(j.archive->path.c_str(), &after) &&
        cache_same_file(j.cached.file, after))
      cache_store(o.cache, j.cached, items.data() + j.start, outcomes.data() + j.start, j.count);
  }
  cache_commit(o.cache);
  return true;
}

void write_chunk(WireOut& out, const Chunk& chunk, bool content) {
  for (const Archive& a : chunk.archives) {
    out.str32(a.path.data(), a.path.size());
    out.u8(a.opened ? 1 : 0);
    if (!a.opened) continue;
    out.u32(static_cast<std::uint32_t>(a.count));
    for (std::size_t i = a.first; i < a.first + a.count; ++i) {
      const Wanted& w = chunk.places[i];
      out.u32(w.pos);
      out.u32(w.crc32);
      out.u64(w.size);
      bool unverified = content && w.found && w.outcome.verdict != Verdict::Ok;
      out.u8(!w.found ? UNMATCHED : unverified ? UNVERIFIED : FOUND);
      if (!w.found) continue;
      out.u64(w.facts.item.compressed_size);
      out.u16(w.facts.item.method);
      out.u16(w.facts.item.flags);
      out.str16(w.name.data(), w.name.size());
      out.str16(w.extra.data(), w.extra.size());
      if (unverified) {
        char buf[64];
        const char* why = verify_reason(w.outcome, w.facts.item, buf, sizeof buf);
        out.str16(why, std::strlen(why));
      } else if (content) {
        out.bytes(w.outcome.digest, sizeof w.outcome.digest);
      }
    }
  }
}

// One chunk read again, checked and written.
ResolveEnd run_chunk(Chunk& chunk, const ResolveOptions& options, Revisit* rv, WireOut& out) {
  switch (walk_chunk(chunk, rv)) {
    case RevisitEnd::Done:
      break;
    case RevisitEnd::Full:
    case RevisitEnd::NoMemory:
      return ResolveEnd::NoMemory;
  }
  if (options.content && !check_chunk(chunk, options)) return ResolveEnd::NoMemory;
  write_chunk(out, chunk, options.content);
  return out.failed ? ResolveEnd::Write : ResolveEnd::Done;
}

struct Numbered {
  std::uint32_t archive;
  std::uint32_t pos;
  std::uint32_t crc32;
  std::uint64_t size;
};

// The numbered form: the archive list's paths, the places sorted by
// archive and position (as the listed form must give them), then chunks
// as the listed form makes them.
ResolveEnd resolve_numbered(WireIn& in, const ResolveOptions& options, Revisit* rv, WireOut& out,
                            std::string* why) {
  std::uint64_t len = 0;
  std::uint32_t rows = 0;
  std::uint32_t version = 0;
  *why = "cut short or damaged";
  if (!in.u64(&len)) return ResolveEnd::BadInput;
  std::uint64_t start = in.taken;
  if (!in.header(ARCHIVES_MAGIC, &rows, &version)) {
    *why = "its archive list is not one of this version";
    return ResolveEnd::BadInput;
  }
  std::vector<std::string> paths;
  for (std::uint32_t i = 0; i < rows; ++i) {
    std::string path;
    std::uint64_t claimed = 0;
    std::uint64_t read = 0;
    std::uint8_t complete = 0;
    if (!in.str32(&path, WIRE_PATH_MAX) || !in.u64(&claimed) || !in.u64(&read) || !in.u8(&complete))
      return ResolveEnd::BadInput;
    if (path.empty() || path.find('\0') != std::string::npos) {
      *why = "an archive's path is empty or holds a NUL";
      return ResolveEnd::BadInput;
    }
    paths.push_back(std::move(path));
  }
  if (in.taken - start != len) {
    *why = "its archive list is not as long as said";
    return ResolveEnd::BadInput;
  }
  std::uint64_t count = 0;
  if (!in.u64(&count)) return ResolveEnd::BadInput;
  std::vector<Numbered> places;  // grown as they come: the count is the file's word
  for (std::uint64_t i = 0; i < count; ++i) {
    Numbered n{};
    if (!in.u32(&n.archive) || !in.u32(&n.pos) || !in.u32(&n.crc32) || !in.u64(&n.size))
      return ResolveEnd::BadInput;
    if (n.archive >= paths.size()) {
      *why = "a place in an archive the list does not hold";
      return ResolveEnd::BadInput;
    }
    places.push_back(n);
  }
  std::sort(places.begin(), places.end(), [](const Numbered& a, const Numbered& b) {
    return a.archive != b.archive ? a.archive < b.archive : a.pos < b.pos;
  });
  Chunk chunk;
  chunk.places.reserve(CHUNK_PLACES);
  for (std::size_t i = 0; i < places.size();) {
    Archive a;
    a.path = paths[places[i].archive];
    a.first = chunk.places.size();
    std::size_t j = i;
    for (; j < places.size() && places[j].archive == places[i].archive; ++j) {
      Wanted w;
      w.pos = places[j].pos;
      w.crc32 = places[j].crc32;
      w.size = places[j].size;
      chunk.places.push_back(std::move(w));
    }
    a.count = j - i;
    chunk.archives.push_back(std::move(a));
    i = j;
    if (i == places.size() || chunk.places.size() >= CHUNK_PLACES ||
        chunk.archives.size() >= CHUNK_ARCHIVES) {
      ResolveEnd end = run_chunk(chunk, options, rv, out);
      if (end != ResolveEnd::Done) return end;
      chunk.archives.clear();
      chunk.places.clear();
    }
  }
  return ResolveEnd::Done;
}

}  // namespace

ResolveEnd resolve_places(std::FILE* in_file, std::FILE* out_file, const ResolveOptions& options,
                          Revisit* rv, std::string* why) {
  WireIn in{in_file};
  WireOut out{out_file};
  std::uint32_t left = 0;
  std::uint32_t version = 0;
  char magic[8];
  bool numbered = false;
  if (!in.bytes(magic, sizeof magic) ||
      !((numbered = std::memcmp(magic, NUMBERED_MAGIC, 8) == 0) ||
        std::memcmp(magic, PLACES_MAGIC, 8) == 0) ||
      !in.u32(&version) || version != WIRE_VERSION || !in.u32(&left) || (numbered && left != 0)) {
    *why = "not a places file of this version";
    return ResolveEnd::BadInput;
  }
  out.header(RESOLVED_MAGIC, options.content ? 1 : 0);
  try {
    if (numbered) {
      ResolveEnd end = resolve_numbered(in, options, rv, out, why);
      if (end != ResolveEnd::Done) return end;
    }
    Chunk chunk;
    while (left > 0) {
      if (!read_chunk(in, &left, &chunk, why)) return ResolveEnd::BadInput;
      ResolveEnd end = run_chunk(chunk, options, rv, out);
      if (end != ResolveEnd::Done) return end;
    }
  } catch (const std::bad_alloc&) {
    return ResolveEnd::NoMemory;
  }
  if (!in.at_end()) {
    *why = numbered ? "bytes after its last place" : "bytes after its last archive";
    return ResolveEnd::BadInput;
  }
  return out.flush() && std::fflush(out_file) == 0 ? ResolveEnd::Done : ResolveEnd::Write;
}

}  // namespace zorv
