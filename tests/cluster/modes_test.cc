// The cluster's three modes, end to end: keys taken in parts, the places
// of the keys seen twice resolved, and groups printed, driven here as a
// cluster's client drives them (one host, every shard, no engine). What the
// pipeline prints must be what a report of the same paths prints, groups
// taken as multisets; damaged inputs are refused with a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cluster/keys.h"
#include "support/cli.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::RunResult;

// Little-endian fields, as every cluster file holds them.
void le(std::string& out, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void str16(std::string& out, const std::string& s) {
  le(out, s.size(), 2);
  out += s;
}
void str32(std::string& out, const std::string& s) {
  le(out, s.size(), 4);
  out += s;
}

struct Cursor {
  const std::string& b;
  std::size_t at = 0;
  std::uint64_t get(int n) {
    EXPECT_LE(at + n, b.size()) << "a cluster file ends early";
    std::uint64_t v = 0;
    for (int i = 0; i < n && at < b.size(); ++i)
      v |= std::uint64_t{static_cast<unsigned char>(b[at++])} << (8 * i);
    return v;
  }
  std::string take(std::size_t n) {
    EXPECT_LE(at + n, b.size());
    std::string s = b.substr(std::min(at, b.size()), n);
    at += n;
    return s;
  }
  void expect_header(const char* magic, std::uint32_t third) {
    EXPECT_EQ(take(8), magic);
    EXPECT_EQ(get(4), 1u);  // version
    EXPECT_EQ(get(4), third);
  }
};

std::string text_of(const test::Bytes& b) { return std::string(b.begin(), b.end()); }

struct KeyArchive {
  std::string path;
  std::uint64_t claimed, read;
  bool complete;
};
struct Key {
  std::uint32_t crc;
  std::uint64_t size;
  std::uint32_t archive, pos;
  auto operator<=>(const Key&) const = default;
};

// What --keys wrote: the archives, and every part's records checked to lie
// in the part their key hashes to.
struct Keys {
  std::vector<KeyArchive> archives;
  std::vector<Key> keys;
};

Keys read_keys(const std::string& dir, unsigned parts) {
  Keys k;
  std::string a = text_of(test::read_file(dir + "/archives"));
  Cursor c{a};
  EXPECT_EQ(c.take(8), "ZORVARCS");
  EXPECT_EQ(c.get(4), 1u);
  std::uint64_t n = c.get(4);
  for (std::uint64_t i = 0; i < n; ++i) {
    KeyArchive r;
    r.path = c.take(c.get(4));
    r.claimed = c.get(8);
    r.read = c.get(8);
    r.complete = c.get(1) != 0;
    k.archives.push_back(r);
  }
  EXPECT_EQ(c.at, a.size());
  for (unsigned p = 0; p < parts; ++p) {
    std::string b = text_of(test::read_file(dir + "/keys." + std::to_string(p)));
    Cursor kc{b};
    kc.expect_header("ZORVKEYS", p);
    EXPECT_EQ((b.size() - 16) % 20, 0u);
    while (kc.at + 20 <= b.size()) {
      Key key{static_cast<std::uint32_t>(kc.get(4)), kc.get(8),
              static_cast<std::uint32_t>(kc.get(4)), static_cast<std::uint32_t>(kc.get(4))};
      EXPECT_NE(key.crc, 0u);
      EXPECT_EQ(key_part(key.crc, key.size, parts), p) << "a key in another part than its own";
      EXPECT_LT(key.archive, n);
      k.keys.push_back(key);
    }
  }
  return k;
}

struct Resolved {
  std::uint32_t archive, pos, crc;
  std::uint64_t size, csize;
  int status;
  std::uint16_t method, flags;
  std::string name, extra, digest, reason;
};

// Drives the three modes over `paths` as a client would, one shard; returns
// the print run (its status, output and errors, those of the keys and
// resolve runs first).
RunResult pipeline(const test::TempDir& dir, const std::vector<std::string>& paths, unsigned parts,
                   bool content, const std::vector<std::string>& print_options,
                   std::vector<Resolved>* resolved_out = nullptr) {
  std::string kdir = dir.mkdir("keys-out");
  std::vector<std::string> args = {"--keys=" + kdir, "--partitions=" + std::to_string(parts)};
  args.insert(args.end(), paths.begin(), paths.end());
  RunResult keys_run = test::run_zorv(args, dir.path());
  EXPECT_EQ(keys_run.status, 0) << keys_run.err;
  EXPECT_EQ(keys_run.out, "");
  Keys k = read_keys(kdir, parts);
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::vector<Key>> by_key;
  for (const Key& key : k.keys)
    by_key[{key.crc, key.size}].push_back(key);
  std::map<std::uint32_t, std::vector<Key>> places;
  for (auto& [key, members] : by_key)
    if (members.size() > 1)
      for (const Key& m : members) places[m.archive].push_back(m);
  std::string pf = "ZORVPLCS";
  le(pf, 1, 4);
  le(pf, places.size(), 4);
  for (auto& [archive, ps] : places) {
    str32(pf, k.archives[archive].path);
    le(pf, ps.size(), 4);
    for (const Key& p : ps) {
      le(pf, p.pos, 4);
      le(pf, p.crc, 4);
      le(pf, p.size, 8);
    }
  }
  dir.write("places", test::to_bytes(pf));
  RunResult rr = test::run_zorv(content ? std::vector<std::string>{"--resolve=places", "-c"}
                                        : std::vector<std::string>{"--resolve=places"},
                                dir.path());
  EXPECT_EQ(rr.status, 0) << rr.err;
  Cursor c{rr.out};
  c.expect_header("ZORVRSLV", content ? 1 : 0);
  std::vector<Resolved> resolved;
  for (auto& [archive, ps] : places) {
    EXPECT_EQ(c.take(c.get(4)), k.archives[archive].path);
    if (c.get(1) == 0) continue;
    EXPECT_EQ(c.get(4), ps.size());
    for (const Key& p : ps) {
      Resolved r{archive, static_cast<std::uint32_t>(c.get(4)), static_cast<std::uint32_t>(c.get(4)),
                 c.get(8), 0, static_cast<int>(c.get(1)), 0, 0, "", "", "", ""};
      EXPECT_EQ(r.pos, p.pos);
      EXPECT_EQ(r.crc, p.crc);
      EXPECT_EQ(r.size, p.size);
      if (r.status != 1) {
        r.csize = c.get(8);
        r.method = static_cast<std::uint16_t>(c.get(2));
        r.flags = static_cast<std::uint16_t>(c.get(2));
        r.name = c.take(c.get(2));
        r.extra = c.take(c.get(2));
        if (r.status == 2) r.reason = c.take(c.get(2));
        if (r.status == 0 && content) r.digest = c.take(32);
      }
      resolved.push_back(r);
    }
  }
  EXPECT_EQ(c.at, rr.out.size());
  if (resolved_out != nullptr) *resolved_out = resolved;
  // Groups by (CRC-32, size, digest), members in shard order.
  std::map<std::tuple<std::uint32_t, std::uint64_t, std::string>, std::vector<const Resolved*>> groups;
  std::vector<const Resolved*> unverified;
  for (const Resolved& r : resolved) {
    if (r.status == 0) groups[{r.crc, r.size, r.digest}].push_back(&r);
    if (r.status == 2) unverified.push_back(&r);
  }
  std::string gf = "ZORVGRPS";
  le(gf, 1, 4);
  le(gf, k.archives.size(), 4);
  for (const KeyArchive& a : k.archives) {
    str32(gf, a.path);
    le(gf, a.read, 8);
    le(gf, a.complete, 1);
  }
  auto name = [&gf](const Resolved& r) {
    le(gf, r.flags, 2);
    str16(gf, r.name);
    str16(gf, r.extra);
  };
  for (const Resolved* r : unverified) {
    le(gf, 2, 1);
    le(gf, r->archive, 4);
    name(*r);
    str16(gf, r->reason);
  }
  for (auto& [key, members] : groups) {
    if (members.size() < 2) continue;
    le(gf, 1, 1);
    le(gf, std::get<0>(key), 4);
    le(gf, members.size(), 4);
    for (const Resolved* m : members) {
      le(gf, m->archive, 4);
      le(gf, m->pos, 4);
      le(gf, m->size, 8);
      le(gf, m->csize, 8);
      le(gf, m->method, 2);
      name(*m);
    }
  }
  le(gf, 0, 1);
  dir.write("groups", test::to_bytes(gf));
  std::vector<std::string> print = {"--print-groups=groups"};
  print.insert(print.end(), print_options.begin(), print_options.end());
  RunResult pr = test::run_zorv(print, dir.path());
  pr.err = keys_run.err + rr.err + pr.err;
  return pr;
}

// A report as a multiset: each group's member lines sorted, the groups
// sorted; the lines after the groups (-l, the summary) kept in order.
std::string canonical_text(const std::string& out) {
  std::string rest;
  std::vector<test::Group> groups = test::parse_report(out, &rest);
  for (test::Group& g : groups) std::sort(g.members.begin(), g.members.end());
  std::sort(groups.begin(), groups.end());
  std::ostringstream s;
  for (const test::Group& g : groups) {
    s << std::hex << g.crc << std::dec << ":";
    for (const std::string& m : g.members) s << " [" << m << "]";
    s << "\n";
  }
  return s.str() + "--\n" + rest;
}

// The same for JSON Lines: a group line's member objects sorted, group and
// unverified lines sorted, the archive and summary lines kept in order.
std::string canonical_jsonl(const std::string& out) {
  std::vector<std::string> groups, tail;
  std::istringstream in(out);
  std::regex member(R"(\{"archive":[^{}]*\})");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(R"({"type":"group")", 0) == 0) {
      std::vector<std::string> members;
      for (std::sregex_iterator it(line.begin(), line.end(), member), end; it != end; ++it)
        members.push_back(it->str());
      std::sort(members.begin(), members.end());
      std::string g = line.substr(0, line.find("\"members\""));
      for (const std::string& m : members) g += m + ";";
      groups.push_back(g);
    } else if (line.rfind(R"({"type":"unverified")", 0) == 0) {
      groups.push_back(line);
    } else {
      tail.push_back(line);
    }
  }
  std::sort(groups.begin(), groups.end());
  std::string s;
  for (const std::string& g : groups) s += g + "\n";
  s += "--\n";
  for (const std::string& t : tail) s += t + "\n";
  return s;
}

