// Groups split before they are printed (-s, -c): by the uncompressed size
// the directory records, then, with -c, by content, every member's data
// read and checked (zip/verify.h). A sub-group prints where its group stood,
// in the order of first members; one of fewer than two members does not.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "cache/cache.h"
#include "report/batch.h"
#include "zip/verify.h"

namespace zorv {

namespace {

// Where the bytes of an archive stored in another end in its file; -1: a
// file's own, to its end.
std::int64_t span_end(const ArchiveName* archive) {
  return archive->span_len >= 0 ? archive->span_base + archive->span_len : -1;
}

// One member of a group on its way into a sub-group. Sorting by
// (size, digest, index) brings each sub-group together, members in order.
struct Slot {
  std::uint64_t size;
  const unsigned char* digest;  // with -c: the content's SHA-256
  std::uint32_t index;          // in the batch
};

bool same_size(const Slot& a, const Slot& b) {
  return a.size == b.size;
}

bool same_content(const Slot& a, const Slot& b) {
  return a.size == b.size && std::memcmp(a.digest, b.digest, 32) == 0;
}

bool slot_order(const Slot& a, const Slot& b) {
  if (a.size != b.size) return a.size < b.size;
  if (a.digest != nullptr && b.digest != nullptr) {
    int c = std::memcmp(a.digest, b.digest, 32);
    if (c != 0) return c < 0;
  }
  return a.index < b.index;
}

// Slots [start, end) of equal keys: one sub-group.
struct Run {
  std::uint32_t start;
  std::uint32_t end;
};

// Scratch for one call of print_split, sized for its members.
struct Work {
  Slot* slots;
  Run* runs;      // at most one per two slots
  bool* checked;  // the member's size is shared: it is read (-c)
  VerifyOutcome* outcomes;

