// End-to-end: the outputs for scripts and people — JSON Lines, the summary
// line, the exit status on request, the reason of a failed write — and, in
// a real terminal (tmux), the status line and names that cannot forge lines.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/cli.h"
#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv {
namespace {

using test::ArchiveBytes;
using test::block;
using test::expect_run;
using test::RunResult;

class Format : public test::CliRun {
 protected:
  // zorv's text and JSON Lines for `args`, checked against each other and
  // the archives by the Python checker; returns the JSON.
  std::string both(const std::vector<std::string>& args) {
    std::vector<std::string> json_args = {"--format=jsonl"};
    json_args.insert(json_args.end(), args.begin(), args.end());
    RunResult text = run(args);
    RunResult json = run(json_args);
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.err, text.err);
    dir_.write("out.txt", test::to_bytes(text.out));
    dir_.write("out.jsonl", test::to_bytes(json.out));
    RunResult check = test::run_program(
        {"/usr/bin/python3", std::string(ZORV_TEST_SUPPORT_DIR) + "/check_jsonl.py", "out.jsonl",
         "out.txt"},
        dir_.path(), 60);
    EXPECT_EQ(check.status, 0) << check.err << "\n" << json.out;
    return json.out;
  }
};

// Names JSON cannot hold as they are come back byte for byte in base64;
// the rest is strict JSON with the same groups as the text.
TEST_F(Format, JsonNamesRoundTripExactly) {
  const std::vector<std::string> names = {
      "a\"b\\c", "\x1f", "\xff\n", "\xc0\xaf", std::string("with\0nul", 8), "\xc3\xa9\xe2\x82\xac"};
  ArchiveBytes a;
  ArchiveBytes b;
  for (std::size_t i = 0; i < names.size(); ++i) {
    a.add(names[i], 0x100u + static_cast<std::uint32_t>(i)).uncompressed_size = 5;
    b.add("copy", 0x100u + static_cast<std::uint32_t>(i)).uncompressed_size = 5;
  }
  put("a.zip", a);
  put("b\x01.zip", b);  // a path with a control byte: escaped in JSON
  std::string json = both({"a.zip", "b\x01.zip"});
  EXPECT_NE(json.find("\"name\":\"a\\\"b\\\\c\""), std::string::npos);
  EXPECT_NE(json.find("\"name\":\"\\u001f\""), std::string::npos);
  EXPECT_NE(json.find("\"archive\":\"b\\u0001.zip\""), std::string::npos);
  EXPECT_NE(json.find("\"name_b64\":\"d2l0aABudWw=\""), std::string::npos);  // "with\0nul"
  EXPECT_NE(json.find("\"name_b64\":\"wK8=\""), std::string::npos);          // overlong C0 AF
  EXPECT_NE(json.find("\"size\":5,\"csize\":0,\"method\":0"), std::string::npos);
}

// Python's ZipInfo.filename for every member of a.zip that has no Unicode
// Path block, against zorv's "name"; members are matched by their stored
// bytes ("name_b64", else the UTF-8 of "name"). Python 3.11 ignores that
// block (it reads such names as CP437), so the test checks those names
// against the UTF-8 name the block holds instead.
const char PYTHON_NAMES[] = R"(
import base64, json, sys, zipfile
want = {}
for info in zipfile.ZipFile(sys.argv[2]).infolist():
    if info.extra[:2] == b"up":  # 0x7075, little-endian
        continue
    raw = info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
    want[raw] = info.filename
seen = 0
for line in open(sys.argv[1], encoding="utf-8"):
    obj = json.loads(line)
    for m in obj["members"] if obj["type"] == "group" else []:
        if m["archive"] != sys.argv[2]:
            continue
        raw = base64.b64decode(m["name_b64"]) if "name_b64" in m else m["name"].encode()
        if raw in want:
            seen += 1
            if m["name"] != want[raw]:
                sys.exit("%r: zorv %r, Python %r" % (raw, m["name"], want[raw]))
if seen != len(want):
    sys.exit("%d of %d names compared" % (seen, len(want)))
