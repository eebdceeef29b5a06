#include "support/cli.h"

#include <cstdio>
#include <istream>
#include <optional>
#include <sstream>
#include <utility>

namespace zorv::test {

ArchiveBytes archive(const std::vector<std::pair<std::string, std::uint32_t>>& entries) {
  return archive_of(entries);
}

std::string block(std::uint32_t crc, const std::vector<std::string>& members) {
  return report_block(crc, members);
}

void expect_run(const RunResult& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

void PrintTo(const Group& g, std::ostream* os) {
  *os << "\n" << report_block(g.crc, g.members);
}

namespace {

// The CRC-32 of a group's first line, if the line is exactly what the
// report prints there: lowercase, eight digits, nothing around them.
std::optional<std::uint32_t> crc_line(const std::string& line) {
  unsigned crc = 0;
  if (std::sscanf(line.c_str(), "CRC32: 0x%8x", &crc) != 1) return std::nullopt;
  char printed[32];
  std::snprintf(printed, sizeof printed, "CRC32: 0x%08x", crc);
  if (line != printed) return std::nullopt;
  return crc;
}

// Where the summary starts: at a line's start, so that a member name
// holding the words cannot end the groups early.
std::size_t summary_start(const std::string& out) {
  const std::string mark = "FileListName: ";
  if (out.rfind(mark, 0) == 0) return 0;
  std::size_t at = out.find("\n" + mark);
  return at == std::string::npos ? out.size() : at + 1;
}

// Reads a group's member lines up to its separator, the CRC32 line already
// read; false (the test has failed) on a stray line or a report that ends
// inside the group.
bool read_members(std::istream& in, Group& g) {
  std::string line;
  while (std::getline(in, line)) {
    if (line == "-------") {
      EXPECT_GE(g.members.size(), 2u) << block(g.crc, g.members);
      return true;
    }
    if (line.rfind("file: ", 0) != 0) {
      ADD_FAILURE() << "expected a member line, got: " << line;
      return false;
    }
    g.members.push_back(line.substr(6));
  }
  ADD_FAILURE() << "report ends inside a group";
  return false;
}

}  // namespace

std::vector<Group> parse_report(const std::string& out, std::string* rest) {
  std::vector<Group> groups;
  std::size_t end = summary_start(out);
  if (rest != nullptr) *rest = out.substr(end);
  EXPECT_TRUE(end == 0 || out[end - 1] == '\n') << "groups end inside a line";
  std::istringstream in(out.substr(0, end));
  std::string line;
  while (std::getline(in, line)) {
    std::optional<std::uint32_t> crc = crc_line(line);
    if (!crc) {
      ADD_FAILURE() << "expected a CRC32 line, got: " << line;
      break;
    }
    Group g{*crc, {}};
    if (!read_members(in, g)) break;
    groups.push_back(std::move(g));
  }
  return groups;
}

}  // namespace zorv::test
