#include "cluster/groups.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>

#include "cluster/wire.h"
#include "zip/zip_name.h"

namespace zorv {

namespace {

constexpr char GROUPS_MAGIC[8] = {'Z', 'O', 'R', 'V', 'G', 'R', 'P', 'S'};
constexpr char ARCHIVES_MAGIC[8] = {'Z', 'O', 'R', 'V', 'A', 'R', 'C', 'S'};
constexpr char RESOLVED_MAGIC[8] = {'Z', 'O', 'R', 'V', 'R', 'S', 'L', 'V'};
enum Record : std::uint8_t { END = 0, GROUP = 1, UNVERIFIED = 2, SHARD = 3 };
enum Status : std::uint8_t { FOUND = 0, UNMATCHED = 1, NOT_CHECKED = 2 };

struct Archive {
  std::string path;
  std::uint64_t entries;
  bool complete;
  std::uint32_t first;  // the first row of the table with this path: the archive
  std::uint64_t found = 0;
  std::uint64_t covered = 0;  // its entries with a copy in another archive
};

// A group's members, as (archive, position): an archive named twice holds
// one entry once, and a copy in the same archive covers nothing.
void cover(std::vector<Archive>& archives, std::vector<std::pair<std::uint32_t, std::uint32_t>>& m) {
  std::sort(m.begin(), m.end());
  m.erase(std::unique(m.begin(), m.end()), m.end());
  for (std::size_t i = 0; i < m.size();) {
    std::size_t j = i;
    while (j < m.size() && m[j].first == m[i].first) ++j;
    if (j - i < m.size()) archives[m[i].first].covered += j - i;
    i = j;
  }
}

// A member's name as read, and as the sink is to be told it.
// A member's name: its stored bytes, flags and extra field, and as the
// sink is to be told it (cut at a NUL unless names are kept whole; with
// its text where that is not the stored bytes).
struct Name {
  std::uint16_t flags = 0;
  std::string stored;
  std::string extra;
  std::string text;

  MemberName shown(const GroupsOptions& o) {
    return show(o, stored.data(), stored.size(), flags, extra.data(), extra.size());
  }

  MemberName show(const GroupsOptions& o, const char* bytes, std::size_t len, std::uint16_t f,
                  const char* ext, std::size_t ext_len) {
    const void* nul = o.full_names ? nullptr : std::memchr(bytes, '\0', len);
    MemberName name{bytes, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : len,
                    nullptr, 0};
    StoredName s{bytes, len, f, reinterpret_cast<const unsigned char*>(ext), ext_len};
    if (!o.text_names || !zip_name_may_differ(s)) return name;
    text.resize(zip_name_max(s) + 1);
    name.utf8 = text.data();
    name.utf8_len = static_cast<std::size_t>(zip_name_utf8(text.data(), s) - text.data());
    return name;
  }
};

bool read_name(WireIn& in, Name* n) {
  return in.u16(&n->flags) && in.str16(&n->stored) && in.str16(&n->extra);
}

// A member a shard record gave, held until every shard is in: its name,
// extra field, digest and reason are in the arena.
struct Held {
  std::uint32_t crc32;
  std::uint32_t row;  // the archive's first row
  std::uint64_t size;
  std::uint64_t csize;
  std::uint64_t at;  // in the arena: name, extra, then digest or reason
  std::uint32_t pos;
  std::uint16_t method;
  std::uint16_t flags;
  std::uint16_t name_len;
  std::uint16_t extra_len;
  std::uint16_t reason_len;  // a member that could not be checked: its reason
  bool checked_not;
};

// Room grows by doubling, into memory asked to come in huge pages where
// the system has them: a run can hold millions of members, and one fault a
// 4 KiB page is much of its time. The new room is advised before anything
// is copied into it, so the copy already lands in huge pages.
template <class C>
void grow(C& c, std::size_t want) {
  if (want <= c.capacity()) return;
  C bigger;
  bigger.reserve(std::max(want, 2 * c.capacity()));
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t HUGE = std::uintptr_t{2} << 20;
  auto from = reinterpret_cast<std::uintptr_t>(bigger.data());
  std::uintptr_t to = from + bigger.capacity() * sizeof *bigger.data();
  from = (from + HUGE - 1) & ~(HUGE - 1);
  to &= ~(HUGE - 1);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // advice only
#endif
  bigger.insert(bigger.end(), c.begin(), c.end());
  c.swap(bigger);
}

struct Printer {
  Printer(ReportSink* s, const GroupsOptions& options, ReportTotals* t, std::string* w)
      : sink(s), o(options), totals(t), why(w) {}