print(seen)
)";

// A Unicode Path extra block for `stored` naming it `utf8`; `crc` replaces
// the stored name's CRC-32 when given (a stale block).
test::Bytes unicode_path(const std::string& stored, const std::string& utf8,
                         std::optional<std::uint32_t> crc = std::nullopt) {
  test::Bytes data{1};
  test::put_u32(data, crc.value_or(test::crc32_of(stored)));
  data.insert(data.end(), utf8.begin(), utf8.end());
  return test::extra_block(0x7075, data);
}

// "name" is the name as text: UTF-8 under bit 11, else a Unicode Path block
// that matches, else CP437; "name_b64" has the stored bytes wherever they
// are not that text. The text report keeps the stored bytes.
TEST_F(Format, JsonNamesFollowTheZipNameRule) {
  std::string all_high;
  for (int b = 0x80; b <= 0xff; ++b)
    all_high += static_cast<char>(b);
  struct Named {
    std::string stored;
    std::uint16_t flags;
    test::Bytes extra;
  };
  const std::vector<Named> entries = {
      {"caf\x82.txt", 0, {}},                                           // CP437
      {"\xe6\x97\xa5.txt", 0x0800, {}},                                 // UTF-8, bit 11
      {"plain.txt", 0, {}},                                             // ASCII
      {all_high, 0, {}},                                                // every high CP437 byte
      {"x\x82.txt", 0, unicode_path("x\x82.txt", "\xe6\x9c\xac.txt")},  // block matches
      {"ascii.txt", 0, unicode_path("ascii.txt", "\xc3\xbc.txt")},      // renames ASCII too
      {"y\x82", 0, unicode_path("y\x82", "stale", 0x1234u)},            // stale block: CP437
  };
  ArchiveBytes a;
  ArchiveBytes b;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto& h = a.add(entries[i].stored, 0x200u + static_cast<std::uint32_t>(i));
    h.flags = entries[i].flags;
    h.set_extra(entries[i].extra);
    b.add("copy", 0x200u + static_cast<std::uint32_t>(i));
  }
  // Bit 11 comes first, even over a block, and even when the bytes are not
  // UTF-8 (Python refuses such an archive: it is kept apart).
  ArchiveBytes c;
  c.add("z\x82", 0x300u).set_extra(unicode_path("z\x82", "ignored")).flags = 0x0800;
  b.add("copy", 0x300u);
  put("a.zip", a);
  put("b.zip", b);
  put("c.zip", c);
  std::string json = both({"a.zip", "b.zip", "c.zip"});
  auto has = [&json](const std::string& field) {
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  };
  has("\"name\":\"caf\xc3\xa9.txt\",\"name_b64\":\"Y2Fmgi50eHQ=\",");
  has("\"name\":\"\xe6\x97\xa5.txt\",\"size\"");
  has("\"name\":\"plain.txt\",\"size\"");
  has("\"name\":\"\xe6\x9c\xac.txt\",\"name_b64\":\"eIIudHh0\",");
  has("\"name\":\"\xc3\xbc.txt\",\"name_b64\":\"YXNjaWkudHh0\",");
  has("\"name\":\"y\xc3\xa9\",\"name_b64\":\"eYI=\",");
  has("\"name\":\"z\xef\xbf\xbd\",\"name_b64\":\"eoI=\",");  // not UTF-8: U+FFFD, as before
  EXPECT_EQ(json.find("\"name\":\"stale\""), std::string::npos);
  EXPECT_EQ(json.find("\"name\":\"ignored\""), std::string::npos);
  RunResult python = test::run_program(
      {"/usr/bin/python3", "-c", PYTHON_NAMES, "out.jsonl", "a.zip"}, dir_.path(), 60);
  EXPECT_EQ(python.status, 0) << python.err;
  EXPECT_EQ(python.out, "4\n");  // all but the three with a block
  // The text report prints the stored bytes as they are.
  RunResult text = run({"a.zip", "b.zip"});
  EXPECT_NE(text.out.find("file: a.zip, caf\x82.txt\n"), std::string::npos);
  EXPECT_NE(text.out.find("file: a.zip, x\x82.txt\n"), std::string::npos);
  EXPECT_NE(text.out.find("file: a.zip, " + all_high + "\n"), std::string::npos);
}

