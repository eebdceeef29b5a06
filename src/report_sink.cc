#include "report_sink.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

}  // namespace

// Without a block (no memory for it) every piece goes to stdio directly:
// slower, the same bytes.
TextSink::TextSink() : block_(static_cast<char*>(std::malloc(BLOCK))), used_(0) {}

TextSink::~TextSink() {
  flush();
  std::free(block_);
}

void TextSink::flush() {
  if (used_ > 0) fwrite_unlocked(block_, 1, used_, stdout);
  used_ = 0;
}

void TextSink::put(const char* text, std::size_t len) {
  if (block_ == nullptr || len > BLOCK - used_) {
    flush();
    if (block_ == nullptr || len > BLOCK) {
      fwrite_unlocked(text, 1, len, stdout);
      return;
    }
  }
  std::memcpy(block_ + used_, text, len);
  used_ += len;
}

void TextSink::put(const char* text) {
  put(text, std::strlen(text));
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
void TextSink::member(const char* archive, const char* name, std::size_t name_len) {
  std::size_t archive_len = std::strlen(archive);
  std::size_t need = 6 + archive_len + 2 + name_len + 1;
  if (block_ == nullptr || need > BLOCK - used_) {
    flush();
    if (block_ == nullptr || need > BLOCK) {
      put("file: ", 6);
      put(archive, archive_len);
      put(", ", 2);
      put(name, name_len);
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

// The line is begun before the name is looked for, as it always was: what
// a script sees of a run that ends here stays the same.
void TextSink::member_unmatched(const char* archive) {
  put("file: ", 6);
  put(archive);
  put(", ", 2);
  flush();
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

}  // namespace zorv
