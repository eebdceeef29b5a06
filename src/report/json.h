// The report as JSON Lines (--format=jsonl): one object per line, each
// with a "type" — "group" (its CRC-32 and members, with sizes and method),
// "unverified" (-c), "archive" (-l) and, last, "summary". Strings are strict
// JSON in UTF-8; a path or name that is not valid UTF-8, or holds a NUL,
// also comes as "<key>_b64" with every stored byte, so scripts can recover
// it exactly. A member's "name" is its name as text by the ZIP rule
// (zip/zip_name.h); wherever that text is not the stored bytes, "name_b64"
// carries them. An archive stored inside others (--nested) also comes as
// "archive_path": the names from the file down to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/sink.h"

namespace zorv {

class JsonSink final : public ReportSink {
 public:
  explicit JsonSink(Diag* diag = nullptr);
  ~JsonSink() override;
  JsonSink(const JsonSink&) = delete;
  JsonSink& operator=(const JsonSink&) = delete;

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
  void put(const char* text, std::size_t len);
  void text(const char* key, const char* bytes, std::size_t len);  // "key":"…"[,"key_b64":"…"]
  void name_text(const MemberName& name);  // "name":"…"[,"name_b64":"…"]
  void archive_text(const ArchiveRef& archive);  // "archive":"…"[,…][,"archive_path":[…]]
  void number(const char* key, std::uint64_t value);

  LineOut out_;  // nothing is written after it finds no memory
  bool first_member_;
  Diag* diag_;
  // The last member's archive field, escaped: reused while it is the same.
  const char* last_archive_;
  char* archive_field_;
  std::size_t archive_len_;
  std::size_t archive_cap_;
};

}  // namespace zorv