// -c: a member that cannot be checked is named by the same rule.
TEST_F(Format, UnverifiedRecordsNameMembersAsText) {
  std::string data(100, 'u');
  ArchiveBytes a;
  a.add_file("ok", data);
  ArchiveBytes b;
  b.add_file("\x82locked", data).flags = 1;  // encrypted
  put("a.zip", a);
  put("b.zip", b);
  RunResult r = run({"--format=jsonl", "-c", "a.zip", "b.zip"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("{\"type\":\"unverified\",\"archive\":\"b.zip\",\"name\":\"\xc3\xa9locked\","
                       "\"name_b64\":\"gmxvY2tlZA==\",\"reason\":\"encrypted\"}\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "zorv: warning, cannot verify b.zip, \x82locked: encrypted\n");  // stored bytes
}

TEST_F(Format, JsonAndTextAgreeOnCollectionsAndOptions) {
  for (int a = 0; a < 6; ++a) {
    ArchiveBytes bytes;
    for (int e = 0; e < 30; ++e) {
      bytes.add("d" + std::to_string(e % 4) + "/f" + std::to_string(e), 1 + (a * 7 + e * 3) % 25)
          .uncompressed_size = static_cast<std::uint32_t>(e % 3);
    }
    put("c" + std::to_string(a) + ".zip", bytes);
  }
  std::vector<std::string> paths;
  for (int a = 0; a < 6; ++a)
    paths.push_back("c" + std::to_string(a) + ".zip");
  for (std::vector<std::string> opts : {std::vector<std::string>{}, {"-l"}, {"-s", "-l"}}) {
    opts.insert(opts.end(), paths.begin(), paths.end());
    both(opts);
  }
}

// Totals: redundant bytes only over groups whose members agree on size.
TEST_F(Format, SummaryLineAndExitStatus) {
  auto sized = [](std::uint32_t crc, std::uint32_t size) {
    ArchiveBytes a = test::archive({{"x", crc}});
    a.headers[0].uncompressed_size = size;
    return a;
  };
  put("a.zip", sized(1, 10));
  put("b.zip", sized(1, 10));
  put("c.zip", sized(1, 10));
  put("d.zip", sized(2, 5));
  put("e.zip", sized(2, 6));  // a CRC-32 match of other sizes: no bytes
  std::vector<std::string> all = {"--summary", "a.zip", "b.zip", "c.zip", "d.zip", "e.zip"};
  RunResult r = run(all);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.rfind("Summary: ")),
            "Summary: 2 groups, 5 members, 3 redundant copies, 20 bytes in redundant copies\n");
  all.insert(all.begin(), "--exit-status");
  EXPECT_EQ(run(all).status, 2);
  expect_run(run({"--exit-status", "--summary", "a.zip", "d.zip"}), 0,
             "Summary: 0 groups, 0 members, 0 redundant copies, 0 bytes in redundant copies\n", "");
  std::string json = run({"--format=jsonl", "a.zip", "b.zip", "c.zip", "d.zip", "e.zip"}).out;
  EXPECT_EQ(json.substr(json.rfind("{\"type\":\"summary\"")),
            "{\"type\":\"summary\",\"groups\":2,\"members\":5,\"redundant_copies\":3,"
            "\"redundant_bytes\":20}\n");
  EXPECT_EQ(run({"--exit-status", "-x", "a.zip"}).status, 1);
}

// A report over 1 MiB that cannot be written says why.
TEST_F(Format, FailedWriteGivesItsReason) {
  ArchiveBytes big;
  for (int e = 0; e < 20000; ++e)
    big.add("a-name-long-enough-to-fill-the-report-quickly-" + std::to_string(e), 1 + e);
  put("a.zip", big);
  put("b.zip", big);
  std::string command = "cd '" + dir_.path() + "' && '" + ZORV_BIN + "' a.zip b.zip > /dev/full";
  RunResult r = test::run_program({"/bin/sh", "-c", command}, "", 60);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zorv: error writing standard output: No space left on device\n");
}

// Forced onto a file, the status line is plain lines; by default it is
// never written where standard error is not a terminal.
TEST_F(Format, ProgressOnlyWhereAsked) {
  put("a.zip", test::archive({{"x", 3}, {"y", 4}}));
  put("b.zip", test::archive({{"z", 3}}));
  RunResult quiet = run({"a.zip", "b.zip"});
  EXPECT_EQ(quiet.err, "");
  RunResult forced = run({"--progress=always", "a.zip", "b.zip"});
  EXPECT_EQ(forced.out, quiet.out);
  EXPECT_NE(forced.err.find("zorv: 2 archives, 3 entries, 1 groups, "), std::string::npos)
      << forced.err;
  EXPECT_EQ(run({"--progress=never", "a.zip", "b.zip"}).err, "");
}

// Two archives with 20,000 pairs between them: a report of about 1.3 MB,
// more than a pipe holds.
void put_big_pair(const test::CliRun& t) {
  ArchiveBytes a;
  ArchiveBytes b;
  for (int e = 0; e < 20000; ++e) {
    a.add("a-name-long-enough-to-fill-the-pipe-" + std::to_string(e), 1 + e);
    b.add("b-" + std::to_string(e), 1 + e);
  }
  t.put("a.zip", a);
  t.put("b.zip", b);
}

// SIGTERM while the report waits on a full pipe, at several points of it:
// what reached the pipe is whole lines of the report, and the signal still
// ends the run.
TEST_F(Format, SignalDuringTheReportLeavesWholeLines) {
  put_big_pair(*this);
  for (const char* format : {"--format=text", "--format=jsonl"}) {
    RunResult whole = run({format, "a.zip", "b.zip"});
    ASSERT_EQ(whole.status, 0);
    for (std::size_t read_first : {1u, 20000u, 70001u, 300007u}) {
      test::Child child({format, "a.zip", "b.zip"}, dir_.path(), {});
      child.read_out(read_first);
      child.signal(SIGTERM);
      EXPECT_EQ(child.finish(), 128 + SIGTERM) << format << " " << read_first;
      const std::string& out = child.out();
      ASSERT_GE(out.size(), read_first) << format;
      EXPECT_EQ(out.back(), '\n') << format << " " << read_first << ": ends inside a line";
      EXPECT_EQ(whole.out.compare(0, out.size(), out), 0) << format << " " << read_first;
    }
  }
}

// An archive rewritten after indexing and before the report reads it again
// (the run waits on its full standard error meanwhile): the run ends with
// its internal error, and standard output holds whole lines only. The
// group line JSON had begun is not written at all.
TEST_F(Format, ArchiveChangedBeforeTheReportLeavesWholeLines) {
  for (bool jsonl : {false, true}) {
    put("a.zip", test::archive({{"x", 1}, {"y", 1}}));
    std::vector<std::string> args = {"--progress=always", "a.zip"};
    if (jsonl) args.insert(args.begin(), "--format=jsonl");
    test::Child child(args, dir_.path(), {.err_full = true});
    // It waits to write the status line that follows a.zip's indexing.
    ASSERT_TRUE(child.wait_writing());
    put("a.zip", test::archive({{"x", 1}, {"y", 2}}));  // y no longer has CRC-32 1
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.out(), jsonl ? "" : "CRC32: 0x00000001\nfile: a.zip, x\n");
    EXPECT_TRUE(
        child.err().ends_with("zorv: internal error, unable to match cd_pos & crc32: a.zip\n"))
        << child.err().substr(child.err().find_first_not_of('f'));
  }
}