  explicit Work(std::size_t n)
      : slots(static_cast<Slot*>(std::malloc(n * sizeof(Slot)))),
        runs(static_cast<Run*>(std::malloc((n / 2 + 1) * sizeof(Run)))),
        checked(static_cast<bool*>(std::calloc(n, sizeof(bool)))),
        outcomes(static_cast<VerifyOutcome*>(std::malloc(n * sizeof(VerifyOutcome)))) {
    if (slots == nullptr || runs == nullptr || checked == nullptr || outcomes == nullptr) {
      release();
      report_out_of_memory();
    }
  }
  ~Work() { release(); }
  void release() {
    std::free(slots);
    std::free(runs);
    std::free(checked);
    std::free(outcomes);
  }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
};

bool known(const Member& m) {
  return m.name < OPEN_FAILED;
}

// Members whose batch walk found no name: their archive changed or vanished
// since indexing. Looked up one by one as always; false when one is gone
// from its archive (*failed is then its index).
bool look_up_missing(Report* r, Member* members, std::size_t n, std::size_t* failed) {
  for (std::size_t i = 0; i < n; ++i) {
    Member& m = members[i];
    if (m.name != NO_NAME) continue;
    RevisitEntry e;
    NameLookup found = look_up(r, m, &e);
    if (found == NameLookup::OpenFailed) {
      m.name = OPEN_FAILED;
      continue;
    }
    if (found == NameLookup::Found &&
        keep_entry_name(r, e, r->full_names ? e.stored_len : e.name_len, &m))
      continue;
    *failed = i;
    return false;
  }
  return true;
}

// Calls visit(i, j) for every run [i, j) of at least two neighbours among
// items [0, k) that `same` holds equal (the items sorted so that equal ones
// are neighbours).
template <typename T, typename Same, typename Visit>
void runs_of_two(const T* items, std::size_t k, Same same, Visit visit) {
  for (std::size_t i = 0; i < k;) {
    std::size_t j = i + 1;
    while (j < k && same(items[i], items[j]))
      ++j;
    if (j - i >= 2) visit(i, j);
    i = j;
  }
}

// Sorts the slots [0, k) and puts the runs of at least two equal keys into
// runs; returns how many there are.
std::size_t sub_groups(Slot* slots, std::size_t k, bool (*same)(const Slot&, const Slot&),
                       Run* runs) {
  std::sort(slots, slots + k, slot_order);
  std::size_t count = 0;
  runs_of_two(slots, k, same, [&](std::size_t i, std::size_t j) {
    runs[count++] = Run{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)};
  });
  return count;
}

// Marks the members of group [g0, g1) whose size another member shares:
// with -c, those are read.
void mark_shared_sizes(Report* r, const Member* members, std::size_t g0, std::size_t g1, Work& w) {
  std::size_t k = 0;
  for (std::size_t i = g0; i < g1; ++i) {
    if (!known(members[i])) continue;
    std::uint64_t size = kept_sizes(r, members[i]).size;
    w.slots[k++] = Slot{size, nullptr, static_cast<std::uint32_t>(i)};
  }
  std::size_t count = sub_groups(w.slots, k, same_size, w.runs);
  for (std::size_t s = 0; s < count; ++s) {
    for (std::uint32_t at = w.runs[s].start; at < w.runs[s].end; ++at)
      w.checked[w.slots[at].index] = true;
  }
}

constexpr std::uint64_t JOB_BYTES = std::uint64_t{16} << 20;

// Checks members list[0, k) of the chunk, archive by archive, raw or
// decoding; their outcomes go to into[member index].
void run_checks(Report* r, const Member* members, std::uint32_t* list, std::size_t k, bool raw,
                VerifyOutcome* into) {
  if (k == 0) return;
  auto* items = static_cast<VerifyItem*>(std::malloc(k * sizeof(VerifyItem)));
  auto* outcomes = static_cast<VerifyOutcome*>(std::malloc(k * sizeof(VerifyOutcome)));
  auto* jobs = static_cast<VerifyJob*>(std::malloc(k * sizeof(VerifyJob)));
  auto* names = static_cast<VerifyName*>(std::malloc(k * sizeof(VerifyName)));
  struct Scratch {
    void* held[4];
    ~Scratch() {
      for (void* p : held)
        std::free(p);
    }
  } scratch{{items, outcomes, jobs, names}};
  if (items == nullptr || outcomes == nullptr || jobs == nullptr || names == nullptr)
    report_out_of_memory();
  // Members of one archive next to each other in file order, a job for
  // each stretch of up to JOB_BYTES of their stored data: the threads then
  // share a big archive too, which on slow storage keeps more reads in
  // flight. Each job opens the file and reads its stretch in one pass.
  auto facts = [r, members](std::uint32_t i) { return facts_of(r, members[i]); };
  std::stable_sort(list, list + k, [members, &facts](std::uint32_t a, std::uint32_t b) {
    if (members[a].archive != members[b].archive)
      return members[a].archive->ordinal < members[b].archive->ordinal;
    return facts(a).item.local_offset < facts(b).item.local_offset;
  });
  std::size_t job_count = 0;
  std::uint64_t job_bytes = 0;
  for (std::size_t i = 0; i < k; ++i) {
    const Member& m = members[list[i]];
    const MemberFacts f = facts(list[i]);
    items[i] = f.item;
    names[i] = VerifyName{r->arena + m.name, m.name_len};
    if (i == 0 || members[list[i - 1]].archive != m.archive || job_bytes >= JOB_BYTES) {
      jobs[job_count++] =
          VerifyJob{m.archive->file->path, f.shift, items + i, outcomes + i, names + i, 0, raw,
                    span_end(m.archive)};
      job_bytes = 0;
    }
    ++jobs[job_count - 1].count;
    job_bytes += f.item.compressed_size;
  }
  r->check_total = 0;
  for (std::size_t i = 0; i < k; ++i)
    r->check_total += items[i].size;
  auto tick = [](void* ctx, std::uint64_t done) {
    auto* report = static_cast<Report*>(ctx);
    report->on_check(report->ctx, done, report->check_total);
  };
  if (!verify_jobs(jobs, job_count, r->check_threads, r->on_check != nullptr ? +tick : nullptr,
                   r)) {
    report_out_of_memory();
  }
  for (std::size_t i = 0; i < k; ++i)
    into[list[i]] = outcomes[i];
}

// The work of check_contents over members [0, n) of a chunk: the members
// to read (`list`), each one's representative (`rep`: the member whose
// decoded outcome it takes; itself when it is decoded, SETTLED when its
// outcome is already known) and the digests of their compressed bytes.
struct ContentCheck {
  static constexpr std::uint32_t SETTLED = UINT32_MAX;

