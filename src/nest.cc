#include "nest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "zip/inner.h"
#include "zip/verify.h"

namespace zorv {

namespace {

// A member that may be an archive, as its outer walk found it.
struct Candidate {
  std::string name;
  VerifyItem member;  // local_offset: a file offset
  bool sniffed;  // not named as an archive: only its bytes can say
};

struct Collect {
  const NestRun* run;
  std::vector<Candidate> found;
  bool no_memory;
};

// Smaller than the smallest archive (an end record alone): never one.
constexpr std::uint64_t SMALLEST_ARCHIVE = ECD_SIZE;

void collect(const ZipEntry& e, const ZipDir* zd, void* ctx) {
  auto* c = static_cast<Collect*>(ctx);
  if (c->no_memory || e.name_len == 0 || e.name[e.name_len - 1] == '/') return;
  bool named = has_any_ext(e.name, c->run->exts);
  if (!named && (!c->run->exts.any || e.method != 0 || (e.flags & 1) != 0 ||
                 e.uncompressed_size64 < SMALLEST_ARCHIVE)) {
    return;
  }
  // A hostile offset can be near 2^64: one past any file is as good.
  auto at = static_cast<std::uint64_t>(zip_data_shift(zd)) + e.local_header_offset64;
  if (at < e.local_header_offset64 || at > INT64_MAX) at = INT64_MAX;
  VerifyItem m{at, e.compressed_size64, e.uncompressed_size64, e.crc32, e.method, e.flags};
  try {
    c->found.push_back(Candidate{std::string(e.name, e.name_len), m, !named});
  } catch (const std::bad_alloc&) {
    c->no_memory = true;
  }
}

// Whether bytes of `data` (of `archive`'s file) hold the end record of
// `archive` or of an archive it lies in: a member that holds its own
// archive's directory. An inner archive found in bytes that hold none of
// those has an end record of its own.
bool spans_an_end(const ArchiveName* archive, ZipSpan data) {
  for (const ArchiveName* a = archive; a != nullptr; a = a->outer) {
    if (a->file == archive->file && a->end_at >= data.base && a->end_at - data.base < data.len)
      return true;
  }
  return false;
}

struct Level {
  const NestRun& run;
  bool* no_memory;
};

// Where an inner archive lies: its bytes in its file (null: its outer's),
// and where its member's bytes start in the outer's file.
struct InnerAt {
  ZipSpan span;
  const ArchiveName* file;
  std::int64_t member_at;
};

bool walk(const Level& level, const char* path, FileId id, ZipDir* zd, ArchiveName* outer,
          const InnerAt& at);

// The span the archive's bytes are in its file: its own, or the whole file.
ZipSpan bytes_of(const ArchiveName* a, const struct stat& st) {
  if (a->span_len >= 0) return ZipSpan{a->span_base, a->span_len};
  return ZipSpan{0, st.st_size};
}

void say_unread(Diag* diag, InnerWhere where, const char* name) {
  switch (where) {
    case InnerWhere::Compressed:
      say(diag, "warning, compressed inner archive not read: %s", name);
      break;
    case InnerWhere::Encrypted:
      say(diag, "warning, encrypted inner archive not read: %s", name);
      break;
    case InnerWhere::PastEnd:
      say(diag, "error, inner archive runs past the end of its archive: %s", name);
      break;
    default:
      say(diag, "error, no local header for inner archive: %s", name);
  }
}

// Decodes the compressed member `c` of the archive whose bytes are `outer`
// in `fd` to the end of the store: *span is where it lies there. False,
// said, when it would pass the store's bound or does not decode.
bool decode_inner(const Level& level, int fd, ZipSpan outer, const Candidate& c,
                  const char* name, ZipSpan* span) {
  NestStore* store = level.run.store;
  const VerifyItem& m = c.member;
  if (m.size > static_cast<std::uint64_t>(store->most - store->used)) {
    say(level.run.diag, "warning, compressed inner archive not read, over %lld MiB decoded: %s",
        static_cast<long long>(DECODED_MAX >> 20), name);
    return false;
  }
  VerifyName stored{c.name.data(), static_cast<std::uint16_t>(c.name.size())};
  std::uint32_t detail = 0;
  Verdict v =
      decode_member(fd, outer.base + outer.len, 0, m, &stored, store->fd, store->used, &detail);
  if (v != Verdict::Ok) {
    say(level.run.diag, "error, inner archive does not decode: %s", name);
    return false;
  }
  *span = ZipSpan{store->used, static_cast<std::int64_t>(m.size)};
  store->used += span->len;
  return true;
}

// Opens and indexes the inner archives of `outer`, found by its walk.
bool read_inner(const Level& level, ArchiveName* outer, std::vector<Candidate>& found) {
  Diag* diag = level.run.diag;
  if (outer->depth >= NEST_DEPTH_MAX) {
    say(diag, "warning, archives nested more than %u deep not read in: %s", NEST_DEPTH_MAX,
        outer->path);
    return true;
  }
  int fd = open(outer->file->path, zip_open_flags());
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    if (fd >= 0) close(fd);
    say(diag, "unable to open file: %s", outer->file->path);
    return true;
  }
  std::stable_sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.member.local_offset < b.member.local_offset;
  });
  ZipSpan outer_bytes = bytes_of(outer, st);
  std::int64_t taken_to = -1;  // the end of the last member tried
  bool recorded = true;
  for (const Candidate& c : found) {
    std::string name;
    try {
      name = std::string(outer->path) + "!/" + c.name;
    } catch (const std::bad_alloc&) {
      *level.no_memory = true;
      break;
    }
    ZipSpan data;
    InnerWhere where = locate_inner(fd, outer_bytes, c.member, &data);
    bool decode = where == InnerWhere::Compressed && level.run.store != nullptr;
    if (where != InnerWhere::Stored && !decode) {
      if (!c.sniffed) say_unread(diag, where, name.c_str());
      continue;
    }
    if (data.base < taken_to) {
      if (!c.sniffed) say(diag, "error, inner archive overlaps another: %s", name.c_str());
      continue;
    }
    // Taken whether or not it turns out an archive: entries by the
    // thousand on one stream would each be searched, or decoded, again.
    taken_to = data.base + data.len;
    if (!decode && spans_an_end(outer, data)) {
      if (!c.sniffed) say(diag, "error, archive contains itself: %s", name.c_str());
      continue;
    }
    // Two members of one name (or a file whose path reads like an inner
    // archive's) would share one record, and the report would look for the
    // first one's entries in the second's bytes. The same member again is
    // a file named twice, read twice.
    const ArchiveName* seen = index_archive_at(level.run.ix, name.c_str());
    if (seen != nullptr && (seen->outer != outer || seen->member_at != data.base)) {
      if (!c.sniffed) say(diag, "error, inner archive name seen before: %s", name.c_str());
      continue;
    }
    InnerAt at{data, nullptr, data.base};
    int inner_fd = -1;
    struct stat inner_st = st;
    if (decode) {
      if (!decode_inner(level, fd, outer_bytes, c, name.c_str(), &at.span)) continue;
      at.file = &level.run.store->file;
      inner_fd = dup(level.run.store->fd);
      if (inner_fd >= 0 && fstat(inner_fd, &inner_st) != 0) {
        close(inner_fd);
        inner_fd = -1;
      }
    } else {
      inner_fd = dup(fd);
    }
    ZipOpen how{c.sniffed ? nullptr : diag, level.run.cache, nullptr, nullptr};
    how.ecd_reach = c.sniffed ? ECD_SEARCH_STRICT : 0;
    how.span = at.span;
    ZipDir* inner = openzip_at(inner_fd, inner_fd >= 0 ? &inner_st : nullptr, name.c_str(), how);
    if (inner == nullptr) {
      if (decode) level.run.store->used -= at.span.len;  // nothing refers to those bytes
      continue;
    }
    recorded = walk(level, name.c_str(), outer->id, inner, outer, at);
    if (!recorded || *level.no_memory) break;
  }
  close(fd);
  return recorded;
}