// Messages carry stored names and paths: on a terminal each line shows
// their control bytes escaped, as the report does; elsewhere the bytes are
// left as they are. One line said at once (the checker's), one kept from
// the read-ahead and handed on (the reader's).
TEST_F(Format, MessagesOnATerminalShowNamesEscaped) {
  ArchiveBytes a;
  a.add("evil\x1b]0;owned\x07\x1b[2J", 9).uncompressed_size = 5;  // no data behind it
  put("a.zip", a);
  ArchiveBytes b;
  b.add("plain", 9).uncompressed_size = 5;
  put("b.zip", b);
  const std::string odd = "odd\x1b[31m\t.zip";
  dir_.write(odd, test::to_bytes("not an archive"));
  const std::vector<std::string> args = {"-c", "--progress=never", odd, "a.zip", "b.zip"};
  auto said = [](const std::string& bad, const std::string& name) {
    return "zorv: error reading ECD (End of Central Directory): " + bad +
           "\nzorv: warning, cannot verify a.zip, " + name +
           ": damaged data\nzorv: warning, cannot verify b.zip, plain: damaged data\n";
  };
  test::Child tty(args, dir_.path(), {.terminal = true});
  EXPECT_EQ(tty.finish(), 0);
  std::string shown = tty.err();
  for (std::size_t at; (at = shown.find("\r\n")) != std::string::npos;)
    shown.erase(at, 1);  // the terminal's own line ends
  EXPECT_EQ(shown, said("odd\\x1b[31m\\t.zip", "evil\\x1b]0;owned\\x07\\x1b[2J"));
  RunResult piped = run(args);
  EXPECT_EQ(piped.err, said(odd, "evil\x1b]0;owned\x07\x1b[2J"));
}