  Report* r;
  const Member* members;
  std::size_t n;
  Work& w;
  std::uint32_t* list;
  std::uint32_t* rep;
  VerifyOutcome* raw;
  bool* refused;  // its data overlaps another member's: never read
  bool* cached;   // its outcome came from the cache: not read

  ContentCheck(Report* report, const Member* m, std::size_t count, Work& work)
      : r(report),
        members(m),
        n(count),
        w(work),
        list(static_cast<std::uint32_t*>(std::malloc((count + 1) * sizeof(std::uint32_t)))),
        rep(static_cast<std::uint32_t*>(std::malloc((count + 1) * sizeof(std::uint32_t)))),
        raw(static_cast<VerifyOutcome*>(std::malloc((count + 1) * sizeof(VerifyOutcome)))),
        refused(static_cast<bool*>(std::calloc(count + 1, sizeof(bool)))),
        cached(static_cast<bool*>(std::calloc(count + 1, sizeof(bool)))) {
    if (list == nullptr || rep == nullptr || raw == nullptr || refused == nullptr ||
        cached == nullptr) {
      release();
      report_out_of_memory();
    }
  }
  ~ContentCheck() { release(); }
  ContentCheck(const ContentCheck&) = delete;
  ContentCheck& operator=(const ContentCheck&) = delete;

  void release() {
    std::free(list);
    std::free(rep);
    std::free(raw);
    std::free(refused);
    std::free(cached);
  }

  VerifyItem item(std::uint32_t i) const { return facts_of(r, members[i]).item; }

  // Same CRC-32 (one group), size, method and compressed size: a bucket.
  bool same_bucket(std::uint32_t a, std::uint32_t b) const {
    return members[a].crc32 == members[b].crc32 && item(a).size == item(b).size &&
           item(a).method == item(b).method && item(a).compressed_size == item(b).compressed_size;
  }

  bool bucket_order(std::uint32_t a, std::uint32_t b) const {
    const VerifyItem& x = item(a);
    const VerifyItem& y = item(b);
    if (members[a].crc32 != members[b].crc32) return members[a].crc32 < members[b].crc32;
    if (x.size != y.size) return x.size < y.size;
    if (x.method != y.method) return x.method < y.method;
    if (x.compressed_size != y.compressed_size) return x.compressed_size < y.compressed_size;
    return a < b;
  }

  // Where a member's stored data can begin and end at the least: its local
  // header, as long as the central one says, through its compressed bytes.
  std::uint64_t least_end(std::uint32_t i) const {
    const VerifyItem x = item(i);
    std::uint64_t end = x.local_offset + 30 + members[i].name_len;
    return end < x.local_offset || end + x.compressed_size < end ? UINT64_MAX
                                                                  : end + x.compressed_size;
  }

