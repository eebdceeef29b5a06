#include "report/sink.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

// A write under way (1) and the signal that came during it (0: none). Set
// and read by signal handlers, on whichever thread they run.
std::atomic<int> writing{0};
std::atomic<int> deferred{0};

// Writes bytes [0, len), which end with a newline, to the descriptor; a
// write cut short by a signal is taken up again. A signal kept meanwhile
// (out_defer_signal) stops it at the first line end it reaches, then is
// raised again.
void write_lines(const char* text, std::size_t len, int* error) {
  writing = 1;
  std::size_t off = 0;
  while (off < len) {
    if (deferred != 0) {
      if (off == 0 || text[off - 1] == '\n') break;
      auto* line_end = static_cast<const char*>(std::memchr(text + off, '\n', len - off));
      len = static_cast<std::size_t>(line_end - text) + 1;
    }
    ssize_t n = write(STDOUT_FILENO, text + off, len - off);
    if (n >= 0) {
      off += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      *error = errno;
      break;
    }
  }
  writing = 0;
  if (int sig = deferred.exchange(0); sig != 0) raise(sig);
}

}  // namespace

bool out_defer_signal(int sig) {
  if (writing == 0) return false;
  int none = 0;
  return deferred.compare_exchange_strong(none, sig);
}

// Without memory for the block, one is tried again when the first line
// comes, as big as that line needs.
LineOut::LineOut()
    : block_(static_cast<char*>(std::malloc(BLOCK))),
      used_(0),
      cap_(block_ != nullptr ? BLOCK : 0),
      error_(0),
      no_memory_(false) {}

LineOut::~LineOut() {
  std::free(block_);
}

char* LineOut::room(std::size_t need) {
  if (no_memory_) return nullptr;
  if (need <= cap_ - used_) return block_ + used_;
  flush();
  if (need <= cap_ - used_) return block_ + used_;
  // A line longer than the block: it is held whole until it ends.
  std::size_t cap = std::max({need + used_, 2 * cap_, std::size_t{65536}});
  auto* bigger = static_cast<char*>(std::realloc(block_, cap));
  if (bigger == nullptr) {
    no_memory_ = true;
    return nullptr;
  }
  block_ = bigger;
  cap_ = cap;
  return block_ + used_;
}

void LineOut::put(const char* text, std::size_t len) {
  char* at = room(len);
  if (at == nullptr) return;
  std::memcpy(at, text, len);
  used_ += len;
}

int LineOut::flush() {
  if (used_ == 0 || no_memory_) return error_;
  auto* last = static_cast<char*>(memrchr(block_, '\n', used_));
  if (last == nullptr) return error_;
  std::size_t whole = static_cast<std::size_t>(last - block_) + 1;
  if (error_ == 0) write_lines(block_, whole, &error_);
  std::memmove(block_, block_ + whole, used_ - whole);
  used_ -= whole;
  return error_;
}

TextSink::TextSink(bool summary, bool escape, Diag* diag)
    : summary_(summary), escape_(escape), diag_(diag) {}

TextSink::~TextSink() {
  flush();
}

int TextSink::flush() {
  return out_.flush();
}

void TextSink::put(const char* text) {
  put_shown(text, std::strlen(text));
}

void TextSink::put_shown(const char* text, std::size_t len) {
  if (!escape_ || !has_control(text, len)) {
    put(text, len);
    return;
  }
  char* at = out_.room(4 * len);
  if (at != nullptr) out_.done(show_controls(at, text, len));
}

void TextSink::begin_group(std::uint32_t crc32) {
  static const char hex[] = "0123456789abcdef";
  char* p = out_.room(18);
  if (p == nullptr) return;
  std::memcpy(p, "CRC32: 0x", 9);
  for (int i = 0; i < 8; ++i)
    p[9 + i] = hex[(crc32 >> (28 - 4 * i)) & 0xf];
  p[17] = '\n';
  out_.done(p + 18);
}

// The line most reports are made of, assembled with one test for room.
void TextSink::member(const ArchiveRef& ref, const MemberName& stored, const MemberSizes*) {
  const char* archive = ref.path;
  const char* name = stored.bytes;
  std::size_t name_len = stored.len;
  std::size_t archive_len = std::strlen(archive);
  if (escape_ && (has_control(archive, archive_len) || has_control(name, name_len))) {
    put("file: ", 6);
    put_shown(archive, archive_len);
    put(", ", 2);
    put_shown(name, name_len);
    put("\n", 1);
    return;
  }
  char* p = out_.room(6 + archive_len + 2 + name_len + 1);
  if (p == nullptr) return;
  std::memcpy(p, "file: ", 6);
  std::memcpy(p + 6, archive, archive_len);
  p += 6 + archive_len;
  std::memcpy(p, ", ", 2);
  std::memcpy(p + 2, name, name_len);
  p[2 + name_len] = '\n';
  out_.done(p + 3 + name_len);
}

void TextSink::member_unreadable(const ArchiveRef& archive) {
  put("file: ", 6);
  put(archive.path);
  put(", openzip failed on: ");
  put(archive.path);
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
void TextSink::unverified(const ArchiveRef& archive, const MemberName& name, const char* reason) {
  say_unverified(diag_, archive.path, name.bytes, name.len, reason);
}

void TextSink::end_group() {
  put("-------\n", 8);
}

void TextSink::archive_summary(const ArchiveRef& archive, std::uint64_t total, std::uint64_t found,
                               bool whole) {
  char counts[64];
  int len = std::snprintf(counts, sizeof counts, " (Tot %" PRIu64 ", Found %" PRIu64 ") %s\n",
                          total, found, whole ? "***" : "");
  put("FileListName: ");
  put(archive.path);
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