// An archive of one stored member of 2^30 zero bytes, sparse on disk:
// checking it takes a second or so.
void put_zeros(const std::string& path, const std::string& name) {
  constexpr std::uint32_t kSize = std::uint32_t{1} << 30;
  constexpr std::uint32_t kCrc = 0x5b64c2b0;  // of 2^30 zero bytes
  ArchiveBytes a;
  a.add_file(name, "", 0, test::Bytes{}, [](test::LocalHeader& h) {
     h.crc32 = kCrc;
     h.compressed_size = h.uncompressed_size = kSize;
   }).crc32 = kCrc;
  a.headers.back().compressed_size = a.headers.back().uncompressed_size = kSize;
  ASSERT_TRUE(test::write_sparse(path, a, kSize));
}

// -c's status lines, forced onto a pipe: while the data is checked the
// line is redrawn as often as ever, the groups found stay counted, and the
// bytes checked and to check never go back.
TEST_F(Format, ProgressWhileCheckingKeepsItsRateAndItsCounts) {
  put_zeros(dir_ / "a.zip", "one");
  put_zeros(dir_ / "b.zip", "two");
  RunResult r = run({"-c", "--progress=always", "a.zip", "b.zip"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.err);
  int after_indexing = 0;
  double done_before = 0;
  double total_before = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("zorv: 2 archives, 2 entries, ", 0) != 0) continue;
    ++after_indexing;
    EXPECT_NE(line.find(" 1 groups, "), std::string::npos) << line;
    double done = 0;
    double total = 0;
    std::size_t at = line.find(", checked ");
    if (at == std::string::npos) continue;
    char done_unit[3] = {};
    char total_unit[3] = {};
    ASSERT_EQ(std::sscanf(line.c_str() + at, ", checked %lf %2s of %lf %2s", &done, done_unit,
                          &total, total_unit),
              4)
        << line;
    // In GB, whatever unit the line chose (it starts at "0 B").
    auto in_gb = [](double v, const std::string& unit) {
      return unit == "GB" ? v : unit == "MB" ? v / 1e3 : unit == "KB" ? v / 1e6 : v / 1e9;
    };
    done = in_gb(done, done_unit);
    total = in_gb(total, total_unit);
    EXPECT_GE(done, done_before) << line;
    EXPECT_GE(total, total_before) << line;
    done_before = done;
    total_before = total;
  }
  EXPECT_GE(done_before, 2.1);  // both members, 1.07 GB each
  // At least a second of checking: the last line of indexing and then
  // one every quarter of a second.
  EXPECT_GE(after_indexing, 4) << r.err;
}

