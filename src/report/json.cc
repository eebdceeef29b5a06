#include "report/json.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/json.h"

namespace zorv {

JsonSink::JsonSink(Diag* diag)
    : first_member_(true),
      diag_(diag),
      last_archive_(nullptr),
      archive_field_(nullptr),
      archive_len_(0),
      archive_cap_(0) {}

JsonSink::~JsonSink() {
  flush();
  std::free(archive_field_);
}

// A group is one line, however many members it has: it is held whole in
// the LineOut's block until its end, so no part of it is written before.
int JsonSink::flush() {
  return out_.flush();
}

void JsonSink::put(const char* text, std::size_t len) {
  out_.put(text, len);
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

// Room the name field may take.
std::size_t name_max(const MemberName& name) {
  if (name.utf8 == nullptr) return field_max(4, name.len);
  return 8 + json_string_max(name.utf8_len) + base64_size(name.len) + 16;
}

// "name":"…" for a member: its text, and the stored bytes in base64 when
// they are not exactly that text (or the text cannot be shown exactly).
char* name_field(char* p, const MemberName& name) {
  if (name.utf8 == nullptr) return field(p, "name", 4, name.bytes, name.len);
  p = copy(p, "\"name\":", 7);
  bool exact = true;
  p = json_string(p, name.utf8, name.utf8_len, &exact);
  bool same = exact && name.utf8_len == name.len &&
              (name.len == 0 || std::memcmp(name.utf8, name.bytes, name.len) == 0);
  if (!same) {
    p = copy(p, ",\"name_b64\":\"", 13);
    p = base64(p, name.bytes, name.len);
    *p++ = '"';
  }
  return p;
}

// Room the archive's fields may take.
std::size_t archive_max(const ArchiveRef& a, std::size_t len) {
  if (a.depth == 0) return field_max(7, len);
  return field_max(7, len) + 40 + json_string_max(len) + base64_size(len) +
         8 * (std::size_t{a.depth} + 1);
}

// The parts of an inner archive's path, as JSON strings or in base64.
char* archive_parts(char* p, const ArchiveRef& a, std::size_t len, bool b64, bool* exact) {
  *p++ = '[';
  std::size_t from = 0;
  for (std::uint32_t i = 0; i <= a.depth; ++i) {
    std::size_t to = i < a.depth ? a.cuts[i] : len;
    if (i > 0) *p++ = ',';
    if (b64) {
      *p++ = '"';
      p = base64(p, a.path + from, to - from);
      *p++ = '"';
    } else {
      p = json_string(p, a.path + from, to - from, exact);
    }
    from = to + 2;  // past the "!/"
  }
  *p++ = ']';
  return p;
}

// "archive":"…" and, for an archive inside others, "archive_path": the
// names from the file to it, each as its own string (a name may hold "!/"),
// and in base64 too ("archive_path_b64") when one is not exact UTF-8.
char* archive_fields(char* p, const ArchiveRef& a, std::size_t len) {
  p = field(p, "archive", 7, a.path, len);
  if (a.depth == 0) return p;
  p = copy(p, ",\"archive_path\":", 16);
  bool exact = true;
  p = archive_parts(p, a, len, false, &exact);
  if (!exact) p = archive_parts(copy(p, ",\"archive_path_b64\":", 20), a, len, true, &exact);
  return p;
}

}  // namespace

void JsonSink::archive_text(const ArchiveRef& archive) {
  std::size_t len = std::strlen(archive.path);
  char* at = out_.room(archive_max(archive, len));
  if (at != nullptr) out_.done(archive_fields(at, archive, len));
}

void JsonSink::name_text(const MemberName& name) {
  char* at = out_.room(name_max(name));
  if (at != nullptr) out_.done(name_field(at, name));
}

void JsonSink::text(const char* key, const char* bytes, std::size_t len) {
  std::size_t key_len = std::strlen(key);
  char* at = out_.room(field_max(key_len, len));
  if (at != nullptr) out_.done(field(at, key, key_len, bytes, len));
}

void JsonSink::number(const char* key, std::uint64_t value) {
  std::size_t key_len = std::strlen(key);
  char* at = out_.room(key_len + 32);
  if (at == nullptr) return;
  char* p = copy(at, ",\"", 2);
  p = copy(p, key, key_len);
  p = copy(p, "\":", 2);
  out_.done(decimal(p, value));
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
void JsonSink::member(const ArchiveRef& ref, const MemberName& name, const MemberSizes* facts) {
  if (out_.no_memory()) return;
  const char* archive = ref.path;
  if (archive != last_archive_) {
    std::size_t len = std::strlen(archive);
    std::size_t need = archive_max(ref, len);
    if (need > archive_cap_) {
      std::free(archive_field_);
      archive_field_ = static_cast<char*>(std::malloc(need));
      archive_cap_ = archive_field_ != nullptr ? need : 0;
      if (archive_field_ == nullptr) {
        last_archive_ = nullptr;
        out_.out_of_memory();
        return;
      }
    }
    archive_len_ =
        static_cast<std::size_t>(archive_fields(archive_field_, ref, len) - archive_field_);
    last_archive_ = archive;
  }
  char* at = out_.room(archive_len_ + name_max(name) + 100);
  if (at == nullptr) return;
  char* p = copy(at, first_member_ ? "{" : ",{", first_member_ ? 1 : 2);
  first_member_ = false;
  p = copy(p, archive_field_, archive_len_);
  *p++ = ',';
  p = name_field(p, name);
  if (facts != nullptr) {
    p = decimal(copy(p, ",\"size\":", 8), facts->size);
    p = decimal(copy(p, ",\"csize\":", 9), facts->compressed_size);
    p = decimal(copy(p, ",\"method\":", 10), facts->method);
  }
  *p++ = '}';
  out_.done(p);
}

void JsonSink::member_unreadable(const ArchiveRef& archive) {
  put(first_member_ ? "{" : ",{", first_member_ ? 1 : 2);
  first_member_ = false;
  archive_text(archive);
  put(",\"name\":null}", 13);
}

void JsonSink::member_unmatched(const char*) {
  flush();
}

void JsonSink::end_group() {
  put("]}\n", 3);
}

void JsonSink::unverified(const ArchiveRef& archive, const MemberName& name, const char* reason) {
  if (out_.no_memory()) return;
  say_unverified(diag_, archive.path, name.bytes, name.len, reason);
  put("{\"type\":\"unverified\",", 21);
  archive_text(archive);
  put(",", 1);
  name_text(name);
  put(",", 1);
  text("reason", reason, std::strlen(reason));
  put("}\n", 2);
}

void JsonSink::archive_summary(const ArchiveRef& path, std::uint64_t total, std::uint64_t found,
                               bool whole) {
  put("{\"type\":\"archive\",", 18);
  archive_text(path);
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