  ReportSink* sink;
  const GroupsOptions& o;
  ReportTotals* totals;
  std::string* why;
  std::vector<Archive> archives;
  std::unordered_map<std::string, std::uint32_t> rows;  // path -> its first row
  std::vector<Held> held;
  std::string arena;
  bool digests = false;      // the shards' members carry SHA-256s
  std::string unmatched;     // the first archive that no longer holds a member
  Name name;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;

  bool damaged(const char* what) {
    *why = what;
    return false;
  }

  // An archive row: path, entries read, whether the walk read them all; a
  // keys' archive list (`claimed`) also has the count its end record claims
  // before them.
  bool read_row(WireIn& in, bool claimed = false) {
    Archive a{};
    std::uint8_t complete = 0;
    std::uint64_t claims = 0;
    if (!in.str32(&a.path, WIRE_PATH_MAX) || (claimed && !in.u64(&claims)) ||
        !in.u64(&a.entries) || !in.u8(&complete))
      return damaged("cut short or damaged");
    if (a.path.empty() || a.path.find('\0') != std::string::npos)
      return damaged("an archive's path is empty or holds a NUL");
    if (archives.size() == UINT32_MAX) return damaged("more archives than a table may hold");
    a.complete = complete != 0;
    a.first = rows.try_emplace(a.path, static_cast<std::uint32_t>(archives.size())).first->second;
    archives.push_back(std::move(a));
    return true;
  }

  // One group as said: members of (row, position) and sizes, names as read.
  void say_member(std::uint32_t row, std::uint32_t pos, const MemberSizes& sizes,
                  const MemberName& shown) {
    ++archives[row].found;
    entries.emplace_back(row, pos);
    sink->member(ArchiveRef(archives[row].path.c_str()), shown, &sizes);
  }

  void count_group(std::uint64_t members, bool one_size, std::uint64_t size) {
    sink->end_group();
    cover(archives, entries);
    entries.clear();
    ++totals->groups;
    totals->members += members;
    totals->redundant_copies += members - 1;
    if (one_size) totals->redundant_bytes += (members - 1) * size;
  }

  bool group(WireIn& in) {
    std::uint32_t crc32 = 0;
    std::uint32_t members = 0;
    if (!in.u32(&crc32) || !in.u32(&members)) return damaged("cut short or damaged");
    if (members < 2) return damaged("a group of fewer than two");
    sink->begin_group(crc32);
    std::uint64_t first_size = 0;
    bool one_size = true;
    for (std::uint32_t m = 0; m < members; ++m) {
      std::uint32_t a = 0;
      std::uint32_t pos = 0;
      MemberSizes sizes{};
      if (!in.u32(&a) || a >= archives.size() || !in.u32(&pos) || !in.u64(&sizes.size) ||
          !in.u64(&sizes.compressed_size) || !in.u16(&sizes.method) || !read_name(in, &name))
        return damaged("cut short or damaged");
      if (m == 0) first_size = sizes.size;
      one_size = one_size && sizes.size == first_size;
      say_member(archives[a].first, pos, sizes, name.shown(o));
    }
    count_group(members, one_size, first_size);
    return true;
  }

  bool not_checked(WireIn& in) {
    std::uint32_t a = 0;
    std::string reason;
    if (!in.u32(&a) || a >= archives.size() || !read_name(in, &name) || !in.str16(&reason) ||
        reason.find('\0') != std::string::npos)
      return damaged("cut short or damaged");
    sink->unverified(ArchiveRef(archives[a].path.c_str()), name.shown(o), reason.c_str());
    return true;
  }

