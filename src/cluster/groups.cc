#include "cluster/groups.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "cluster/wire.h"
#include "zip/zip_name.h"

namespace zorv {

namespace {

constexpr char GROUPS_MAGIC[8] = {'Z', 'O', 'R', 'V', 'G', 'R', 'P', 'S'};
enum Record : std::uint8_t { END = 0, GROUP = 1, UNVERIFIED = 2 };

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
struct Name {
  std::uint16_t flags = 0;
  std::string stored;
  std::string extra;
  std::string text;

  MemberName shown(const GroupsOptions& o) {
    std::size_t len = o.full_names ? stored.size() : std::strlen(stored.c_str());
    MemberName name{stored.c_str(), len, nullptr, 0};
    StoredName s{stored.data(), stored.size(), flags,
                 reinterpret_cast<const unsigned char*>(extra.data()), extra.size()};
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
  auto damaged = [why](const char* what) {
    *why = what;
    return GroupsEnd::BadInput;
  };
  try {
    std::vector<Archive> archives;
    std::unordered_map<std::string, std::uint32_t> rows;  // path -> its first row
    for (std::uint32_t i = 0; i < count; ++i) {
      Archive a{};
      std::uint8_t complete = 0;
      if (!in.str32(&a.path, WIRE_PATH_MAX) || !in.u64(&a.entries) || !in.u8(&complete))
        return damaged("cut short or damaged");
      if (a.path.empty() || a.path.find('\0') != std::string::npos)
        return damaged("an archive's path is empty or holds a NUL");
      a.complete = complete != 0;
      a.first = rows.try_emplace(a.path, i).first->second;
      archives.push_back(std::move(a));
    }
    Name name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (;;) {
      std::uint8_t type = END;
      if (!in.u8(&type)) return damaged("cut short: no end record");
      if (type == END) break;
      if (type == UNVERIFIED) {
        std::uint32_t a = 0;
        std::string reason;
        if (!in.u32(&a) || a >= count || !read_name(in, &name) || !in.str16(&reason) ||
            reason.find('\0') != std::string::npos)
          return damaged("cut short or damaged");
        sink->unverified(ArchiveRef(archives[a].path.c_str()), name.shown(o), reason.c_str());
        continue;
      }
      std::uint32_t crc32 = 0;
      std::uint32_t members = 0;
      if (type != GROUP || !in.u32(&crc32) || !in.u32(&members) || members < 2)
        return damaged("a record of an unknown kind, or a group of fewer than two");
      sink->begin_group(crc32);
      std::uint64_t first_size = 0;
      bool one_size = true;
      entries.clear();
      for (std::uint32_t m = 0; m < members; ++m) {
        std::uint32_t a = 0;
        std::uint32_t pos = 0;
        MemberSizes sizes{};
        if (!in.u32(&a) || a >= count || !in.u32(&pos) || !in.u64(&sizes.size) ||
            !in.u64(&sizes.compressed_size) || !in.u16(&sizes.method) || !read_name(in, &name))
          return damaged("cut short or damaged");
        if (m == 0) first_size = sizes.size;
        one_size = one_size && sizes.size == first_size;
        ++archives[archives[a].first].found;
        entries.emplace_back(archives[a].first, pos);
        sink->member(ArchiveRef(archives[a].path.c_str()), name.shown(o), &sizes);
      }
      sink->end_group();
      cover(archives, entries);
      ++totals->groups;
      totals->members += members;
      totals->redundant_copies += members - 1;
      if (one_size) totals->redundant_bytes += (members - 1) * first_size;
      if (sink->out_of_memory()) return GroupsEnd::NoMemory;
    }
    if (!in.at_end()) return damaged("bytes after its end record");
    if (!o.list) return GroupsEnd::Done;
    // One line per path, as a report's -l keeps: the counts are the first
    // row's, where every row of the path counted.
    std::vector<const Archive*> listed;
    for (std::uint32_t i = 0; i < count; ++i)
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
  } catch (const std::bad_alloc&) {
    return GroupsEnd::NoMemory;
  }
  return GroupsEnd::Done;
}

}  // namespace zorv
