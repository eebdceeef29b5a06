#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// Present when a sanitizer runtime is linked in: writes to wherever
// sanitizer reports go, which stays visible when libFuzzer silences stderr
// (-close_fd_mask=2). The name is the sanitizers' interface, reserved or not.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" __attribute__((weak)) void __sanitizer_report_error_summary(const char* text);

namespace zorv::fuzz {

namespace {

// A failure of the harness itself, not of the code under test.
[[noreturn]] void setup_failed(const char* what) {
  std::perror(what);
  std::abort();
}

int memory_file() {
  static const int fd = [] {
    int made = memfd_create("zorv-fuzz-input", MFD_CLOEXEC);
    if (made < 0) setup_failed("memfd_create");
    struct stat st;
    if (fstat(made, &st) != 0 || !S_ISREG(st.st_mode)) setup_failed("memfd is not a regular file");
    return made;
  }();
  return fd;
}

bool all_zero(const std::uint8_t* p, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i)
    if (p[i] != 0) return false;
  return true;
}

void write_at(int fd, const std::uint8_t* p, std::size_t len, std::size_t offset) {
  for (std::size_t done = 0; done < len;) {
    ssize_t put = pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) setup_failed("pwrite");
    done += static_cast<std::size_t>(put);
  }
}

}  // namespace

const char* input_path(const std::uint8_t* data, std::size_t size, Layout layout,
                       std::size_t* holes) {
  static char path[64];
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  int fd = memory_file();
  // Emptied first, so no page of an earlier input stays allocated.
  if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
    setup_failed("ftruncate");
  std::size_t skipped = 0;
  std::size_t start = 0;  // of the bytes not yet written
  std::size_t hole = 0;   // the last page left unwritten
  for (std::size_t at = 0; layout == Layout::Sparse && at < size; at += page) {
    std::size_t len = size - at < page ? size - at : page;
    if (!all_zero(data + at, len)) continue;
    write_at(fd, data + start, at - start, start);
    start = at + len;
    hole = at;
    ++skipped;
  }
  write_at(fd, data + start, size - start, start);
  // The filesystem must really keep the hole, or nothing sparse is tested.
  if (skipped > 0 && lseek(fd, static_cast<off_t>(hole), SEEK_DATA) == static_cast<off_t>(hole))
    setup_failed("memory file keeps no holes");
  if (holes != nullptr) *holes = skipped;
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return path;
}

int lowest_free_fd() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) setup_failed("/dev/null");
  close(fd);
  return fd;
}

void check_failed(const char* text, const char* file, int line) {
  char message[512];
  std::snprintf(message, sizeof message, "zorv fuzz check failed: %s (%s:%d)", text, file, line);
  if (__sanitizer_report_error_summary != nullptr) {
    __sanitizer_report_error_summary(message);
  } else {
    std::fprintf(stderr, "%s\n", message);
  }
  __builtin_trap();
}

}  // namespace zorv::fuzz