  // A shard as its host gave it: the keys' archive list, then what the
  // resolve read. Its members are held: groups form across shards.
  bool shard(WireIn& in) {
    std::uint64_t len = 0;
    std::uint32_t count = 0;
    std::uint32_t version = 0;
    if (!in.u64(&len)) return damaged("cut short or damaged");
    std::uint64_t start = in.taken;
    if (!in.header(ARCHIVES_MAGIC, &count, &version)) return damaged("a shard's archives are damaged");
    for (std::uint32_t i = 0; i < count; ++i)
      if (!read_row(in, true)) return false;
    if (in.taken - start != len) return damaged("a shard's archives are not as long as said");
    std::uint32_t flags = 0;
    if (!in.u64(&len)) return damaged("cut short or damaged");
    start = in.taken;
    if (!in.header(RESOLVED_MAGIC, &flags, &version)) return damaged("a shard's members are damaged");
    digests = (flags & 1) != 0;
    // A member takes 29 bytes or more there, a few more in the arena: room
    // taken ahead, not grown copy by copy; but the length is the file's
    // word, not yet its bytes, so no more than 64 MiB is taken on it.
    // Room grows by doubling: reserving just what each shard asks would
    // copy everything held so far once a shard.
    std::uint64_t ahead = std::min<std::uint64_t>(len, std::uint64_t{64} << 20);
    grow(arena, arena.size() + ahead);
    grow(held, held.size() + ahead / 48);
    while (in.taken - start < len) {
      std::string path;
      std::uint8_t opened = 0;
      if (!in.str32(&path, WIRE_PATH_MAX) || !in.u8(&opened)) return damaged("cut short or damaged");
      auto row = rows.find(path);
      if (row == rows.end()) return damaged("a shard's member in an archive it does not list");
      if (opened == 0) continue;
      std::uint32_t places = 0;
      if (!in.u32(&places)) return damaged("cut short or damaged");
      for (std::uint32_t i = 0; i < places; ++i)
        if (!hold(in, row->second, path)) return false;
    }
    if (in.taken - start != len) return damaged("a shard's members are not as long as said");
    return true;
  }

  bool hold(WireIn& in, std::uint32_t row, const std::string& path) {
    Held h{};
    h.row = row;
    std::uint8_t status = 0;
    if (!in.u32(&h.pos) || !in.u32(&h.crc32) || !in.u64(&h.size) || !in.u8(&status))
      return damaged("cut short or damaged");
    if (status == UNMATCHED) {
      if (unmatched.empty()) unmatched = path;
      return true;
    }
    if (status != FOUND && status != NOT_CHECKED) return damaged("a member of an unknown status");
    std::string reason;
    if (!in.u64(&h.csize) || !in.u16(&h.method) || !read_name(in, &name))
      return damaged("cut short or damaged");
    h.flags = name.flags;
    h.name_len = static_cast<std::uint16_t>(name.stored.size());
    h.extra_len = static_cast<std::uint16_t>(name.extra.size());
    h.at = arena.size();
    arena += name.stored;
    arena += name.extra;
    if (status == NOT_CHECKED) {
      if (!in.str16(&reason) || reason.find('\0') != std::string::npos)
        return damaged("cut short or damaged");
      h.checked_not = true;
      h.reason_len = static_cast<std::uint16_t>(reason.size());
      arena += reason;
    } else if (digests) {
      char digest[32];
      if (!in.bytes(digest, sizeof digest)) return damaged("cut short or damaged");
      arena.append(digest, sizeof digest);
    }
    held.push_back(h);
    return true;
  }

  MemberName shown_held(const Held& h) {
    const char* at = arena.data() + h.at;
    return name.show(o, at, h.name_len, h.flags, at + h.name_len, h.extra_len);
  }

  const char* digest_of(const Held& h) const { return arena.data() + h.at + h.name_len + h.extra_len; }