// Indexes one archive, then the inner archives its walk found.
bool walk(const Level& level, const char* path, FileId id, ZipDir* zd, ArchiveName* outer,
          const InnerAt& at) {
  Collect c{&level.run, {}, false};
  WalkHooks hooks{collect, &c, outer, at.span.base, at.span.len, at.file, at.member_at, nullptr};
  bool recorded = index_zip(level.run.ix, path, id, zd, &hooks);
  if (c.no_memory) *level.no_memory = true;
  if (!recorded || c.no_memory || hooks.recorded == nullptr || c.found.empty()) return recorded;
  return read_inner(level, hooks.recorded, c.found);
}

}  // namespace

bool index_nested(const NestRun& run, const char* path, FileId id, ZipDir* zd, bool* no_memory) {
  *no_memory = false;
  Level level{run, no_memory};
  return walk(level, path, id, zd, nullptr, InnerAt{ZipSpan{}, nullptr, -1}) && !*no_memory;
}

NestStore* nest_store_start() {
  auto* store = static_cast<NestStore*>(std::calloc(1, sizeof(NestStore)));
  if (store == nullptr) return nullptr;
  store->fd = memfd_create("zorv-inner", MFD_CLOEXEC);
  if (store->fd < 0) {
    std::free(store);
    return nullptr;
  }
  std::snprintf(store->path, sizeof store->path, "/proc/self/fd/%d", store->fd);
  store->most = DECODED_MAX;
  // The tests' way to reach the bound without 256 MiB of archives.
  if (const char* most = std::getenv("ZORV_TEST_DECODED_MAX"))
    store->most = std::min<std::int64_t>(std::atoll(most), DECODED_MAX);
  ArchiveName& f = store->file;
  f.path = store->path;
  f.file = &f;
  f.span_len = -1;
  f.inner_complete = true;
  f.end_at = -1;
  f.member_at = -1;
  return store;
}

void nest_store_stop(NestStore* store) {
  if (store == nullptr) return;
  close(store->fd);
  std::free(store);
}

}  // namespace zorv