  // Several central entries can point into one stored stream (a "bomb":
  // one small stream checked, and confirmed, as thousands of copies). The
  // marked members of one archive whose data overlap are refused before
  // anything is read, so no byte is decoded twice for one archive.
  void refuse_overlaps() {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
      if (w.checked[i]) list[k++] = static_cast<std::uint32_t>(i);
    std::sort(list, list + k, [this](std::uint32_t a, std::uint32_t b) {
      if (members[a].archive != members[b].archive)
        return members[a].archive->ordinal < members[b].archive->ordinal;
      std::uint64_t x = item(a).local_offset;
      std::uint64_t y = item(b).local_offset;
      if (x != y) return x < y;
      return members[a].cd_pos != members[b].cd_pos ? members[a].cd_pos < members[b].cd_pos : a < b;
    });
    // An archive named twice is indexed twice: its entries come twice, at
    // one place, and are not overlaps but the same entry.
    auto same_entry = [this](std::uint32_t a, std::uint32_t b) {
      return members[a].archive == members[b].archive && members[a].cd_pos == members[b].cd_pos;
    };
    std::uint32_t reach = 0;  // of the archive's members so far, the one ending last
    for (std::size_t t = 0; t < k; ++t) {
      std::uint32_t m = list[t];
      if (t > 0 && members[list[t - 1]].archive == members[m].archive && !same_entry(m, reach) &&
          item(m).local_offset < least_end(reach)) {
        refused[m] = refused[reach] = true;
      }
      if (t == 0 || members[list[t - 1]].archive != members[m].archive ||
          least_end(m) > least_end(reach)) {
        reach = m;
      }
    }
    // The copies of one entry lie side by side: refused together.
    for (std::size_t t = 1; t < k; ++t)
      if (same_entry(list[t], list[t - 1]) && refused[list[t - 1]]) refused[list[t]] = true;
    for (std::size_t t = k; t-- > 1;)
      if (same_entry(list[t], list[t - 1]) && refused[list[t]]) refused[list[t - 1]] = true;
    for (std::size_t i = 0; i < n; ++i) {
      if (refused[i]) w.outcomes[i] = VerifyOutcome{Verdict::Overlaps, 0, {}};
    }
  }

  // The marked members that share a bucket with another: list[0, c).
  std::size_t bucket_candidates() {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
      rep[i] = refused[i] || cached[i] ? SETTLED : static_cast<std::uint32_t>(i);
      if (w.checked[i] && rep[i] != SETTLED) list[k++] = static_cast<std::uint32_t>(i);
    }
    std::sort(list, list + k,
              [this](std::uint32_t a, std::uint32_t b) { return bucket_order(a, b); });
    std::size_t c = 0;
    runs_of_two(
        list, k, [this](std::uint32_t a, std::uint32_t b) { return same_bucket(a, b); },
        [&](std::size_t i, std::size_t j) {
          for (std::size_t t = i; t < j; ++t)
            list[c++] = list[t];
        });
    return c;
  }

  // Within a bucket, equal compressed bytes follow the first member that
  // has them: only that one is decoded. A member whose bytes could not even
  // be read is settled by that.
  void follow_equal_bytes(std::size_t c) {
    std::sort(list, list + c, [this](std::uint32_t a, std::uint32_t b) {
      if (!same_bucket(a, b)) return bucket_order(a, b);
      bool oa = raw[a].verdict == Verdict::Ok;
      bool ob = raw[b].verdict == Verdict::Ok;
      if (oa != ob) return oa;
      int d = oa ? std::memcmp(raw[a].digest, raw[b].digest, 32) : 0;
      return d != 0 ? d < 0 : a < b;
    });
    for (std::size_t i = 0; i < c; ++i) {
      std::uint32_t m = list[i];
      if (raw[m].verdict != Verdict::Ok) {
        w.outcomes[m] = raw[m];
        rep[m] = SETTLED;
        continue;
      }
      std::uint32_t before = i > 0 ? list[i - 1] : m;
      if (i > 0 && same_bucket(before, m) && raw[before].verdict == Verdict::Ok &&
          std::memcmp(raw[before].digest, raw[m].digest, 32) == 0) {
        rep[m] = rep[before];
      }
    }
  }

  // Decodes every marked member that is its own representative.
  void decode_representatives() {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
      if (w.checked[i] && rep[i] == i) list[k++] = static_cast<std::uint32_t>(i);
    run_checks(r, members, list, k, false, w.outcomes);
  }