std::string sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// A random collection whose keys collide in every way that matters:
// contents shared within and across archives, equal CRC-32s of other sizes
// and (forged) of one size, empty files and directories (CRC-32 zero),
// names in CP437 and UTF-8 and with a NUL, a member whose data does not
// match its CRC-32 (-c cannot verify it), a truncated archive, one in a
// subdirectory (-R). Returns the paths to name, options first.
std::vector<std::string> random_collection(const test::TempDir& dir, std::mt19937& rng) {
  std::vector<std::string> pool;
  for (int i = 0; i < 10; ++i) pool.push_back("content " + std::to_string(rng() % 100000) + "\n");
  std::uint32_t shared = test::crc32_of(pool[0]);
  pool.push_back(test::forge_crc("of another length", shared));
  pool.push_back(test::forge_crc(std::string(pool[0].size() - 4, 'f'), shared));  // one size
  pool.push_back("");
  const std::vector<std::string> names = {"a.txt", "dir/b.txt", "caf\x82.txt",
                                          "na\xc3\xafve.txt", std::string("x\0y.txt", 7),
                                          "c (copy).txt"};
  std::vector<std::string> paths = {"-R"};
  int archives = 3 + static_cast<int>(rng() % 5);
  for (int a = 0; a < archives; ++a) {
    ArchiveBytes z;
    int entries = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < entries; ++e) {
      const std::string& base = names[rng() % names.size()];
      // Most contents from the first few, so that most runs share some.
      const std::string& data = pool[rng() % 2 == 0 ? rng() % 3 : rng() % pool.size()];
      auto& h = z.add_file(std::to_string(e) + "-" + base, data);
      if (base == names[3]) h.flags |= 0x0800;
    }
    if (rng() % 3 == 0) z.add_file("sub/", "");
    std::string rel = a == 2 ? "deeper/more/a2.zip" : "a" + std::to_string(a) + ".zip";
    dir.write(rel, z.bytes());
    paths.push_back(a == 2 ? "deeper" : rel);
  }
  // Data other than its CRC-32 says: -c cannot verify it.
  ArchiveBytes bad;
  std::string off = pool[0];
  off[0] ^= 1;
  bad.add_file("bad.txt", off).crc32 = shared;
  bad.add_file("good.txt", pool[0]);
  dir.write("bad.zip", bad.bytes());
  paths.push_back("bad.zip");
  ArchiveBytes whole;
  whole.add_file("t.txt", pool[1]);
  test::Bytes bytes = whole.bytes();
  bytes.resize(bytes.size() / 2);
  dir.write("truncated.zip", bytes);
  paths.push_back("truncated.zip");
  return paths;
}

