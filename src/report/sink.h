// What a report says, as events, and the text the program prints for them.
//
// The report and the -l summary never format output: they call a sink.
// TextSink is today's text, byte for byte; another output format is another
// sink. Events come in this order: per group begin_group, one member event
// per member, end_group; then, with -l, one archive_summary per archive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/diag.h"

namespace zorv {

// What the printed groups hold: groups and members; per group, its members
// but one are redundant copies, and their bytes count when every member of
// the group has one size (a match by CRC-32 alone never inflates them).
struct ReportTotals {
  std::uint64_t groups;
  std::uint64_t members;
  std::uint64_t redundant_copies;
  std::uint64_t redundant_bytes;
};

// What the directory says of a member's size and coding, when the report
// read it.
struct MemberSizes {
  std::uint64_t size;  // uncompressed
  std::uint64_t compressed_size;
  std::uint16_t method;
};

class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void begin_group(std::uint32_t crc32) = 0;
  // A member and its stored name, up to its first NUL (name_len bytes);
  // `facts` (sizes, method) when the report read them, else null.
  virtual void member(const char* archive, const char* name, std::size_t name_len,
                      const MemberSizes* facts) = 0;
  // A member whose archive could not be opened again (the reader said why).
  virtual void member_unreadable(const char* archive) = 0;
  // A member its archive no longer holds: the archive changed since it was
  // indexed. The last event of the report.
  virtual void member_unmatched(const char* archive) = 0;
  virtual void end_group() = 0;
  // -c: a member whose content could not be checked, and why. Every sink
  // names it on stderr too ("warning, cannot verify <archive>, <name>:
  // <reason>", to the Diag it was made with).
  virtual void unverified(const char* archive, const char* name, std::size_t name_len,
                          const char* reason) = 0;
  // Option -l: an archive's entry count, its group members, and whether
  // every entry has a copy elsewhere.
  virtual void archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                               bool whole) = 0;
  // After everything else: what the report printed.
  virtual void summary(const ReportTotals& totals) = 0;
  // Hands on everything said so far (text: to stdout's buffer). 0, or the
  // errno of the first write that failed.
  virtual int flush() = 0;
  // Whether the sink found no memory for something it was told: it then
  // writes nothing more, and the report ends with "internal error,
  // print_report, out of memory".
  virtual bool out_of_memory() const { return false; }
};

// Says the cannot-verify line to `diag`.
void say_unverified(Diag* diag, const char* archive, const char* name, std::size_t name_len,
                    const char* reason);

// The report as text: "CRC32: 0x%08x", "file: <archive>, <name>" lines,
// "-------", the "FileListName: ..." lines of -l, and with `summary` a
// "Summary: ..." line. Lines are assembled in a 1 MiB block and handed to
// stdout whole: a report of millions of lines then costs a few dozen
// writes. With `escape` (standard output is a terminal) control bytes of
// paths and names print as \n, \t or \xHH, so a stored name can neither
// fake report lines nor drive the terminal.
class TextSink final : public ReportSink {
 public:
  explicit TextSink(bool summary = false, bool escape = false, Diag* diag = nullptr);
  ~TextSink() override;
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  void begin_group(std::uint32_t crc32) override;
  void member(const char* archive, const char* name, std::size_t name_len,
              const MemberSizes* facts) override;
  void member_unreadable(const char* archive) override;
  void member_unmatched(const char* archive) override;
  void end_group() override;
  void unverified(const char* archive, const char* name, std::size_t name_len,
                  const char* reason) override;
  void archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                       bool whole) override;
  void summary(const ReportTotals& totals) override;
  int flush() override;

 private:
  void put(const char* text, std::size_t len);
  void put(const char* text);
  void put_shown(const char* text, std::size_t len);  // escaped when escape_

  char* block_;
  std::size_t used_;
  bool summary_;
  bool escape_;
  Diag* diag_;
  int error_;  // errno of the first failed write
};

// True when bytes [0, len) hold a control byte (0x00-0x1f, 0x7f).
bool has_control(const char* text, std::size_t len);

// Writes to stdout; *error keeps the errno of the first write that failed.
void write_out(const char* text, std::size_t len, int* error);

}  // namespace zorv
