// The limit probe for bench/run.py --scale: the least a program must do to
// print zorv's groups, as a yardstick for zorv's time and memory per entry.
//
//     scale_probe [-R] <directory> ...
//
// Walks the directories (with -R their subdirectories), reads each ".zip"
// file's end record and central directory, keeps (CRC-32, archive, position)
// per entry with a non-zero CRC-32 in flat arrays, radix-sorts them, reads
// the directories of the archives holding group members once more for the
// names, and prints each group in zorv's text format: groups in ascending
// CRC-32 order (zorv's order differs; bench/run.py compares groups as sets),
// members in reading order. No ZIP64, no self-extractors, no checks beyond
// what keeps it from reading out of bounds: not a tool, a measure.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::uint16_t u16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t u32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::vector<std::string> archives;
std::vector<std::uint64_t> keys;       // CRC-32 << 32 | entry number
std::vector<std::uint32_t> archive_of;  // by entry number
std::vector<std::uint32_t> pos_of;      // by entry number

bool is_zip(const char* name) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr && strcasecmp(dot, ".zip") == 0;
}

void walk(const std::string& dir, bool recurse) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    std::string path = dir + "/" + e->d_name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st;
      if (stat(path.c_str(), &st) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR && recurse) walk(path, recurse);
    if (type == DT_REG && is_zip(e->d_name)) archives.push_back(path);
  }
  closedir(d);
}

// The central directory of `path` into `cd`; false when there is none.
bool read_directory(const std::string& path, std::vector<unsigned char>& cd) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = false;
  if (fstat(fd, &st) == 0 && st.st_size >= 22) {
    std::size_t tail = static_cast<std::size_t>(std::min<off_t>(st.st_size, 65536 + 22));
    std::vector<unsigned char> buf(tail);
    off_t at = st.st_size - static_cast<off_t>(tail);
    if (pread(fd, buf.data(), tail, at) == static_cast<ssize_t>(tail)) {
      for (std::size_t i = tail - 22 + 1; i-- > 0;) {
        if (u32(&buf[i]) != 0x06054b50) continue;
        std::uint32_t size = u32(&buf[i + 12]);
        std::uint32_t offset = u32(&buf[i + 16]);
        if (off_t{offset} + size > st.st_size) break;
        cd.resize(size);
        if (offset >= at && offset + size <= at + static_cast<off_t>(tail)) {
          std::memcpy(cd.data(), &buf[static_cast<std::size_t>(offset - at)], size);
          ok = true;
        } else {
          ok = pread(fd, cd.data(), size, offset) == static_cast<ssize_t>(size);
        }
        break;
      }
    }
  }
  close(fd);
  return ok;
}

// Calls visit(crc, position, name, name_len) for each header of `cd`.
template <typename Visit>
void each_entry(const std::vector<unsigned char>& cd, Visit visit) {
  std::size_t pos = 0;
  while (pos + 46 <= cd.size()) {
    const unsigned char* h = &cd[pos];
    std::size_t name_len = u16(h + 28);
    if (pos + 46 + name_len > cd.size()) return;
    std::size_t next = pos + 46 + name_len + u16(h + 30) + u16(h + 32);
    visit(u32(h + 16), static_cast<std::uint32_t>(std::min<std::size_t>(next, UINT32_MAX)),
          reinterpret_cast<const char*>(h + 46), name_len);
    pos = next;
  }
}

