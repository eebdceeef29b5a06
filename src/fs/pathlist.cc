#include "fs/pathlist.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorv {

namespace {

struct ListFile {
  std::FILE* f;
  bool own;
  char* line = nullptr;
  ~ListFile() {
    std::free(line);
    if (own && f != nullptr) std::fclose(f);
  }
};

}  // namespace

bool each_listed_path(const char* file, char end, void (*each)(char* path, void* ctx), void* ctx,
                      std::string* why) {
  bool from_stdin = std::strcmp(file, "-") == 0;
  ListFile list{from_stdin ? stdin : std::fopen(file, "re"), !from_stdin};
  if (list.f == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  std::size_t cap = 0;
  for (;;) {
    errno = 0;
    ssize_t len = getdelim(&list.line, &cap, end, list.f);
    if (len < 0) break;
    if (len > 0 && list.line[len - 1] == end) list.line[--len] = '\0';
    if (len == 0) continue;
    // No path holds a NUL: a list that does is a NUL-separated one read
    // as lines, and every path taken from it would be cut short.
    if (std::strlen(list.line) != static_cast<std::size_t>(len)) {
      *why = "a path holds a NUL byte (a list for --null?)";
      return false;
    }
    each(list.line, ctx);
  }
  if (std::ferror(list.f) != 0 || errno == ENOMEM) {
    *why = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace zorv
