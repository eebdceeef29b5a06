#include "report/sink.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

}  // namespace

void write_out(const char* text, std::size_t len, int* error) {
  errno = 0;
  if (fwrite_unlocked(text, 1, len, stdout) != len && *error == 0)
    *error = errno != 0 ? errno : EIO;
}

bool has_control(const char* text, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Without a block (no memory for it) every piece goes to stdio directly:
// slower, the same bytes.
TextSink::TextSink(bool summary, bool escape, Diag* diag)
    : block_(static_cast<char*>(std::malloc(BLOCK))),
      used_(0),
      summary_(summary),
      escape_(escape),
      diag_(diag),
      error_(0) {}

TextSink::~TextSink() {
  flush();
  std::free(block_);
}

int TextSink::flush() {
  if (used_ > 0) write_out(block_, used_, &error_);
  used_ = 0;
  return error_;
}

void TextSink::put(const char* text, std::size_t len) {
  if (block_ == nullptr || len > BLOCK - used_) {
    flush();
    if (block_ == nullptr || len > BLOCK) {
      write_out(text, len, &error_);
      return;
    }
  }
  std::memcpy(block_ + used_, text, len);
  used_ += len;
}

void TextSink::put(const char* text) {
  put_shown(text, std::strlen(text));
}

// As GNU ls shows names on a terminal: \n, \t, \xHH for other controls.
void TextSink::put_shown(const char* text, std::size_t len) {
  if (!escape_ || !has_control(text, len)) {
    put(text, len);
    return;
  }
  for (std::size_t i = 0; i < len; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7f) {
      put(text + i, 1);
    } else if (c == '\n') {
      put("\\n", 2);
    } else if (c == '\t') {
      put("\\t", 2);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      put(hex, 4);
    }
  }
}

void TextSink::begin_group(std::uint32_t crc32) {
  static const char hex[] = "0123456789abcdef";
  char line[] = "CRC32: 0x00000000\n";
  constexpr std::size_t len = sizeof line - 1;
  char* p = line;
  if (block_ != nullptr && len <= BLOCK - used_) p = block_ + used_;  // the usual case
  std::memcpy(p, "CRC32: 0x", 9);
  for (int i = 0; i < 8; ++i)
    p[9 + i] = hex[(crc32 >> (28 - 4 * i)) & 0xf];
  p[17] = '\n';
  if (p == line) {
    put(line, len);
  } else {
    used_ += len;
  }
}

// The line most reports are made of, assembled with one test for room.
void TextSink::member(const char* archive, const char* name, std::size_t name_len,
                      const MemberSizes*) {
  std::size_t archive_len = std::strlen(archive);
  std::size_t need = 6 + archive_len + 2 + name_len + 1;
  bool plain = !escape_ || (!has_control(archive, archive_len) && !has_control(name, name_len));
  if (!plain || block_ == nullptr || need > BLOCK - used_) {
    if (plain) flush();
    if (!plain || block_ == nullptr || need > BLOCK) {
      put("file: ", 6);
      put_shown(archive, archive_len);
      put(", ", 2);
      put_shown(name, name_len);
      put("\n", 1);
      return;
    }
  }
  char* p = block_ + used_;
  std::memcpy(p, "file: ", 6);
  std::memcpy(p + 6, archive, archive_len);
  p += 6 + archive_len;
  std::memcpy(p, ", ", 2);
  std::memcpy(p + 2, name, name_len);
  p[2 + name_len] = '\n';
  used_ += need;
}

void TextSink::member_unreadable(const char* archive) {
  put("file: ", 6);
  put(archive);
  put(", openzip failed on: ");
  put(archive);
  put("\n", 1);
}

// Nothing of the member's line: a script must never read a line cut short
// as a member with an empty name. The run ends with a message naming the
// archive.
void TextSink::member_unmatched(const char*) {
  flush();
}

void say_unverified(Diag* diag, const char* archive, const char* name, std::size_t name_len,
                    const char* reason) {
  say(diag, "warning, cannot verify %s, %.*s: %s", archive, static_cast<int>(name_len), name,
      reason);
}

// On standard error only: the report's lines stay what they were.
void TextSink::unverified(const char* archive, const char* name, std::size_t name_len,
                          const char* reason) {
  say_unverified(diag_, archive, name, name_len, reason);
}

void TextSink::end_group() {
  if (block_ != nullptr && 8 <= BLOCK - used_) {
    std::memcpy(block_ + used_, "-------\n", 8);
    used_ += 8;
    return;
  }
  put("-------\n", 8);
}

void TextSink::archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                               bool whole) {
  char counts[64];
  int len = std::snprintf(counts, sizeof counts, " (Tot %" PRIu64 ", Found %" PRIu64 ") %s\n",
                          total, found, whole ? "***" : "");
  put("FileListName: ");
  put(path);
  put(counts, static_cast<std::size_t>(len));
}

void TextSink::summary(const ReportTotals& t) {
  if (!summary_) return;
  char line[200];
  int len = std::snprintf(line, sizeof line,
                          "Summary: %" PRIu64 " groups, %" PRIu64 " members, %" PRIu64
                          " redundant copies, %" PRIu64 " bytes in redundant copies\n",
                          t.groups, t.members, t.redundant_copies, t.redundant_bytes);
  put(line, static_cast<std::size_t>(len));
}

}  // namespace zorv
