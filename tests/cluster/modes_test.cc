// The cluster's modes, end to end: keys taken in parts, reduced (and
// checked against a model of the reduce) to the places of the keys seen
// twice, those resolved (in both forms), and groups printed, driven here as a
// cluster's client drives them (one host, every shard, no engine). What the
// pipeline prints must be what a report of the same paths prints, groups
// taken as multisets; damaged inputs are refused with a message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
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

// How the client hands the groups to --print-groups: formed by itself
// (group and cannot-check records), or as each shard's archive list and
// resolve output, for the print mode to form.
enum class Grouping { Client, Shards };

// Drives the three modes as a cluster's client would: each shard (its
// paths, options first) keyed alone in `parts` parts, the keys of every
// shard seen twice or more resolved on their own shard, the groups printed.
// Returns the print run, with the errors of the keys and resolve runs in
// front of its own. The last shard's resolved places go to *resolved_out.
RunResult pipeline(const test::TempDir& dir, const std::vector<std::vector<std::string>>& shards,
                   unsigned parts, bool content, const std::vector<std::string>& print_options,
                   Grouping grouping = Grouping::Client,
                   std::vector<Resolved>* resolved_out = nullptr, bool both_forms = true) {
  std::string err;
  std::vector<Keys> keys;
  std::vector<std::string> archive_files;
  std::vector<std::vector<std::string>> part_records(shards.size());  // per shard, per part
  for (std::size_t s = 0; s < shards.size(); ++s) {
    std::string kdir = dir.mkdir("keys-out-" + std::to_string(s));
    std::vector<std::string> args = {"--keys=" + kdir, "--partitions=" + std::to_string(parts)};
    args.insert(args.end(), shards[s].begin(), shards[s].end());
    RunResult keys_run = test::run_zorv(args, dir.path());
    EXPECT_EQ(keys_run.status, 0) << keys_run.err;
    EXPECT_EQ(keys_run.out, "");
    err += keys_run.err;
    keys.push_back(read_keys(kdir, parts));
    archive_files.push_back(text_of(test::read_file(kdir + "/archives")));
    for (unsigned p = 0; p < parts; ++p)
      part_records[s].push_back(
          text_of(test::read_file(kdir + "/keys." + std::to_string(p))).substr(16));
  }
  // --reduce over every shard, as reduce tasks run it, each on a span of
  // consecutive parts (two spans when there are parts enough): each
  // shard's places, numbered, as --resolve takes them.
  std::vector<std::vector<Key>> reduced(shards.size());
  unsigned spans = !both_forms ? 0 : parts > 1 ? 2 : 1;
  for (unsigned span = 0; span < spans; ++span) {
    std::string in = "ZORVREDC";
    le(in, 1, 4);
    le(in, shards.size(), 4);
    for (std::size_t s = 0; s < shards.size(); ++s) {
      std::string records;
      for (unsigned p = span * parts / spans; p < (span + 1) * parts / spans; ++p)
        records += part_records[s][p];
      le(in, records.size() / 20, 8);
      in += records;
    }
    dir.write("reduce-in", test::to_bytes(in));
    RunResult red = test::run_zorv({"--reduce=reduce-in"}, dir.path());
    EXPECT_EQ(red.status, 0) << red.err;
    EXPECT_EQ(red.err, "");
    Cursor c{red.out};
    c.expect_header("ZORVDUPS", static_cast<std::uint32_t>(shards.size()));
    std::vector<std::uint64_t> counts;
    for (std::size_t s = 0; s < shards.size(); ++s) counts.push_back(c.get(8));
    for (std::size_t s = 0; s < shards.size(); ++s)
      for (std::uint64_t i = 0; i < counts[s]; ++i) {
        Key k{};
        k.archive = static_cast<std::uint32_t>(c.get(4));
        k.pos = static_cast<std::uint32_t>(c.get(4));
        k.crc = static_cast<std::uint32_t>(c.get(4));
        k.size = c.get(8);
        reduced[s].push_back(k);
      }
    EXPECT_EQ(c.at, red.out.size());
  }
  // (CRC-32, size) -> (shard, key) of every copy.
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::vector<std::pair<std::size_t, Key>>> by_key;
  for (std::size_t s = 0; s < keys.size(); ++s)
    for (const Key& key : keys[s].keys) by_key[{key.crc, key.size}].emplace_back(s, key);
  std::vector<std::map<std::uint32_t, std::vector<Key>>> places(shards.size());
  for (auto& [key, members] : by_key)
    if (members.size() > 1)
      for (const auto& [s, m] : members) places[s][m.archive].push_back(m);
  for (std::size_t s = 0; s < shards.size() && both_forms; ++s) {
    std::vector<Key> want;
    for (auto& [archive, ps] : places[s]) {
      // By position, as --resolve orders numbered places itself.
      std::sort(ps.begin(), ps.end(), [](const Key& a, const Key& b) { return a.pos < b.pos; });
      want.insert(want.end(), ps.begin(), ps.end());
    }
    std::vector<Key> got = reduced[s];
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want) << "--reduce gives shard " << s << " other places than the model";
  }
  std::vector<std::vector<Resolved>> resolved(shards.size());
  std::vector<std::string> outputs(shards.size());
  for (std::size_t s = 0; s < shards.size(); ++s) {
    std::string pf = "ZORVPLCS";
    le(pf, 1, 4);
    le(pf, places[s].size(), 4);
    for (auto& [archive, ps] : places[s]) {
      str32(pf, keys[s].archives[archive].path);
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
    err += rr.err;
    outputs[s] = rr.out;
    if (both_forms) {
      // The numbered form, from --reduce's places in the order it gave them
      // and the keys run's archive list: the same output.
      std::string nf = "ZORVPLNO";
      le(nf, 1, 4);
      le(nf, 0, 4);
      le(nf, archive_files[s].size(), 8);
      nf += archive_files[s];
      le(nf, reduced[s].size(), 8);
      for (const Key& k : reduced[s]) {
        le(nf, k.archive, 4);
        le(nf, k.pos, 4);
        le(nf, k.crc, 4);
        le(nf, k.size, 8);
      }
      dir.write("numbered", test::to_bytes(nf));
      RunResult nr = test::run_zorv(content ? std::vector<std::string>{"--resolve=numbered", "-c"}
                                            : std::vector<std::string>{"--resolve=numbered"},
                                    dir.path());
      EXPECT_EQ(nr.status, 0) << nr.err;
      EXPECT_EQ(nr.out, rr.out) << "the numbered places are resolved otherwise";
      EXPECT_EQ(nr.err, rr.err);
    }
    Cursor c{rr.out};
    c.expect_header("ZORVRSLV", content ? 1 : 0);
    for (auto& [archive, ps] : places[s]) {
      EXPECT_EQ(c.take(c.get(4)), keys[s].archives[archive].path);
      if (c.get(1) == 0) continue;
      EXPECT_EQ(c.get(4), ps.size());
      for (const Key& p : ps) {
        Resolved r{archive, static_cast<std::uint32_t>(c.get(4)),
                   static_cast<std::uint32_t>(c.get(4)), c.get(8), 0, static_cast<int>(c.get(1)),
                   0, 0, "", "", "", ""};
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
        resolved[s].push_back(r);
      }
    }
    EXPECT_EQ(c.at, rr.out.size());
  }
  if (resolved_out != nullptr) *resolved_out = resolved.back();
  std::string gf = "ZORVGRPS";
  le(gf, 1, 4);
  if (grouping == Grouping::Shards) {
    le(gf, 0, 4);
    for (std::size_t s = 0; s < shards.size(); ++s) {
      le(gf, 3, 1);
      le(gf, archive_files[s].size(), 8);
      gf += archive_files[s];
      le(gf, outputs[s].size(), 8);
      gf += outputs[s];
    }
  } else {
    // The table: every shard's archives, one after another.
    std::vector<std::uint32_t> base;
    std::size_t rows = 0;
    for (const Keys& k : keys) {
      base.push_back(static_cast<std::uint32_t>(rows));
      rows += k.archives.size();
    }
    le(gf, rows, 4);
    for (const Keys& k : keys)
      for (const KeyArchive& a : k.archives) {
        str32(gf, a.path);
        le(gf, a.read, 8);
        le(gf, a.complete, 1);
      }
    // Groups by (CRC-32, size, digest), members in shard order.
    std::map<std::tuple<std::uint32_t, std::uint64_t, std::string>,
             std::vector<std::pair<std::uint32_t, const Resolved*>>>
        groups;
    std::vector<std::pair<std::uint32_t, const Resolved*>> unverified;
    for (std::size_t s = 0; s < shards.size(); ++s)
      for (const Resolved& r : resolved[s]) {
        if (r.status == 0) groups[{r.crc, r.size, r.digest}].emplace_back(base[s] + r.archive, &r);
        if (r.status == 2) unverified.emplace_back(base[s] + r.archive, &r);
      }
    auto name = [&gf](const Resolved& r) {
      le(gf, r.flags, 2);
      str16(gf, r.name);
      str16(gf, r.extra);
    };
    for (const auto& [row, r] : unverified) {
      le(gf, 2, 1);
      le(gf, row, 4);
      name(*r);
      str16(gf, r->reason);
    }
    for (auto& [key, members] : groups) {
      if (members.size() < 2) continue;
      le(gf, 1, 1);
      le(gf, std::get<0>(key), 4);
      le(gf, members.size(), 4);
      for (const auto& [row, m] : members) {
        le(gf, row, 4);
        le(gf, m->pos, 4);
        le(gf, m->size, 8);
        le(gf, m->csize, 8);
        le(gf, m->method, 2);
        name(*m);
      }
    }
  }
  le(gf, 0, 1);
  dir.write("groups", test::to_bytes(gf));
  std::vector<std::string> print = {"--print-groups=groups"};
  print.insert(print.end(), print_options.begin(), print_options.end());
  RunResult pr = test::run_zorv(print, dir.path());
  pr.err = err + pr.err;
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
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(R"({"type":"group")", 0) == 0) {
      // Member objects hold no braces: the collections' names have none.
      std::vector<std::string> members;
      for (std::size_t at = line.find(R"({"archive":)"); at != std::string::npos;
           at = line.find(R"({"archive":)", at + 1))
        members.push_back(line.substr(at, line.find('}', at) - at + 1));
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
// subdirectory (-R). Returns two shards' paths, options first: the paths
// that name one archive twice (or by a link) in one shard, as a report
// sees them.
std::vector<std::vector<std::string>> random_collection(const test::TempDir& dir,
                                                        std::mt19937& rng) {
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
  std::vector<std::string> second = {"-R", "bad.zip"};
  // Two central entries on one stored stream: -c refuses both.
  ArchiveBytes bomb;
  bomb.add_file("one.txt", pool[1]);
  bomb.headers.push_back(bomb.headers[0]);
  bomb.headers.back().name = "two.txt";
  dir.write("bomb.zip", bomb.bytes());
  second.push_back("bomb.zip");
  ArchiveBytes whole;
  whole.add_file("t.txt", pool[1]);
  test::Bytes bytes = whole.bytes();
  bytes.resize(bytes.size() / 2);
  dir.write("truncated.zip", bytes);
  second.push_back("truncated.zip");
  // One archive named twice (read twice), another under a second name
  // (passed over).
  paths.push_back("a0.zip");
  EXPECT_EQ(symlink("a1.zip", (dir / "link.zip").c_str()), 0);
  paths.push_back("link.zip");
  return {paths, second};
}

// Every mode, over random collections, in 1, 3 or 16 parts: the groups a
// report prints (-s, -c; text and JSON Lines), its -l lines and totals, its
// warnings and its status.
void pipeline_seeds(unsigned first, unsigned last) {
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
  for (unsigned seed = first; seed <= last; ++seed) {
    std::mt19937 rng(seed);
    test::TempDir dir;
    std::vector<std::vector<std::string>> shards = random_collection(dir, rng);
    std::vector<std::string> paths = shards[0];
    paths.insert(paths.end(), shards[1].begin() + 1, shards[1].end());  // one -R
    for (const Case& c : cases) {
      std::vector<std::string> report_args = c.options;
      report_args.insert(report_args.end(), paths.begin(), paths.end());
      RunResult report = test::run_zorv(report_args, dir.path());
      std::vector<std::string> print_options;
      for (const std::string& o : c.options)
        if (o != "-s" && o != "-c") print_options.push_back(o);
      bool jsonl = c.options.size() > 1 && c.options[1] == "--format=jsonl";
      // The parts change from seed to seed: each count meets every case.
      const unsigned part_counts[] = {1, 3, 16};
      for (unsigned parts : {part_counts[seed % 3]}) {
        for (Grouping grouping : {Grouping::Client, Grouping::Shards}) {
          SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(parts) + " parts, " +
                       c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : "") +
                       (grouping == Grouping::Shards ? ", shard records" : ""));
          // --reduce and the numbered places once a seed with and without -c.
          bool both_forms = grouping == Grouping::Client && (&c == &cases[0] || &c == &cases[2]);
          RunResult print =
              pipeline(dir, shards, parts, c.content, print_options, grouping, nullptr, both_forms);
          EXPECT_EQ(print.status, report.status);
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
}

// (Three tests of three seeds: each stays well inside the suite's time
// limit under ThreadSanitizer, beside the cluster test's processes.)
TEST(ClusterModes, ThePipelinePrintsWhatAReportPrints) { pipeline_seeds(1, 3); }
TEST(ClusterModes, ThePipelinePrintsWhatAReportPrintsSeeds4To6) { pipeline_seeds(4, 6); }
TEST(ClusterModes, ThePipelinePrintsWhatAReportPrintsSeeds7To9) { pipeline_seeds(7, 9); }

// --reduce against a model on records drawn from few CRC-32s and sizes, so
// that pairs, larger groups and keys that differ only in size (or only in
// a size's high word) all occur, with CRC-32 zero among them; one seed puts
// nearly every record under one CRC-32. The places must come byte for byte
// as the model lists them: shard by shard, in the order the records came.
TEST(ClusterModes, ReduceKeepsTheKeysHeldTwiceAsAModelDoes) {
  test::TempDir dir;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> crcs = {0};
    for (int i = 0; i < 40; ++i) crcs.push_back(static_cast<std::uint32_t>(rng()) | 1);
    crcs.push_back(crcs[1] ^ 0x10);  // the same high bits as another
    const std::vector<std::uint64_t> sizes = {0, 1, 7, std::uint64_t{1} << 32,
                                              (std::uint64_t{1} << 32) | 7, ~std::uint64_t{0}};
    std::size_t shards = 1 + rng() % 4;
    std::string in = "ZORVREDC";
    le(in, 1, 4);
    le(in, shards, 4);
    std::vector<std::vector<Key>> records(shards);
    std::map<std::pair<std::uint32_t, std::uint64_t>, int> held;
    for (std::size_t s = 0; s < shards; ++s) {
      std::size_t n = rng() % 300;
      le(in, n, 8);
      for (std::size_t i = 0; i < n; ++i) {
        Key k{};
        k.crc = seed == 6 && rng() % 8 != 0 ? crcs[2] : crcs[rng() % crcs.size()];
        k.size = sizes[rng() % sizes.size()];
        k.archive = static_cast<std::uint32_t>(rng() % 5);
        k.pos = static_cast<std::uint32_t>(rng());
        le(in, k.crc, 4);
        le(in, k.size, 8);
        le(in, k.archive, 4);
        le(in, k.pos, 4);
        records[s].push_back(k);
        if (k.crc != 0) ++held[{k.crc, k.size}];
      }
    }
    std::string want = "ZORVDUPS";
    le(want, 1, 4);
    le(want, shards, 4);
    std::string places;
    for (const std::vector<Key>& shard : records) {
      std::size_t count = 0;
      for (const Key& k : shard) {
        if (k.crc == 0 || held[{k.crc, k.size}] < 2) continue;
        ++count;
        le(places, k.archive, 4);
        le(places, k.pos, 4);
        le(places, k.crc, 4);
        le(places, k.size, 8);
      }
      le(want, count, 8);
    }
    dir.write("reduce-in", test::to_bytes(in));
    RunResult red = test::run_zorv({"--reduce=reduce-in"}, dir.path());
    EXPECT_EQ(red.status, 0) << red.err;
    EXPECT_EQ(red.out, want + places) << "seed " << seed;
  }
}

// What --resolve says of places whose archive changed or went since the
// keys were taken, and of members -c cannot check.
TEST(ClusterModes, ResolveSaysWhatStandsAtEachPlaceNow) {
  test::TempDir dir;
  ArchiveBytes a;
  a.add_file("same.txt", "shared content\n");
  a.add_file("other.txt", "other content\n");
  ArchiveBytes b = a;
  dir.write("a.zip", a.bytes());
  dir.write("b.zip", b.bytes());
  ArchiveBytes c;
  c.add_file("same.txt", "shared content\n");
  std::string off = "shared content\n";
  off[3] ^= 1;
  c.add_file("damaged.txt", off).crc32 = test::crc32_of("shared content\n");
  dir.write("c.zip", c.bytes());
  // a.zip rewritten (its first entry's data and CRC-32 changed), b.zip gone.
  std::vector<Resolved> resolved;
  {
    RunResult r = pipeline(dir, {{"a.zip", "b.zip", "c.zip"}}, 2, true, {"--summary"},
                           Grouping::Shards, &resolved);
    EXPECT_EQ(r.out, "CRC32: 0x" + [] {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", test::crc32_of("shared content\n"));
      return std::string(hex);
    }() + "\nfile: a.zip, same.txt\nfile: b.zip, same.txt\nfile: c.zip, same.txt\n-------\n"
          "CRC32: 0x" + [] {
      char hex[9];
      std::snprintf(hex, sizeof hex, "%08x", test::crc32_of("other content\n"));
      return std::string(hex);
    }() + "\nfile: a.zip, other.txt\nfile: b.zip, other.txt\n-------\n"
          "Summary: 2 groups, 5 members, 3 redundant copies, 44 bytes in redundant copies\n");
    EXPECT_EQ(r.err, "zorv: warning, cannot verify c.zip, damaged.txt: damaged data\n");
  }
  ASSERT_EQ(resolved.size(), 6u);
  ArchiveBytes changed;
  changed.add_file("same.txt", "shared content!");  // one size, another CRC-32
  changed.add_file("other.txt", "other content\n");
  dir.write("a.zip", changed.bytes());
  ASSERT_EQ(std::remove((dir / "b.zip").c_str()), 0);
  RunResult r = test::run_zorv({"--resolve=places"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("b.zip"), std::string::npos) << r.err;  // why it cannot be opened
  Cursor cur{r.out};
  cur.expect_header("ZORVRSLV", 0);
  std::map<std::string, std::vector<int>> statuses;  // by archive, in place order
  while (cur.at < r.out.size()) {
    std::string path = cur.take(cur.get(4));
    auto& st = statuses[path];
    if (cur.get(1) == 0) {
      st.push_back(-1);  // not opened
      continue;
    }
    for (std::uint64_t n = cur.get(4); n > 0; --n) {
      cur.take(16);  // position, CRC-32, size
      int status = static_cast<int>(cur.get(1));
      st.push_back(status);
      if (status == 1) continue;
      cur.take(12);  // compressed size, method, flags
      cur.take(cur.get(2));
      cur.take(cur.get(2));
    }
  }
  // a.zip: the first place now holds another CRC-32 (gone), the second is
  // as it was; b.zip did not open; c.zip unchanged.
  EXPECT_EQ(statuses["a.zip"], (std::vector<int>{1, 0}));
  EXPECT_EQ(statuses["b.zip"], (std::vector<int>{-1}));
  EXPECT_EQ(statuses["c.zip"], (std::vector<int>{0, 0}));
}

// -c --cache on the second pass: outcomes kept are taken while an
// archive's file is as it was (its data is not opened again), the output
// unchanged; an archive rewritten is read again.
TEST(ClusterModes, ResolveTakesWhatTheCacheKept) {
  test::TempDir dir;
  ArchiveBytes a;
  a.add_file("x.txt", "cached content\n");
  a.add_file("y.txt", "cached content\n");
  dir.write("a.zip", a.bytes());
  ASSERT_EQ(pipeline(dir, {{"a.zip"}}, 1, true, {}).status, 0);  // writes "places"
  usleep(1100 * 1000);  // a file changed within the clock's step is not kept
  auto resolve = [&dir](const std::string& trace) {
    std::vector<std::string> argv = {"/usr/bin/strace", "-f", "-qq", "-o", trace,
                                     "-e", "trace=openat", ZORV_BIN, "--resolve=places",
                                     "-c", "--cache=c.sqlite"};
    // LeakSanitizer cannot run under ptrace.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
    RunResult r = test::run_program(argv, dir.path(), 60, {{"ASAN_OPTIONS", options}});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string log = text_of(test::read_file(trace));
    int opens = 0;
    for (std::size_t at = log.find("a.zip\""); at != std::string::npos; at = log.find("a.zip\"", at + 1))
      ++opens;
    return std::make_pair(r.out, opens);
  };
  auto [cold, cold_opens] = resolve(dir / "cold.log");
  if (cold_opens == 0) GTEST_SKIP() << "strace cannot trace here";
  auto [warm, warm_opens] = resolve(dir / "warm.log");
  EXPECT_EQ(warm, cold);
  EXPECT_EQ(cold_opens, 2);  // the directory, then the data
  EXPECT_EQ(warm_opens, 1);  // the directory alone
  // Rewritten in place, one byte of data other: read again, no longer its CRC-32.
  test::Bytes bytes = test::read_file(dir / "a.zip");
  auto at = std::search(bytes.begin(), bytes.end(), std::begin("cached"), std::end("cached") - 1);
  ASSERT_NE(at, bytes.end());
  *at = 'C';
  dir.write("a.zip", bytes);
  usleep(1100 * 1000);
  auto [changed, changed_opens] = resolve(dir / "changed.log");
  EXPECT_EQ(changed_opens, 2);
  EXPECT_NE(changed, cold);
  EXPECT_NE(changed.find("damaged data"), std::string::npos);
}

// Files of the modes that are not what they should be end the run with a
// message and status 1, whatever the damage, and nothing is made of them.
// Two copies of one file in one archive, run through the pipeline: its
// files are left in `dir` for the tests below to damage.
RunResult small_pipeline(const test::TempDir& dir) {
  ArchiveBytes a;
  a.add_file("x.txt", "some content\n");
  a.add_file("y.txt", "some content\n");
  dir.write("a.zip", a.bytes());
  return pipeline(dir, {{"a.zip"}}, 1, false, {});
}

// Runs `option=bad` on `bytes`: status 1 and the message naming `what`.
void expect_refused(const test::TempDir& dir, const std::string& option, const std::string& bytes,
                    const char* what) {
  dir.write("bad", test::to_bytes(bytes));
  RunResult r = test::run_zorv({option + "=bad"}, dir.path());
  EXPECT_EQ(r.status, 1) << option << ", " << bytes.size() << " bytes";
  EXPECT_EQ(r.err.rfind(std::string("zorv: error reading the ") + what + ", ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(": bad\n"), std::string::npos) << r.err;
}

TEST(ClusterModes, DamagedFilesAreRefused) {
  test::TempDir dir;
  RunResult good = small_pipeline(dir);
  ASSERT_EQ(good.status, 0) << good.err;
  ASSERT_NE(good.out, "");
  std::string places = text_of(test::read_file(dir / "places"));
  std::string groups = text_of(test::read_file(dir / "groups"));
  auto refused = [&dir](const std::string& option, const std::string& bytes, const char* what) {
    expect_refused(dir, option, bytes, what);
  };
  for (std::size_t cut = 0; cut < places.size(); ++cut)
    refused("--resolve", places.substr(0, cut), "places");
  for (std::size_t cut = 0; cut < groups.size(); ++cut)
    refused("--print-groups", groups.substr(0, cut), "groups");
  ASSERT_EQ(pipeline(dir, {{"a.zip"}}, 1, false, {}, Grouping::Shards).out, good.out);
  std::string shard = text_of(test::read_file(dir / "groups"));
  for (std::size_t cut = 0; cut < shard.size(); ++cut)
    refused("--print-groups", shard.substr(0, cut), "groups");
  // A shard whose resolve output claims a terabyte: refused as damaged
  // after what is there, nothing taken on the claim's word.
  {
    std::size_t at = 16 + 1 + 8;  // the archive list's length, then the list
    std::size_t list = 0;
    for (int i = 0; i < 8; ++i)
      list |= std::size_t{static_cast<unsigned char>(shard[16 + 1 + i])} << (8 * i);
    std::string claim = shard.substr(0, at + list);
    le(claim, (std::uint64_t{1} << 40) - 1, 8);
    claim += shard.substr(at + list + 8, 16);  // the output's header alone
    refused("--print-groups", claim, "groups");
  }
  // A shard record whose lengths say other than its parts hold.
  std::string longer = shard;
  longer[17] = static_cast<char>(longer[17] + 1);
  refused("--print-groups", longer, "groups");
  refused("--resolve", places + "x", "places");
  refused("--print-groups", groups + "x", "groups");
  std::string v2 = places;
  v2[8] = 2;
  refused("--resolve", v2, "places");
  v2 = groups;
  v2[8] = 2;
  refused("--print-groups", v2, "groups");
  // A member of an archive the table does not hold; a group of one.
  std::string header = groups.substr(0, 16) + groups.substr(16, 4 + 5 + 8 + 1);
  std::string member = std::string("\x05\0\0\0", 4) + std::string(4 + 8 + 8 + 2 + 2 + 2 + 2, '\0');
  refused("--print-groups", header + std::string("\x01\x01\0\0\0\x02\0\0\0", 9) + member + member +
                                std::string(1, '\0'),
          "groups");
  std::string one = member;
  one[0] = 0;
  refused("--print-groups",
          header + std::string("\x01\x01\0\0\0\x01\0\0\0", 9) + one + std::string(1, '\0'), "groups");
  // A path's count past what any path may be.
  refused("--resolve", places.substr(0, 16) + std::string("\xff\xff\xff\x7f", 4), "places");

  RunResult r = test::run_zorv({"--keys=no-such-dir", "a.zip"}, dir.path());
  test::expect_run(r, 1, "",
                   "zorv: error writing the keys, No such file or directory: no-such-dir/keys.0\n");
}

// The same for --reduce's keys and --resolve's numbered places (a test of
// their own: together they outlast the suite's time limit under the
// sanitizers).
TEST(ClusterModes, DamagedKeysAndNumberedPlacesAreRefused) {
  test::TempDir dir;
  ASSERT_EQ(small_pipeline(dir).status, 0);
  auto refused = [&dir](const std::string& option, const std::string& bytes, const char* what) {
    expect_refused(dir, option, bytes, what);
  };
  std::string numbered = text_of(test::read_file(dir / "numbered"));
  for (std::size_t cut = 0; cut < numbered.size(); ++cut)
    refused("--resolve", numbered.substr(0, cut), "places");
  std::string keys = text_of(test::read_file(dir / "reduce-in"));
  for (std::size_t cut = 0; cut < keys.size(); ++cut)
    refused("--reduce", keys.substr(0, cut), "keys");
  refused("--reduce", keys + "x", "keys");
  refused("--resolve", numbered + "x", "places");
  {
    std::string v = keys;
    v[8] = 2;
    refused("--reduce", v, "keys");
    // A place in an archive past the list's; a count past the 4G rows.
    std::string past = numbered;
    past[past.size() - 20] = 9;
    refused("--resolve", past, "places");
    std::string many = keys.substr(0, 16);
    le(many, std::uint64_t{1} << 32, 8);
    refused("--reduce", many + keys.substr(24), "keys");
  }
}

// Each mode takes only the options that mean something to it.
TEST(ClusterModes, OptionsOutsideAModeAreCommandErrors) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--keys=d", "-l", "x.zip"}, "--keys does not take -l"},
      {{"--keys=d", "-c", "x.zip"}, "--keys does not take -c"},
      {{"--keys=d", "--format=jsonl", "x.zip"}, "--keys does not take --format"},
      {{"--keys=d", "--nested", "x.zip"}, "--keys does not take --nested"},
      {{"--resolve=f", "x.zip"}, "--resolve takes no paths"},
      {{"--resolve=f", "--summary"}, "--resolve does not take --summary"},
      {{"--print-groups=f", "-c"}, "--print-groups does not take -c"},
      {{"--print-groups=f", "--cache"}, "--print-groups does not take --cache"},
      {{"--resolve=f", "--cache-prune"}, "--resolve does not take --cache-prune"},
      {{"--print-groups=f", "--files-from=l"}, "--print-groups takes no paths"},
      {{"--keys=d", "--resolve=f"},
       "--keys, --reduce, --resolve and --print-groups exclude each other"},
      {{"--reduce=f", "--print-groups=g"},
       "--keys, --reduce, --resolve and --print-groups exclude each other"},
      {{"--reduce=f", "x.zip"}, "--reduce takes no paths"},
      {{"--reduce=f", "-c"}, "--reduce does not take -c"},
      {{"--reduce=f", "-l"}, "--reduce does not take -l"},
      {{"--reduce=", "x"}, "the '--reduce' option needs a file name after '='"},
      {{"--partitions=2", "x.zip"}, "--partitions goes with --keys"},
      {{"--keys=d", "--partitions=0", "x.zip"},
       "partitions must be a number from 1 to 256: '0'. Type 'zorv --help' for help"},
      {{"--keys=d", "--partitions=257", "x.zip"},
       "partitions must be a number from 1 to 256: '257'. Type 'zorv --help' for help"},
      {{"--keys=", "x.zip"}, "the '--keys' option needs a file name after '='"},
  };
  for (const auto& [args, message] : cases)
    test::expect_run(test::run_zorv(args), 1, "", "zorv: command error, " + message + "\n");
}

}  // namespace
}  // namespace zorv
