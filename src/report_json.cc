#include "report_json.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "report_batch.h"
#include "util/json.h"

namespace zorv {

namespace {

constexpr std::size_t BLOCK = std::size_t{1} << 20;

void write_out(const char* text, std::size_t len, int* error) {
  errno = 0;
  if (fwrite_unlocked(text, 1, len, stdout) != len && *error == 0)
    *error = errno != 0 ? errno : EIO;
}

}  // namespace

JsonSink::JsonSink()
    : block_(static_cast<char*>(std::malloc(BLOCK))),
      used_(0),
      spill_(nullptr),
      first_member_(true),
      error_(0) {}

JsonSink::~JsonSink() {
  flush();
  std::free(block_);
  std::free(spill_);
}

int JsonSink::flush() {
  if (used_ > 0) write_out(block_, used_, &error_);
  used_ = 0;
  return error_;
}

// Pieces are written in place in the block; one too big for it (or with no
// block: memory was short) goes through a buffer of its own.
char* JsonSink::room(std::size_t need) {
  if (block_ != nullptr && need <= BLOCK - used_) return block_ + used_;
  flush();
  if (block_ != nullptr && need <= BLOCK) return block_;
  spill_ = static_cast<char*>(std::malloc(need));
  if (spill_ == nullptr) report_out_of_memory();
  return spill_;
}

void JsonSink::done(char* end) {
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
  std::memcpy(at, text, len);
  done(at + len);
}

void JsonSink::text(const char* key, const char* bytes, std::size_t len) {
  std::size_t key_len = std::strlen(key);
  // "key":"…",  and possibly "key_b64":"…"
  std::size_t need = 2 * key_len + json_string_max(len) + base64_size(len) + 16;
  char* at = room(need);
  char* p = at;
  *p++ = '"';
  std::memcpy(p, key, key_len);
  p += key_len;
  *p++ = '"';
  *p++ = ':';
  bool exact = true;
  p = json_string(p, bytes, len, &exact);
  if (!exact) {
    std::memcpy(p, ",\"", 2);
    p += 2;
    std::memcpy(p, key, key_len);
    p += key_len;
    std::memcpy(p, "_b64\":\"", 7);
    p += 7;
    p = base64(p, bytes, len);
    *p++ = '"';
  }
  done(p);
}

void JsonSink::number(const char* key, std::uint64_t value) {
  char piece[64];
  int len = std::snprintf(piece, sizeof piece, ",\"%s\":%" PRIu64, key, value);
  put(piece, static_cast<std::size_t>(len));
}

void JsonSink::begin_group(std::uint32_t crc32) {
  char line[64];
  int len = std::snprintf(line, sizeof line, "{\"type\":\"group\",\"crc32\":\"%08x\",\"members\":[",
                          crc32);
  put(line, static_cast<std::size_t>(len));
  first_member_ = true;
}

void JsonSink::member(const char* archive, const char* name, std::size_t name_len,
                      const VerifyItem* facts) {
  put(first_member_ ? "{" : ",{", first_member_ ? 1 : 2);
  first_member_ = false;
  text("archive", archive, std::strlen(archive));
  put(",", 1);
  text("name", name, name_len);
  if (facts != nullptr) {
    number("size", facts->size);
    number("csize", facts->compressed_size);
    number("method", facts->method);
  }
  put("}", 1);
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
