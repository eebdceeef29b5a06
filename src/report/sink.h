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

// A member's name: the bytes its directory stores (`len` of them) and, when
// the report was asked for names as text and the name as text is not those
// bytes (zip/zip_name.h: a CP437 name with bytes of 0x80 or more, or a
// Unicode Path extra block), that text in UTF-8; else `utf8` is null.
struct MemberName {
  const char* bytes;
  std::size_t len;
  const char* utf8;
  std::size_t utf8_len;
};

// An archive as the report names it: its path and, for one stored inside
// others (--nested), how many archives it lies in and where each of their
// names ends in the path (the "!/" after it stands there).
struct ArchiveRef {
  ArchiveRef(const char* p) : path(p) {}  // a file's
  ArchiveRef(const char* p, const std::uint32_t* c, std::uint32_t d) : path(p), cuts(c), depth(d) {}
  const char* path;
  const std::uint32_t* cuts = nullptr;
  std::uint32_t depth = 0;
};

class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void begin_group(std::uint32_t crc32) = 0;
  // A member and its name (stored bytes up to the first NUL unless the
  // report keeps full names); `facts` (sizes, method) when the report read
  // them, else null.
  virtual void member(const ArchiveRef& archive, const MemberName& name, const MemberSizes* facts) = 0;
  // A member whose archive could not be opened again (the reader said why).
  virtual void member_unreadable(const ArchiveRef& archive) = 0;
  // A member its archive no longer holds: the archive changed since it was
  // indexed. The last event of the report.
  virtual void member_unmatched(const char* archive) = 0;
  virtual void end_group() = 0;
  // -c: a member whose content could not be checked, and why. Every sink
  // names it on stderr too ("warning, cannot verify <archive>, <name>:
  // <reason>", to the Diag it was made with).
  virtual void unverified(const ArchiveRef& archive, const MemberName& name, const char* reason) = 0;
  // Option -l: an archive's entry count, its group members, and whether
  // every entry has a copy elsewhere.
  virtual void archive_summary(const ArchiveRef& path, std::uint64_t total, std::uint64_t found,
                               bool whole) = 0;
  // After everything else: what the report printed.
  virtual void summary(const ReportTotals& totals) = 0;
  // Writes every whole line said so far to standard output (a LineOut). 0,
  // or the errno of the first write that failed.
  virtual int flush() = 0;
  // Whether the sink found no memory for something it was told: it then
  // writes nothing more, and the report ends with "internal error,
  // print_report, out of memory".
  virtual bool out_of_memory() const { return false; }
};

// Says the cannot-verify line to `diag`.
void say_unverified(Diag* diag, const char* archive, const char* name, std::size_t name_len,
                    const char* reason);

// Standard output, in whole lines only. Text is assembled in a block of
// 1 MiB (grown while a line under way does not fit) and written straight to
// the descriptor up to the block's last newline; the line under way waits
// in the block for its end. So a run cut short (an error, a signal) leaves
// no line cut short on standard output: a line is written whole or not at
// all. After a write fails nothing more is written; the owner reports it.
class LineOut {
 public:
  LineOut();
  ~LineOut();  // writes nothing: the owner flushes first
  LineOut(const LineOut&) = delete;
  LineOut& operator=(const LineOut&) = delete;

  // Where to write `need` bytes; null when there is no memory for them
  // (then no_memory() holds and nothing more is written, nor flushed).
  char* room(std::size_t need);
  // They were written up to `end` (from the last room()).
  void done(char* end) { used_ = static_cast<std::size_t>(end - block_); }
  void put(const char* text, std::size_t len);
  // Writes every whole line held. 0, or the errno of the first write that
  // failed.
  int flush();
  bool no_memory() const { return no_memory_; }
  // The owner found no memory for what it was told: as when room() fails.
  void out_of_memory() { no_memory_ = true; }

 private:
  char* block_;
  std::size_t used_;
  std::size_t cap_;
  int error_;
  bool no_memory_;
};

// For the run's signal handlers, and safe to call in one: while standard
// output is in the middle of a write, keeps `sig` and returns true; the
// write then goes on to the end of the line under way (not further), and
// `sig` is raised again once the writer has stopped, when the handler ends
// the run. False (end the run now) when no write is under way, or when a
// signal is already kept: a second one does not wait.
bool out_defer_signal(int sig);

// The report as text: "CRC32: 0x%08x", "file: <archive>, <name>" lines,
// "-------", the "FileListName: ..." lines of -l, and with `summary` a
// "Summary: ..." line, written through a LineOut: a report of millions of
// lines costs a few dozen writes. With `escape` (standard output is a
// terminal) control bytes of paths and names print as show_controls shows
// them, so a stored name can neither fake report lines nor drive the
// terminal.
class TextSink final : public ReportSink {
 public:
  explicit TextSink(bool summary = false, bool escape = false, Diag* diag = nullptr);
  ~TextSink() override;
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  void begin_group(std::uint32_t crc32) override;
  void member(const ArchiveRef& archive, const MemberName& name, const MemberSizes* facts) override;
  void member_unreadable(const ArchiveRef& archive) override;
  void member_unmatched(const char* archive) override;
  void end_group() override;
  void unverified(const ArchiveRef& archive, const MemberName& name, const char* reason) override;
  void archive_summary(const ArchiveRef& path, std::uint64_t total, std::uint64_t found,
                       bool whole) override;
  void summary(const ReportTotals& totals) override;
  int flush() override;
  bool out_of_memory() const override { return out_.no_memory(); }

 private:
  void put(const char* text, std::size_t len) { out_.put(text, len); }
  void put(const char* text);
  void put_shown(const char* text, std::size_t len);  // escaped when escape_

  LineOut out_;
  bool summary_;
  bool escape_;
  Diag* diag_;
};

}  // namespace zorv
