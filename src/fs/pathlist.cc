#include "fs/pathlist.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zorv {

std::FILE* open_path_list(const char* file, std::string* why) {
  if (std::strcmp(file, "-") == 0) return stdin;
  std::FILE* list = std::fopen(file, "re");
  if (list == nullptr) *why = std::strerror(errno);
  return list;
}

void close_path_list(std::FILE* list) {
  if (list != nullptr && list != stdin) std::fclose(list);
}

bool each_listed_path(std::FILE* list, char end, void (*each)(char* path, void* ctx), void* ctx,
                      std::string* why) {
  struct Line {
    char* text = nullptr;
    ~Line() { std::free(text); }
  } line;
  std::size_t cap = 0;
  for (;;) {
    errno = 0;
    ssize_t len = getdelim(&line.text, &cap, end, list);
    if (len < 0) break;
    if (len > 0 && line.text[len - 1] == end) line.text[--len] = '\0';
    if (len == 0) continue;
    // No path holds a NUL: a list that does is a NUL-separated one read
    // as lines, and every path taken from it would be cut short.
    if (std::strlen(line.text) != static_cast<std::size_t>(len)) {
      *why = "a path holds a NUL byte (a list for --null?)";
      return false;
    }
    each(line.text, ctx);
  }
  if (std::ferror(list) != 0 || errno == ENOMEM) {
    *why = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace zorv