  // The held members as groups: by ascending (CRC-32, size); within a key
  // those that could not be checked first, then its groups (by content
  // with digests) in the order of their first members, which come in the
  // order the shards gave them.
  bool print_held() {
    // Sorted as compact keys: the members' records stay where they are.
    struct Key {
      std::uint32_t crc32;
      std::uint32_t index;
      std::uint64_t size;
    };
    std::vector<Key> keys(held.size());
    for (std::uint32_t i = 0; i < keys.size(); ++i) keys[i] = Key{held[i].crc32, i, held[i].size};
    std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
      if (x.crc32 != y.crc32) return x.crc32 < y.crc32;
      if (x.size != y.size) return x.size < y.size;
      return x.index < y.index;
    });
    std::vector<std::uint32_t> order(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].index;
    std::vector<Key>().swap(keys);
    std::vector<std::uint32_t> found;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < order.size();) {
      std::size_t j = i;
      const Held& key = held[order[i]];
      found.clear();
      for (; j < order.size() && held[order[j]].crc32 == key.crc32 && held[order[j]].size == key.size;
           ++j) {
        // The order is not the arrival order: each record and name is a
        // cache miss unless asked for ahead.
        if (j + 32 < order.size()) __builtin_prefetch(&held[order[j + 32]]);
        if (j + 16 < order.size()) __builtin_prefetch(arena.data() + held[order[j + 16]].at);
        const Held& h = held[order[j]];
        if (!h.checked_not) {
          found.push_back(order[j]);
          continue;
        }
        std::string reason(arena, h.at + h.name_len + h.extra_len, h.reason_len);
        sink->unverified(ArchiveRef(archives[h.row].path.c_str()), shown_held(h), reason.c_str());
      }
      i = j;
      runs.clear();
      if (digests) {
        std::stable_sort(found.begin(), found.end(), [this](std::uint32_t a, std::uint32_t b) {
          return std::memcmp(digest_of(held[a]), digest_of(held[b]), 32) < 0;
        });
        for (std::size_t s = 0; s < found.size();) {
          std::size_t e = s + 1;
          while (e < found.size() && std::memcmp(digest_of(held[found[s]]), digest_of(held[found[e]]), 32) == 0)
            ++e;
          runs.emplace_back(s, e);
          s = e;
        }
        // In the order of first members: a run's first has its lowest index.
        std::sort(runs.begin(), runs.end(), [&found](const auto& a, const auto& b) {
          return found[a.first] < found[b.first];
        });
      } else if (!found.empty()) {
        runs.emplace_back(0, found.size());
      }
      for (const auto& [s, e] : runs) {
        if (e - s < 2) continue;
        sink->begin_group(key.crc32);
        for (std::size_t k = s; k < e; ++k) {
          const Held& h = held[found[k]];
          say_member(h.row, h.pos, MemberSizes{h.size, h.csize, h.method}, shown_held(h));
        }
        count_group(e - s, true, key.size);
        if (sink->out_of_memory()) return false;
      }
    }
    return true;
  }

  // -l: one line per path, the counts of every row of the path.
  void list() {
    std::vector<const Archive*> listed;
    for (std::uint32_t i = 0; i < archives.size(); ++i)
      if (archives[i].first == i && archives[i].found > 0) listed.push_back(&archives[i]);
    std::sort(listed.begin(), listed.end(), [](const Archive* x, const Archive* y) {
      return std::strcmp(x->path.c_str(), y->path.c_str()) < 0;
    });
    for (const Archive* a : listed) {
      // Safe to delete only when every entry has a printed copy elsewhere.
      bool whole = a->complete && a->entries != 0 && a->entries == a->found &&
                   a->covered == a->entries;
      sink->archive_summary(ArchiveRef(a->path.c_str()), a->entries, a->found, whole);
    }
  }
};

}  // namespace

GroupsEnd print_groups(std::FILE* in_file, ReportSink* sink, const GroupsOptions& o,
                       ReportTotals* totals, std::string* why) {
  *totals = ReportTotals{};
  WireIn in{in_file};
  std::uint32_t count = 0;
  std::uint32_t version = 0;
  if (!in.header(GROUPS_MAGIC, &count, &version)) {
    *why = "not a groups file of this version";
    return GroupsEnd::BadInput;
  }
  try {
    Printer p{sink, o, totals, why};
    for (std::uint32_t i = 0; i < count; ++i)
      if (!p.read_row(in)) return GroupsEnd::BadInput;
    for (;;) {
      std::uint8_t type = END;
      if (!in.u8(&type)) return p.damaged("cut short: no end record"), GroupsEnd::BadInput;
      if (type == END) break;
      bool read = type == GROUP        ? p.group(in)
                  : type == UNVERIFIED ? p.not_checked(in)
                  : type == SHARD      ? p.shard(in)
                                       : p.damaged("a record of an unknown kind");
      if (!read) return GroupsEnd::BadInput;
      if (sink->out_of_memory()) return GroupsEnd::NoMemory;
    }
    if (!in.at_end()) return p.damaged("bytes after its end record"), GroupsEnd::BadInput;
    if (!p.unmatched.empty()) {
      *why = p.unmatched;
      return GroupsEnd::Unmatched;
    }
    if (!p.print_held()) return GroupsEnd::NoMemory;
    if (o.list) p.list();
  } catch (const std::bad_alloc&) {
    return GroupsEnd::NoMemory;
  }
  return GroupsEnd::Done;
}

}  // namespace zorv