  // The others take their representative's outcome.
  void share_outcomes() {
    for (std::size_t i = 0; i < n; ++i) {
      if (w.checked[i] && rep[i] != i && rep[i] != SETTLED) w.outcomes[i] = w.outcomes[rep[i]];
    }
  }
};

// An archive inside a compressed one lies in a file of this run's own
// making: its members are never kept.
bool lies_in_its_file(const ArchiveName* a) {
  const ArchiveName* top = a;
  while (top->outer != nullptr)
    top = top->outer;
  return a->file == top;
}

// Whether the status read now is that of the file whose directory the
// index read (an identity of all zeros: none was taken).
bool same_as_indexed(const FileId& id, const CacheFile& now) {
  if (id.dev == 0 && id.ino == 0) return true;
  FileId seen{now.dev, now.ino, now.size, now.mtime_ns / 1000000000, now.mtime_ns % 1000000000};
  return file_id_compare(id, seen) == 0;
}

// -c with a cache: the members an earlier run read are taken from the
// cache instead of being read, and afterwards the outcomes of the others
// are kept there, archive by archive, each with the status its file had
// before any of its members was read.
struct Remember {
  // The members of one archive: order[start, end).
  struct Stretch {
    std::size_t start;
    std::size_t end;
    CacheArchive archive;
  };

  // The statuses of the stretches' files, read side by side.
  struct Statuses {
    const char** paths;
    CacheFile* files;
    bool* ok;
    Statuses(const Stretch* stretches, std::size_t n, unsigned threads)
        : paths(static_cast<const char**>(std::malloc((n + 1) * sizeof(char*)))),
          files(static_cast<CacheFile*>(std::malloc((n + 1) * sizeof(CacheFile)))),
          ok(static_cast<bool*>(std::malloc(n + 1))) {
      if (paths == nullptr || files == nullptr || ok == nullptr) {
        release();
        report_out_of_memory();
      }
      for (std::size_t k = 0; k < n; ++k)
        paths[k] = stretches[k].archive.file_path;
      cache_stat_all(paths, files, ok, n, threads);
    }
    ~Statuses() { release(); }
    Statuses(const Statuses&) = delete;
    Statuses& operator=(const Statuses&) = delete;
    void release() {
      std::free(paths);
      std::free(files);
      std::free(ok);
    }
  };

  ContentCheck& check;
  std::uint32_t* order;  // the members to read, archive by archive
  Stretch* stretches;
  VerifyItem* items;  // per place in order
  VerifyOutcome* outcomes;
  bool* found;
  std::size_t count = 0;
  std::size_t stretch_count = 0;

  explicit Remember(ContentCheck& c)
      : check(c),
        order(static_cast<std::uint32_t*>(std::malloc((c.n + 1) * sizeof(std::uint32_t)))),
        stretches(static_cast<Stretch*>(std::malloc((c.n + 1) * sizeof(Stretch)))),
        items(static_cast<VerifyItem*>(std::malloc((c.n + 1) * sizeof(VerifyItem)))),
        outcomes(static_cast<VerifyOutcome*>(std::malloc((c.n + 1) * sizeof(VerifyOutcome)))),
        found(static_cast<bool*>(std::calloc(c.n + 1, sizeof(bool)))) {
    if (order == nullptr || stretches == nullptr || items == nullptr || outcomes == nullptr ||
        found == nullptr) {
      release();
      report_out_of_memory();
    }
  }
  ~Remember() { release(); }
  Remember(const Remember&) = delete;
  Remember& operator=(const Remember&) = delete;

  void release() {
    std::free(order);
    std::free(stretches);
    std::free(items);
    std::free(outcomes);
    std::free(found);
  }

  // Members to read, sorted so that each archive's lie together.
  void gather() {
    const Member* members = check.members;
    for (std::size_t i = 0; i < check.n; ++i)
      if (check.w.checked[i] && !check.refused[i]) order[count++] = static_cast<std::uint32_t>(i);
    std::sort(order, order + count, [members](std::uint32_t a, std::uint32_t b) {
      if (members[a].archive != members[b].archive)
        return members[a].archive->ordinal < members[b].archive->ordinal;
      return a < b;
    });
    for (std::size_t t = 0; t < count; ++t)
      items[t] = check.item(order[t]);
  }