// Runs `command` (in the test's directory) in a tmux pane of 120 x 30 and
// returns what the screen shows when it is done and every byte the pane
// received.
std::pair<std::string, std::string> in_terminal(const std::string& dir,
                                                const std::string& command) {
  std::string session = "zorv-test-" + std::to_string(getpid());
  std::string raw = dir + "/raw.txt";
  std::string script = "cd '" + dir + "' && " + command + "; echo DONE; sleep 30";
  auto tmux = [&](const std::vector<std::string>& words) {
    std::vector<std::string> argv = {"/usr/bin/tmux", "-L", session};
    argv.insert(argv.end(), words.begin(), words.end());
    return test::run_program(argv, "", 30);
  };
  // The server it starts must not hold the test's pipes open.
  std::string start = "/usr/bin/tmux -L " + session +
                      " new-session -d -x 120 -y 30 'sleep 60' </dev/null >/dev/null 2>&1";
  EXPECT_EQ(std::system(start.c_str()), 0);
  EXPECT_EQ(tmux({"pipe-pane", "-o", "cat >> '" + raw + "'"}).status, 0);
  tmux({"respawn-pane", "-k", script});  // the pipe stays with the pane
  std::string screen;
  for (int i = 0; i < 200 && screen.find("DONE") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    screen = tmux({"capture-pane", "-p"}).out;
  }
  tmux({"kill-server"});
  test::Bytes bytes = test::read_file(raw);
  return {screen, std::string(bytes.begin(), bytes.end())};
}

// In a real terminal: the status line is drawn (on the last row, below a
// scrolling region) and gone afterwards, and a stored newline or escape
// in a name cannot fake report lines or reach the terminal.
TEST_F(Format, TerminalShowsStatusLineThenNothingAndEscapesNames) {
  if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
  for (int a = 0; a < 40; ++a)
    put("t" + std::to_string(a) + ".zip", test::archive({{"n" + std::to_string(a), 9}}));
  put("evil.zip", test::archive({{"x\nfile: fake.zip, forged\n\x1b[2J", 9}}));
  auto [screen, drawn] = in_terminal(dir_.path(), "'" + std::string(ZORV_BIN) + "' .");
  ASSERT_NE(screen.find("DONE"), std::string::npos) << screen;
  EXPECT_NE(screen.find("file: ./evil.zip, x\\nfile: fake.zip, forged\\n\\x1b[2J"),
            std::string::npos)
      << screen;
  EXPECT_EQ(screen.find("\nfile: fake.zip"), std::string::npos) << screen;  // no forged line
  EXPECT_EQ(screen.find("archives,"), std::string::npos) << screen;         // the line is gone
  EXPECT_NE(drawn.find("\x1b[30;1H\x1b[2Kzorv: "), std::string::npos) << "never drawn";
  EXPECT_NE(drawn.find("\x1b[r"), std::string::npos) << "the region was not given back";
}

// A run that a closed pipe ends (zorv ... | head) gives the terminal back.
TEST_F(Format, ClosedPipeGivesTheTerminalBack) {
  if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
  ArchiveBytes big;
  for (int e = 0; e < 20000; ++e)
    big.add("a-name-long-enough-to-fill-the-pipe-" + std::to_string(e), 1 + e);
  put("a.zip", big);
  put("b.zip", big);
  auto [screen, drawn] =
      in_terminal(dir_.path(), "'" + std::string(ZORV_BIN) +
                                   "' a.zip b.zip | head -1; echo STATUS ${PIPESTATUS[0]}");
  ASSERT_NE(screen.find("DONE"), std::string::npos) << screen;
  ASSERT_NE(drawn.find("\x1b[1;29r"), std::string::npos) << "no region was set";
  EXPECT_NE(drawn.find("\x1b[r", drawn.find("\x1b[1;29r")), std::string::npos)
      << "the region was not given back";
}

}  // namespace
}  // namespace zorv
