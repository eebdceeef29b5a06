#include "report/json.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/json.h"

namespace zorv {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

}  // namespace

JsonSink::JsonSink(Diag* diag)
    : block_(static_cast<char*>(std::malloc(BLOCK))),
      used_(0),
      spill_(nullptr),
      first_member_(true),
      no_memory_(false),
      diag_(diag),
      error_(0),
      last_archive_(nullptr),
      archive_field_(nullptr),
      archive_len_(0),
      archive_cap_(0) {}

JsonSink::~JsonSink() {
  flush();
  std::free(block_);
  std::free(spill_);
  std::free(archive_field_);
}

int JsonSink::flush() {
  if (used_ > 0 && !no_memory_) write_out(block_, used_, &error_);
  used_ = 0;
  return error_;
}

// Pieces are written in place in the block; one too big for it (or with no
// block: memory was short) goes through a buffer of its own. Without memory
// for that, nothing more is written.
char* JsonSink::room(std::size_t need) {
  if (no_memory_) return nullptr;
  if (block_ != nullptr && need <= BLOCK - used_) return block_ + used_;
  flush();
  if (block_ != nullptr && need <= BLOCK) return block_;
  spill_ = static_cast<char*>(std::malloc(need));
  no_memory_ = spill_ == nullptr;
  return spill_;
}

void JsonSink::done(char* end) {
  if (end == nullptr) return;
  if (spill_ != nullptr) {
    write_out(spill_, static_cast<std::size_t>(end - spill_), &error_);
    std::free(spill_);
    spill_ = nullptr;
    return;
  }
  used_ = static_cast<std::size_t>(end - block_);
}

void JsonSink::put(const char* text, std::size_t len) {
  char* at = room(len);
  if (at == nullptr) return;
  std::memcpy(at, text, len);
  done(at + len);
}

namespace {

char* copy(char* p, const char* text, std::size_t len) {
  std::memcpy(p, text, len);
  return p + len;
}

// A number in decimal, as printf would write it, but without its cost:
// reports have millions of them.
char* decimal(char* p, std::uint64_t v) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0)
    *p++ = digits[--n];
  return p;
}

// Room a field may take: the key twice, the string escaped, its base64.
std::size_t field_max(std::size_t key_len, std::size_t len) {
  return 2 * key_len + json_string_max(len) + base64_size(len) + 16;
}

// "key":"…" and, when the bytes are not exact UTF-8, ,"key_b64":"…".
char* field(char* p, const char* key, std::size_t key_len, const char* bytes, std::size_t len) {
  *p++ = '"';
  p = copy(p, key, key_len);
  p = copy(p, "\":", 2);
  bool exact = true;
  p = json_string(p, bytes, len, &exact);
  if (!exact) {
    p = copy(p, ",\"", 2);
    p = copy(p, key, key_len);
    p = copy(p, "_b64\":\"", 7);
    p = base64(p, bytes, len);
    *p++ = '"';
  }
  return p;
}

}  // namespace

void JsonSink::text(const char* key, const char* bytes, std::size_t len) {
  std::size_t key_len = std::strlen(key);
  char* at = room(field_max(key_len, len));
  if (at != nullptr) done(field(at, key, key_len, bytes, len));
}

void JsonSink::number(const char* key, std::uint64_t value) {
  std::size_t key_len = std::strlen(key);
  char* at = room(key_len + 32);
  if (at == nullptr) return;
  char* p = copy(at, ",\"", 2);
  p = copy(p, key, key_len);
  p = copy(p, "\":", 2);
  done(decimal(p, value));
}

void JsonSink::begin_group(std::uint32_t crc32) {
  char line[64];
  int len = std::snprintf(line, sizeof line, "{\"type\":\"group\",\"crc32\":\"%08x\",\"members\":[",
                          crc32);
  put(line, static_cast<std::size_t>(len));
  first_member_ = true;
}

// The line most reports are made of, written in one piece. Members of one
// archive come in runs: its field is escaped once and copied after that.
void JsonSink::member(const char* archive, const char* name, std::size_t name_len,
                      const MemberSizes* facts) {
  if (no_memory_) return;
  if (archive != last_archive_) {
    std::size_t len = std::strlen(archive);
    std::size_t need = field_max(7, len);
    if (need > archive_cap_) {
      std::free(archive_field_);
      archive_field_ = static_cast<char*>(std::malloc(need));
      archive_cap_ = archive_field_ != nullptr ? need : 0;
      if (archive_field_ == nullptr) {
        no_memory_ = true;
        last_archive_ = nullptr;
        return;
      }
    }
    archive_len_ = static_cast<std::size_t>(field(archive_field_, "archive", 7, archive, len) -
                                            archive_field_);
    last_archive_ = archive;
  }
  char* at = room(archive_len_ + field_max(4, name_len) + 100);
  if (at == nullptr) return;
  char* p = copy(at, first_member_ ? "{" : ",{", first_member_ ? 1 : 2);
  first_member_ = false;
  p = copy(p, archive_field_, archive_len_);
  *p++ = ',';
  p = field(p, "name", 4, name, name_len);
  if (facts != nullptr) {
    p = decimal(copy(p, ",\"size\":", 8), facts->size);
    p = decimal(copy(p, ",\"csize\":", 9), facts->compressed_size);
    p = decimal(copy(p, ",\"method\":", 10), facts->method);
  }
  *p++ = '}';
  done(p);
}

void JsonSink::member_unreadable(const char* archive) {
  put(first_member_ ? "{" : ",{", first_member_ ? 1 : 2);
  first_member_ = false;
  text("archive", archive, std::strlen(archive));
  put(",\"name\":null}", 13);
}

void JsonSink::member_unmatched(const char*) {
  flush();
}

void JsonSink::end_group() {
  put("]}\n", 3);
}

void JsonSink::unverified(const char* archive, const char* name, std::size_t name_len,
                          const char* reason) {
  if (no_memory_) return;
  say_unverified(diag_, archive, name, name_len, reason);
  put("{\"type\":\"unverified\",", 21);
  text("archive", archive, std::strlen(archive));
  put(",", 1);
  text("name", name, name_len);
  put(",", 1);
  text("reason", reason, std::strlen(reason));
  put("}\n", 2);
}

void JsonSink::archive_summary(const char* path, std::uint64_t total, std::uint64_t found,
                               bool whole) {
  put("{\"type\":\"archive\",", 18);
  text("archive", path, std::strlen(path));
  number("entries", total);
  number("found", found);
  put(whole ? ",\"complete\":true}\n" : ",\"complete\":false}\n", whole ? 18 : 19);
}

void JsonSink::summary(const ReportTotals& t) {
  char line[200];
  int len = std::snprintf(line, sizeof line,
                          "{\"type\":\"summary\",\"groups\":%" PRIu64 ",\"members\":%" PRIu64
                          ",\"redundant_copies\":%" PRIu64 ",\"redundant_bytes\":%" PRIu64 "}\n",
                          t.groups, t.members, t.redundant_copies, t.redundant_bytes);
  put(line, static_cast<std::size_t>(len));
}

}  // namespace zorv