  // Takes what the cache holds for each archive whose file can be named,
  // their statuses read side by side.
  void take() {
    Report* r = check.r;
    gather();
    for (std::size_t s = 0, e; s < count; s = e) {
      const ArchiveName* a = check.members[order[s]].archive;
      for (e = s + 1; e < count && check.members[order[e]].archive == a;)
        ++e;
      if (lies_in_its_file(a))
        stretches[stretch_count++] = Stretch{s, e, CacheArchive{a->path, a->file->path,
                                                                a->span_base, {}}};
    }
    Statuses now(stretches, stretch_count, r->check_threads);
    const CacheFile* files = now.files;
    const bool* ok = now.ok;
    std::size_t kept = 0;  // the stretches whose status could be read
    for (std::size_t k = 0; k < stretch_count; ++k) {
      // A file changed since its directory was read: the members' facts
      // are not those of the bytes the status describes.
      const ArchiveName* file = check.members[order[stretches[k].start]].archive->file;
      if (!ok[k] || !same_as_indexed(file->id, files[k])) continue;
      Stretch st = stretches[k];
      st.archive.file = files[k];
      stretches[kept++] = st;
      std::size_t hits = cache_look_up(r->cache, st.archive, items + st.start,
                                       st.end - st.start, outcomes + st.start, found + st.start);
      for (std::size_t t = st.start; t < st.end && hits > 0; ++t) {
        if (!found[t]) continue;
        check.cached[order[t]] = true;
        check.w.outcomes[order[t]] = outcomes[t];
      }
      r->cached += hits;
    }
    stretch_count = kept;
    if (r->on_cached != nullptr) r->on_cached(r->ctx, r->cached);
  }

  // Keeps the outcomes of the members read, in one transaction, when every
  // archive's file still has the status it had before the reads. A path
  // whose link was re-pointed in between led the reads to another file, and
  // members of other archives may have taken their outcomes from it (equal
  // compressed bytes): then nothing of the batch is kept.
  void keep() {
    Report* r = check.r;
    bool read = std::find(found, found + count, false) != found + count;
    bool unchanged = read;
    if (read) {
      Statuses after(stretches, stretch_count, r->check_threads);
      for (std::size_t k = 0; k < stretch_count && unchanged; ++k)
        unchanged = after.ok[k] && cache_same_file(stretches[k].archive.file, after.files[k]);
    }
    for (std::size_t k = 0; k < stretch_count && unchanged; ++k) {
      const Stretch& st = stretches[k];
      std::size_t kept = st.start;  // the members read move to the front of the stretch
      for (std::size_t t = st.start; t < st.end; ++t) {
        if (found[t]) continue;
        items[kept] = items[t];
        outcomes[kept++] = check.w.outcomes[order[t]];
      }
      cache_store(r->cache, st.archive, items + st.start, outcomes + st.start, kept - st.start);
    }
    cache_commit(r->cache);
  }
};

// Reads the data of every marked member. Members of one part that share
// method and compressed size are first compared by their compressed bytes:
// equal bytes decode to equal contents, so only the first of them is
// decoded and the others take its outcome.
void check_contents(Report* r, const Member* members, std::size_t n, Work& w) {
  ContentCheck check(r, members, n, w);
  check.refuse_overlaps();
  std::optional<Remember> remember;
  if (r->cache != nullptr) remember.emplace(check).take();
  std::size_t c = check.bucket_candidates();
  run_checks(r, members, check.list, c, true, check.raw);
  check.follow_equal_bytes(c);
  check.decode_representatives();
  check.share_outcomes();
  if (remember) remember->keep();
}

