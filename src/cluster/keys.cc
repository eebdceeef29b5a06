#include "cluster/keys.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cluster/wire.h"

namespace zorv {

namespace {

constexpr char KEYS_MAGIC[8] = {'Z', 'O', 'R', 'V', 'K', 'E', 'Y', 'S'};
constexpr char ARCHIVES_MAGIC[8] = {'Z', 'O', 'R', 'V', 'A', 'R', 'C', 'S'};
constexpr std::size_t RECORD = 20;
// Write buffers: 4 MiB in all, at least 16 KiB a part.
constexpr std::size_t BUFFERS = std::size_t{4} << 20;
constexpr std::size_t BUFFER_MIN = std::size_t{16} << 10;

struct Part {
  std::string name;
  std::FILE* f = nullptr;
  std::vector<unsigned char> buf;
  std::size_t used = 0;
};

}  // namespace

struct KeyOut {
  std::vector<Part> parts;
  std::string archives_name;
  std::FILE* archives = nullptr;
  std::unique_ptr<WireOut> list;  // the archives file's writer
  std::uint32_t count = 0;  // archives listed
  int error = 0;            // the first failed write's errno
  std::string failed;       // and its file
};

namespace {

void failed(KeyOut* out, const std::string& file) {
  if (out->error != 0) return;
  out->error = errno != 0 ? errno : EIO;
  out->failed = file;
}

void flush_part(KeyOut* out, Part& p) {
  if (p.used != 0 && std::fwrite(p.buf.data(), 1, p.used, p.f) != p.used) failed(out, p.name);
  p.used = 0;
}

void put_le(unsigned char* at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

void close_all(KeyOut* out) {
  for (Part& p : out->parts)
    if (p.f != nullptr && std::fclose(p.f) != 0) failed(out, p.name);
  if (out->archives != nullptr && std::fclose(out->archives) != 0) failed(out, out->archives_name);
  for (Part& p : out->parts) p.f = nullptr;
  out->archives = nullptr;
}

}  // namespace

KeyOut* keys_start(const std::string& dir, unsigned parts, std::string* why, std::string* file) {
  auto out = std::make_unique<KeyOut>();
  std::size_t each = std::max(BUFFER_MIN, BUFFERS / parts) / RECORD * RECORD;
  out->parts.resize(parts);
  auto open = [&](const std::string& name) -> std::FILE* {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) {
      *why = std::strerror(errno);
      *file = name;
    }
    return f;
  };
  for (unsigned k = 0; k < parts; ++k) {
    Part& p = out->parts[k];
    p.name = dir + "/keys." + std::to_string(k);
    p.buf.resize(each);
    if ((p.f = open(p.name)) == nullptr) return close_all(out.get()), nullptr;
    WireOut w{p.f};
    w.header(KEYS_MAGIC, k);
    if (!w.flush()) failed(out.get(), p.name);
  }
  out->archives_name = dir + "/archives";
  if ((out->archives = open(out->archives_name)) == nullptr) return close_all(out.get()), nullptr;
  out->list = std::make_unique<WireOut>(WireOut{out->archives});
  out->list->header(ARCHIVES_MAGIC, 0);  // the count, once known
  return out.release();
}

void keys_archive(KeyOut* out, const char* path, ZipDir* zd, Diag* diag) {
  std::uint32_t number = out->count++;
  unsigned parts = static_cast<unsigned>(out->parts.size());
  std::uint64_t entries = 0;
  const ZipEntry* entry = nullptr;
  ZipRead read;
  while ((read = readzip(zd, &entry, diag)) == ZipRead::Entry) {
    ++entries;
    if (entry->crc32 == 0) continue;  // directories and empty files: never reported
    std::uint64_t size = entry->uncompressed_size64;
    Part& p = out->parts[parts == 1 ? 0 : key_part(entry->crc32, size, parts)];
    unsigned char* r = p.buf.data() + p.used;
    put_le(r, entry->crc32, 4);
    put_le(r + 4, size, 8);
    put_le(r + 12, number, 4);
    put_le(r + 16, zip_entry_pos(zd), 4);
    if ((p.used += RECORD) == p.buf.size()) flush_part(out, p);
  }
  WireOut& w = *out->list;
  w.str32(path, std::strlen(path));
  w.u64(zip_total_entries(zd));
  w.u64(entries);
  w.u8(read == ZipRead::End ? 1 : 0);
  if (w.failed) failed(out, out->archives_name);
  closezip(zd);
}

bool keys_finish(KeyOut* out, std::string* why, std::string* file) {
  std::unique_ptr<KeyOut> owned(out);
  for (Part& p : out->parts) flush_part(out, p);
  if (out->list != nullptr && !out->list->flush()) failed(out, out->archives_name);
  // The header's count, now that it is known.
  if (out->error == 0) {
    unsigned char n[4];
    put_le(n, out->count, 4);
    if (std::fseek(out->archives, 12, SEEK_SET) != 0 || std::fwrite(n, 1, 4, out->archives) != 4)
      failed(out, out->archives_name);
  }
  close_all(out);
  if (out->error == 0) return true;
  *why = std::strerror(out->error);
  *file = out->failed;
  return false;
}

}  // namespace zorv