// Every mode, over random collections, in 1, 3 and 16 parts: the groups a
// report prints (-s, -c; text and JSON Lines), its -l lines and totals, its
// warnings and its status.
TEST(ClusterModes, ThePipelinePrintsWhatAReportPrints) {
  struct Case {
    std::vector<std::string> options;
    bool content;
  };
  const std::vector<Case> cases = {
      {{"-s"}, false},
      {{"-s", "-l", "--summary", "--exit-status"}, false},
      {{"-c", "-l", "--summary"}, true},
      {{"-s", "--format=jsonl", "-l", "--summary"}, false},
      {{"-c", "--format=jsonl", "--summary", "--exit-status"}, true},
  };
  for (unsigned seed = 1; seed <= 8; ++seed) {
    std::mt19937 rng(seed);
    test::TempDir dir;
    std::vector<std::string> paths = random_collection(dir, rng);
    for (const Case& c : cases) {
      for (unsigned parts : {1u, 3u, 16u}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(parts) + " parts, " +
                     c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
        std::vector<std::string> report_args = c.options;
        report_args.insert(report_args.end(), paths.begin(), paths.end());
        RunResult report = test::run_zorv(report_args, dir.path());
        std::vector<std::string> print_options;
        for (const std::string& o : c.options)
          if (o != "-s" && o != "-c") print_options.push_back(o);
        RunResult print = pipeline(dir, paths, parts, c.content, print_options);
        EXPECT_EQ(print.status, report.status);
        bool jsonl = c.options.size() > 1 && c.options[1] == "--format=jsonl";
        if (jsonl) {
          EXPECT_EQ(canonical_jsonl(print.out), canonical_jsonl(report.out));
        } else {
          EXPECT_EQ(canonical_text(print.out), canonical_text(report.out));
        }
        EXPECT_EQ(sorted_lines(print.err), sorted_lines(report.err));
      }
    }
  }
}

}  // namespace
}  // namespace zorv
