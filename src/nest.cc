#include "nest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "zip/inner.h"

namespace zorv {

namespace {

// A member that may be an archive, as its outer walk found it.
struct Candidate {
  std::string name;
  InnerMember member;
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
  InnerMember m{static_cast<std::int64_t>(at), e.compressed_size64, e.uncompressed_size64,
                e.method, e.flags};
  try {
    c->found.push_back(Candidate{std::string(e.name, e.name_len), m, !named});
  } catch (const std::bad_alloc&) {
    c->no_memory = true;
  }
}

// Whether an end record at `end_at` is that of `archive` or of an archive
// it lies in.
bool holds_itself(const ArchiveName* archive, std::int64_t end_at) {
  for (const ArchiveName* a = archive; a != nullptr; a = a->outer)
    if (a->end_at == end_at) return true;
  return false;
}

// Whether bytes of `data` hold the end record of `archive` or of an archive
// it lies in: a member that holds its own archive's directory.
bool spans_an_end(const ArchiveName* archive, ZipSpan data) {
  for (const ArchiveName* a = archive; a != nullptr; a = a->outer)
    if (a->end_at >= data.base && a->end_at - data.base < data.len) return true;
  return false;
}

struct Level {
  const NestRun& run;
  bool* no_memory;
};

bool walk(const Level& level, const char* path, FileId id, ZipDir* zd, ArchiveName* outer,
          ZipSpan span);

// The span the archive's bytes are in its file: its own, or the whole file.
ZipSpan bytes_of(const ArchiveName* a, const struct stat& st) {
  if (a->span_len >= 0) return ZipSpan{a->span_base, a->span_len};
  return ZipSpan{0, st.st_size};
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
    return a.member.local_at < b.member.local_at;
  });
  ZipSpan outer_bytes = bytes_of(outer, st);
  std::int64_t taken_to = -1;  // the end of the last inner archive read
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
    if (where != InnerWhere::Stored) {
      if (c.sniffed) continue;
      switch (where) {
        case InnerWhere::Compressed:
          say(diag, "warning, compressed inner archive not read: %s", name.c_str());
          break;
        case InnerWhere::Encrypted:
          say(diag, "warning, encrypted inner archive not read: %s", name.c_str());
          break;
        case InnerWhere::PastEnd:
          say(diag, "error, inner archive runs past the end of its archive: %s", name.c_str());
          break;
        default:
          say(diag, "error, no local header for inner archive: %s", name.c_str());
      }
      continue;
    }
    if (data.base < taken_to) {
      if (!c.sniffed) say(diag, "error, inner archive overlaps another: %s", name.c_str());
      continue;
    }
    if (spans_an_end(outer, data)) {
      if (!c.sniffed) say(diag, "error, archive contains itself: %s", name.c_str());
      continue;
    }
    // Two members of one name (or a file whose path reads like an inner
    // archive's) would share one record, and the report would look for the
    // first one's entries in the second's bytes. The same bytes again are
    // a file named twice, read twice.
    const ArchiveName* seen = index_archive_at(level.run.ix, name.c_str());
    if (seen != nullptr && (seen->outer != outer || seen->span_base != data.base)) {
      if (!c.sniffed) say(diag, "error, inner archive name seen before: %s", name.c_str());
      continue;
    }
    ZipOpen how{c.sniffed ? nullptr : diag, level.run.cache, nullptr, nullptr};
    how.ecd_reach = c.sniffed ? ECD_SEARCH_STRICT : 0;
    how.span = data;
    int inner_fd = dup(fd);
    ZipDir* inner = openzip_at(inner_fd, inner_fd >= 0 ? &st : nullptr, name.c_str(), how);
    if (inner == nullptr) continue;
    if (holds_itself(outer, zip_end_offset(inner))) {
      closezip(inner);
      if (!c.sniffed) say(diag, "error, archive contains itself: %s", name.c_str());
      continue;
    }
    taken_to = data.base + data.len;
    recorded = walk(level, name.c_str(), outer->id, inner, outer, data);
    if (!recorded || *level.no_memory) break;
  }
  close(fd);
  return recorded;
}

// Indexes one archive, then the inner archives its walk found.
bool walk(const Level& level, const char* path, FileId id, ZipDir* zd, ArchiveName* outer,
          ZipSpan span) {
  Collect c{&level.run, {}, false};
  WalkHooks hooks{collect, &c, outer, span.base, span.len, nullptr};
  bool recorded = index_zip(level.run.ix, path, id, zd, &hooks);
  if (c.no_memory) *level.no_memory = true;
  if (!recorded || c.no_memory || hooks.recorded == nullptr || c.found.empty()) return recorded;
  return read_inner(level, hooks.recorded, c.found);
}

}  // namespace

bool index_nested(const NestRun& run, const char* path, FileId id, ZipDir* zd, bool* no_memory) {
  *no_memory = false;
  Level level{run, no_memory};
  return walk(level, path, id, zd, nullptr, ZipSpan{}) && !*no_memory;
}

}  // namespace zorv
