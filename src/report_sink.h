// What a report says, as events, and the text the program prints for them.
//
// The report and the -l summary never format output: they call a sink.
// TextSink is today's text, byte for byte; another output format is another
// sink. Events come in this order: per group begin_group, one member event
// per member, end_group; then, with -l, one archive_summary per archive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {

class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void begin_group(std::uint32_t crc32) = 0;
  // A member and its stored name, up to its first NUL (name_len bytes).
  virtual void member(const char* archive, const char* name, std::size_t name_len) = 0;
  // A member whose archive could not be opened again (the reader said why).
  virtual void member_unreadable(const char* archive) = 0;
  // A member its archive no longer holds: the archive changed since it was
  // indexed. The last event of the report.
  virtual void member_unmatched(const char* archive) = 0;
  virtual void end_group() = 0;
  // Option -l: an archive's entry count, its group members, and whether
  // every entry has a copy elsewhere.
  virtual void archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                               bool whole) = 0;
  // Hands on everything said so far (text: to stdout's buffer).
  virtual void flush() = 0;
};

// The report as text: "CRC32: 0x%08x", "file: <archive>, <name>" lines,
// "-------", and the "FileListName: ..." lines of -l. Lines are assembled
// in a 1 MiB block and handed to stdout whole: a report of millions of
// lines then costs a few dozen writes.
class TextSink final : public ReportSink {
 public:
  TextSink();
  ~TextSink() override;
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  void begin_group(std::uint32_t crc32) override;
  void member(const char* archive, const char* name, std::size_t name_len) override;
  void member_unreadable(const char* archive) override;
  void member_unmatched(const char* archive) override;
  void end_group() override;
  void archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                       bool whole) override;
  void flush() override;

 private:
  void put(const char* text, std::size_t len);
  void put(const char* text);

  char* block_;
  std::size_t used_;
};

}  // namespace zorv
