// End-to-end: the outputs for scripts and people — JSON Lines, the summary
// line, the exit status on request, the reason of a failed write — and, in
// a real terminal (tmux), the status line and names that cannot forge lines.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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
