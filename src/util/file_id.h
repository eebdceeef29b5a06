// Which file a path reaches, whatever the path (links, "./dir" and "dir",
// bind mounts of one file system): its device and inode, and its size and
// modification time. The inode alone names a file only while the file
// exists: once it is deleted the file system may give the number to a new
// file (ext4 does at once), and a run that has read and closed the first
// would take the second for it. Size and modification time tell the two
// apart; two names of one unchanged file, hard links included, share every
// field. The one identity the indexes, the read-ahead and the directory
// scanner all use.
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace zorv {

struct FileId {
  std::uint64_t dev;
  std::uint64_t ino;
  std::int64_t size;
  std::int64_t mtime_sec;
  std::int64_t mtime_nsec;
};

inline FileId file_id_of(const struct stat& st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

// Only the sign counts: device, inode, size, then modification time.
inline std::int32_t file_id_compare(const FileId& a, const FileId& b) {
  if (a.dev != b.dev) return a.dev < b.dev ? -1 : 1;
  if (a.ino != b.ino) return a.ino < b.ino ? -1 : 1;
  if (a.size != b.size) return a.size < b.size ? -1 : 1;
  if (a.mtime_sec != b.mtime_sec) return a.mtime_sec < b.mtime_sec ? -1 : 1;
  return (a.mtime_nsec > b.mtime_nsec) - (a.mtime_nsec < b.mtime_nsec);
}

}  // namespace zorv
