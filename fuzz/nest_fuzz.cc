// Fuzz target for the walk into archives stored inside archives: the input
// is one archive file, indexed with --nested and every stored member
// sniffed, compressed inner archives decoded. Whatever the bytes, the walk ends, holds no descriptor after,
// and what it records is a tree of spans: each inner archive lies wholly
// inside its outer one's bytes, no deeper than the bound, disjoint from its
// siblings, named "<outer>!/<member>", and every outer archive counts
// exactly its inner archives' entries. A span read alone reads as the same
// bytes written as a file of their own.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "index_internal.h"
#include "nest.h"
#include "support/walk.h"
#include "zip/zipdir.h"

namespace {

using zorv::ArchiveName;

struct Seen {
  std::vector<const ArchiveName*> archives;
};

void collect(void* item, void* ctx) {
  static_cast<Seen*>(ctx)->archives.push_back(static_cast<const ArchiveName*>(item));
}

std::pair<std::int64_t, std::int64_t> bytes_of(const ArchiveName* a, std::size_t n) {
  if (a->span_len < 0) return {0, static_cast<std::int64_t>(n)};
  return {a->span_base, a->span_base + a->span_len};
}

void check_tree(const Seen& seen, std::size_t n, const zorv::NestStore* store) {
  std::map<const ArchiveName*, std::vector<const ArchiveName*>> inner;
  for (const ArchiveName* a : seen.archives) {
    if (a->outer == nullptr) {
      FUZZ_CHECK(a->depth == 0 && a->file == a && a->span_len == -1);
      continue;
    }
    const ArchiveName* o = a->outer;
    FUZZ_CHECK(a->depth == o->depth + 1 && a->depth <= zorv::NEST_DEPTH_MAX);
    // Stored: inside its outer's bytes; decoded: inside what the store holds.
    bool decoded = a->file == &store->file;
    FUZZ_CHECK(decoded || a->file == o->file);
    auto [lo, hi] = bytes_of(o, n);
    if (o->file == &store->file && o->span_len < 0) hi = store->used;
    if (decoded) lo = 0, hi = store->used;
    FUZZ_CHECK(a->span_len >= 0 && a->span_base >= lo && a->span_base + a->span_len <= hi);
    FUZZ_CHECK(decoded || a->member_at == a->span_base);
    std::string prefix = std::string(o->path) + "!/";
    FUZZ_CHECK(std::strncmp(a->path, prefix.c_str(), prefix.size()) == 0);
    // Its end record lies in its span, and holds no archive it lies in.
    FUZZ_CHECK(a->end_at >= a->span_base && a->end_at + 22 <= a->span_base + a->span_len);
    for (const ArchiveName* up = o; up != nullptr; up = up->outer)
      FUZZ_CHECK(up->file != a->file || up->end_at != a->end_at);
    inner[o].push_back(a);
  }
  for (const ArchiveName* a : seen.archives) {
    std::vector<const ArchiveName*>& kids = inner[a];
    std::uint64_t count = 0;
    bool complete = true;
    for (const ArchiveName* k : kids) {
      count += k->entries + k->inner_entries;
      complete = complete && k->complete && k->inner_complete;
    }
    FUZZ_CHECK(a->inner_entries == count);
    FUZZ_CHECK(a->inner_complete == complete);
    // Siblings read in place never share bytes of their outer archive.
    std::vector<const ArchiveName*> in_place;
    for (const ArchiveName* k : kids)
      if (k->file == a->file) in_place.push_back(k);
    std::sort(in_place.begin(), in_place.end(),
              [](const ArchiveName* x, const ArchiveName* y) { return x->span_base < y->span_base; });
    for (std::size_t i = 1; i < in_place.size(); ++i)
      FUZZ_CHECK(in_place[i - 1]->span_base + in_place[i - 1]->span_len <= in_place[i]->span_base);
  }
}

// The reader on a span must see what it sees in a file of those bytes
// alone, offsets and all (the shift moves by the span's start).
void check_span(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t FRONT = 37;
  std::vector<std::uint8_t> framed(FRONT, 'P');
  framed.insert(framed.end(), data, data + size);
  // An end record right behind the span must not be seen from inside it.
  const std::uint8_t tail[22] = {'P', 'K', 5, 6};
  framed.insert(framed.end(), tail, tail + sizeof tail);
  zorv::test::Walk alone = zorv::test::walk_archive(zorv::fuzz::input_path(data, size));
  const char* path = zorv::fuzz::input_path(framed.data(), framed.size());
  zorv::ZipOpen how{nullptr, nullptr, nullptr, nullptr};
  how.span = zorv::ZipSpan{static_cast<std::int64_t>(FRONT), static_cast<std::int64_t>(size)};
  zorv::test::Walk spanned = zorv::test::walk_archive(path, how);
  FUZZ_CHECK(spanned.opened == alone.opened);
  if (!alone.opened) return;
  FUZZ_CHECK(spanned.ecd_pos == alone.ecd_pos);
  FUZZ_CHECK(spanned.end == alone.end);
  FUZZ_CHECK(spanned.shift == alone.shift);
  FUZZ_CHECK(spanned.entries == alone.entries);
  FUZZ_CHECK(spanned.stop == alone.stop);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_span(data, size);
  const char* path = zorv::fuzz::input_path(data, size);
  int free_fd = zorv::fuzz::lowest_free_fd();
  zorv::MessageBuf said{};
  zorv::Diag diag{&said};
  zorv::IndexFail fail = zorv::IndexFail::None;
  zorv::Index* ix = zorv::create_indexes(&diag, &fail);
  FUZZ_CHECK(ix != nullptr);
  zorv::ZipCache cache{};
  const char* zip = ".zip";
  zorv::NestStore* store = zorv::nest_store_start();
  FUZZ_CHECK(store != nullptr);
  free_fd = zorv::fuzz::lowest_free_fd();
  zorv::NestRun run{ix, &diag, zorv::ArchiveExts{&zip, 1, true}, &cache, store};
  if (zorv::ZipDir* zd = zorv::openzip(path, nullptr, &cache)) {
    bool no_memory = false;
    zorv::index_nested(run, path, zorv::FileId{}, zd, &no_memory);
    FUZZ_CHECK(!no_memory);
    FUZZ_CHECK(zorv::index_failure(ix) == zorv::IndexFail::None);
  }
  FUZZ_CHECK(zorv::fuzz::lowest_free_fd() == free_fd);
  Seen seen;
  zorv::rbtree_walk(ix->FileTree, collect, &seen);
  check_tree(seen, size, store);
  FUZZ_CHECK(store->used <= zorv::DECODED_MAX);
  zorv::release_indexes(ix);
  zorv::nest_store_stop(store);
  zorv::zip_cache_release(&cache);
  std::free(said.text);
  return 0;
}