// By size alone, the common group: its known members all of one size. It
// is one sub-group of them in their order (printed when there are two),
// with nothing to sort. False, nothing printed, when sizes differ.
bool print_one_size(Report* r, const Member* members, std::size_t g0, std::size_t g1) {
  std::size_t count = 0;
  std::uint64_t size = 0;
  for (std::size_t i = g0; i < g1; ++i) {
    if (!known(members[i])) continue;
    std::uint64_t s = kept_sizes(r, members[i]).size;
    if (count++ == 0) size = s;
    if (s != size) return false;
  }
  if (count < 2) return true;
  ReportSink* sink = r->sink;
  bool begun = false;
  for (std::size_t i = g0; i < g1; ++i) {
    const Member& m = members[i];
    if (!known(m)) continue;
    if (!begun) {
      sink->begin_group(m.crc32);
      count_group_start(r);
      begun = true;
    }
    MemberSizes sizes = kept_sizes(r, m);
    say_member(r, m, name_of(r, m), &sizes);
  }
  sink->end_group();
  count_group_end(r);
  return true;
}

// Prints group [g0, g1): its sub-groups in the order of their first members.
void print_group(Report* r, const Member* members, std::size_t g0, std::size_t g1, Work& w) {
  bool content = r->split == ReportSplit::Content;
  if (!content && print_one_size(r, members, g0, g1)) return;
  std::size_t k = 0;
  for (std::size_t i = g0; i < g1; ++i) {
    const Member& m = members[i];
    if (!known(m)) continue;
    const unsigned char* digest = nullptr;
    if (content) {
      if (!w.checked[i]) continue;  // its size is its own: no sub-group
      if (w.outcomes[i].verdict != Verdict::Ok) {
        char buf[64];
        const char* why = verify_reason(w.outcomes[i], facts_of(r, m).item, buf, sizeof buf);
        ArchiveCuts cuts;
        r->sink->unverified(ref_of(m.archive, &cuts), name_of(r, m), why);
        continue;
      }
      digest = w.outcomes[i].digest;
    }
    w.slots[k++] = Slot{kept_sizes(r, m).size, digest, static_cast<std::uint32_t>(i)};
  }
  std::size_t count = sub_groups(w.slots, k, content ? same_content : same_size, w.runs);
  // In the order of first members: a run's first slot has its lowest index.
  std::sort(w.runs, w.runs + count, [&w](const Run& a, const Run& b) {
    return w.slots[a.start].index < w.slots[b.start].index;
  });
  ReportSink* sink = r->sink;
  for (std::size_t s = 0; s < count; ++s) {
    sink->begin_group(members[w.slots[w.runs[s].start].index].crc32);
    count_group_start(r);
    for (std::uint32_t at = w.runs[s].start; at < w.runs[s].end; ++at) {
      const Member& m = members[w.slots[at].index];
      MemberSizes sizes = kept_sizes(r, m);
      say_member(r, m, name_of(r, m), &sizes);
    }
    sink->end_group();
    count_group_end(r);
  }
}

}  // namespace

bool print_split(Report* r, Member* members, std::size_t n) {
  std::size_t failed = n;
  bool whole = look_up_missing(r, members, n, &failed);
  std::size_t limit = n;
  if (!whole) {
    limit = failed;
    while (limit > 0 && (members[limit].flags & GROUP_START) == 0)
      --limit;
  }
  Work w(std::max<std::size_t>(limit, 1));
  if (r->split == ReportSplit::Content) {
    for (std::size_t g0 = 0, g1; g0 < limit; g0 = g1) {
      g1 = g0 + group_length(members + g0);
      mark_shared_sizes(r, members, g0, g1, w);
    }
    check_contents(r, members, limit, w);
  }
  for (std::size_t g0 = 0, g1; g0 < limit; g0 = g1) {
    g1 = g0 + group_length(members + g0);
    print_group(r, members, g0, g1, w);
  }
  if (!whole) {
    r->sink->member_unmatched(members[failed].archive->path);
    r->stats.unmatched = members[failed].archive->path;
  }
  return whole;
}

}  // namespace zorv