void radix_sort(std::vector<std::uint64_t>& v) {
  std::vector<std::uint64_t> spare(v.size());
  std::vector<std::size_t> count(1 << 16);
  for (int shift = 0; shift < 64; shift += 16) {
    std::fill(count.begin(), count.end(), 0);
    for (std::uint64_t k : v)
      ++count[(k >> shift) & 0xffff];
    std::size_t sum = 0;
    for (std::size_t& c : count)
      sum += std::exchange(c, sum);
    for (std::uint64_t k : v)
      spare[count[(k >> shift) & 0xffff]++] = k;
    v.swap(spare);
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool recurse = false;
  int first = 1;
  if (first < argc && std::strcmp(argv[first], "-R") == 0) {
    recurse = true;
    ++first;
  }
  for (int i = first; i < argc; ++i)
    walk(argv[i], recurse);
  std::vector<unsigned char> cd;
  for (std::uint32_t a = 0; a < archives.size(); ++a) {
    if (!read_directory(archives[a], cd)) continue;
    each_entry(cd, [&](std::uint32_t crc, std::uint32_t pos, const char*, std::size_t) {
      if (crc == 0) return;
      keys.push_back(std::uint64_t{crc} << 32 | archive_of.size());
      archive_of.push_back(a);
      pos_of.push_back(pos);
    });
  }
  radix_sort(keys);
  // Group members in print order; then, archive by archive, their names.
  std::vector<std::uint32_t> members;  // entry numbers, groups one after another
  std::vector<std::uint32_t> group_end;
  std::vector<std::uint32_t> group_crc;
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t j = i + 1;
    while (j < keys.size() && keys[j] >> 32 == keys[i] >> 32)
      ++j;
    if (j - i >= 2) {
      for (std::size_t k = i; k < j; ++k)
        members.push_back(static_cast<std::uint32_t>(keys[k]));
      group_end.push_back(static_cast<std::uint32_t>(members.size()));
      group_crc.push_back(static_cast<std::uint32_t>(keys[i] >> 32));
    }
    i = j;
  }
  std::vector<std::uint64_t>().swap(keys);
  std::vector<std::uint64_t> wanted;  // archive << 32 | slot in members, sorted
  for (std::uint32_t m = 0; m < members.size(); ++m)
    wanted.push_back(std::uint64_t{archive_of[members[m]]} << 32 | m);
  radix_sort(wanted);
  std::vector<std::uint32_t> name_at(members.size());
  std::vector<std::uint16_t> name_len(members.size());
  std::string names;
  for (std::size_t i = 0; i < wanted.size();) {
    std::uint32_t a = static_cast<std::uint32_t>(wanted[i] >> 32);
    std::size_t j = i;
    while (j < wanted.size() && wanted[j] >> 32 == a)
      ++j;
    std::sort(wanted.begin() + static_cast<std::ptrdiff_t>(i),
              wanted.begin() + static_cast<std::ptrdiff_t>(j),
              [&](std::uint64_t x, std::uint64_t y) {
                return pos_of[members[static_cast<std::uint32_t>(x)]] <
                       pos_of[members[static_cast<std::uint32_t>(y)]];
              });
    if (read_directory(archives[a], cd)) {
      std::size_t k = i;
      each_entry(cd, [&](std::uint32_t, std::uint32_t pos, const char* name, std::size_t len) {
        for (; k < j && pos_of[members[static_cast<std::uint32_t>(wanted[k])]] == pos; ++k) {
          auto m = static_cast<std::uint32_t>(wanted[k]);
          name_at[m] = static_cast<std::uint32_t>(names.size());
          name_len[m] = static_cast<std::uint16_t>(strnlen(name, len));
          names.append(name, name_len[m]);
        }
      });
    }
    i = j;
  }
  std::uint32_t start = 0;
  for (std::size_t g = 0; g < group_end.size(); ++g) {
    std::uint32_t end = group_end[g];
    std::printf("CRC32: 0x%08x\n", static_cast<unsigned>(group_crc[g]));
    for (std::uint32_t m = start; m < end; ++m) {
      std::fputs("file: ", stdout);
      std::fputs(archives[archive_of[members[m]]].c_str(), stdout);
      std::fputs(", ", stdout);
      std::fwrite(names.data() + name_at[m], 1, name_len[m], stdout);
      std::fputc('\n', stdout);
    }
    std::fputs("-------\n", stdout);
    start = end;
  }
  return 0;
}
