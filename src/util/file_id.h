// Which file a path reaches, whatever the path (links, "./dir" and "dir",
// bind mounts of one file system): its device and inode. The one identity
// the indexes, the read-ahead and the directory scanner all use.
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace zorv {

struct FileId {
  std::uint64_t dev;
  std::uint64_t ino;
};

inline FileId file_id_of(const struct stat& st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Only the sign counts: device first, then inode.
inline std::int32_t file_id_compare(const FileId& a, const FileId& b) {
  if (a.dev != b.dev) return a.dev < b.dev ? -1 : 1;
  return (a.ino > b.ino) - (a.ino < b.ino);
}

}  // namespace zorv
