// What the end-to-end tests share: short names for archives and report
// blocks, an exact check of a run, a fixture that runs zorv in a directory
// of its own, and a reader for the text report.
#pragma once

#include <gtest/gtest.h>

#include <compare>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/files.h"
#include "support/zip_writer.h"

namespace zorv::test {

// Short names for archive_of and report_block: cases list many of them.
ArchiveBytes archive(const std::vector<std::pair<std::string, std::uint32_t>>& entries);
std::string block(std::uint32_t crc, const std::vector<std::string>& members);

// Status, standard output and standard error, each compared exactly.
void expect_run(const RunResult& r, int status, const std::string& out, const std::string& err);

// A fresh directory for each case; zorv runs with it as the working
// directory, so paths in arguments and in the report are relative to it.
// run and put are public so that helpers outside a case can drive it.
class CliRun : public testing::Test {
 public:
  RunResult run(const std::vector<std::string>& args) const { return run_zorv(args, dir_.path()); }
  // Returns the archive's full path.
  std::string put(const std::string& rel, const ArchiveBytes& a) const {
    return dir_.write(rel, a.bytes());
  }

 protected:
  TempDir dir_;
};

// One group of a report: its CRC-32 and its members ("<archive>, <name>"),
// in the order printed.
struct Group {
  std::uint32_t crc;
  std::vector<std::string> members;
  auto operator<=>(const Group&) const = default;
};

// Failures print the group as the report would.
void PrintTo(const Group& g, std::ostream* os);

// Splits the groups of a report (everything before the first line starting
// "FileListName: ") into groups. Every line must belong to a well-formed
// group of at least two members, or the current test fails. `rest`
// receives the remainder of the output: the -l summary, or nothing.
std::vector<Group> parse_report(const std::string& out, std::string* rest = nullptr);

}  // namespace zorv::test
