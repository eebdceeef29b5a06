// Temporary files and directories, output capture and running the built
// zorv as a child process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/zip_writer.h"

namespace zorv::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  // Writes a file (creating parent directories) and returns its full path.
  std::string write(const std::string& rel, const Bytes& bytes) const;
  std::string mkdir(const std::string& rel) const;

 private:
  std::string path_;
};

// A temporary file holding `bytes`, removed when the object goes.
class ScopedFile {
 public:
  explicit ScopedFile(const Bytes& bytes);
  const char* path() const { return file_.c_str(); }

 private:
  TempDir dir_;
  std::string file_;
};

Bytes read_file(const std::string& path);

// Writes `a` to `path` with a hole of `hole` bytes between its prefix and its
// central directory, counted in every offset the archive records: a
// directory past 4 GiB costs a few kilobytes of disk. False when a write
// fails (errno says why).
bool write_sparse(const std::string& path, const ArchiveBytes& a, std::uint64_t hole);

// Captures what the process writes to standard error (or output) between
// construction and text(); undone on destruction.
class CaptureFd {
 public:
  explicit CaptureFd(int fd);
  ~CaptureFd();
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;
  std::string text();

 private:
  int fd_;
  int saved_;
  std::string file_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path, or a name looked up in PATH) in `cwd`
// (empty: this process's), stdin from /dev/null, with `env` added to its
// environment; kills it and fails the current test after `timeout_s`.
RunResult run_program(const std::vector<std::string>& argv, const std::string& cwd, int timeout_s,
                      const std::vector<std::pair<std::string, std::string>>& env = {});

// Runs the built zorv with `args`, as run_program does.
RunResult run_zorv(const std::vector<std::string>& args, const std::string& cwd = "",
                   int timeout_s = 60);

// One block of zorv's report: the CRC-32 line, a "file: " line per member
// ("<archive>, <name>"), the separator.
std::string report_block(std::uint32_t crc, const std::vector<std::string>& members);

}  // namespace zorv::test

namespace zorv::test {

// Caps this process's address space at its current size plus `extra` bytes,
// so that the next large allocations fail. For death-test children only.
void limit_memory(std::size_t extra);

// Allocates (and keeps) heap memory until malloc fails for `size` bytes.
void exhaust_heap(std::size_t size);

// exhaust_heap(8), then every size from `largest` down in steps of 8 bytes:
// the halving steps of exhaust_heap can leave a fragment that still fits a
// request between two of them (a record of 89 bytes, say).
void exhaust_heap_finely(std::size_t largest);

// Takes every descriptor this process may still open (the soft limit of
// open files lowered to `limit` for the while, so there are not a million),
// and gives them back on request or on destruction, which also restores
// the limit.
class DescriptorSqueeze {
 public:
  explicit DescriptorSqueeze(unsigned long limit = 256);
  ~DescriptorSqueeze();
  DescriptorSqueeze(const DescriptorSqueeze&) = delete;
  DescriptorSqueeze& operator=(const DescriptorSqueeze&) = delete;
  // Closes `n` of the descriptors held (fewer when fewer are held).
  void give_back(std::size_t n);
  // Whether an open now fails for want of a descriptor (the probe's own
  // descriptor, when it gets one, is closed at once).
  static bool none_free();
  std::size_t held() const { return held_.size(); }

 private:
  std::vector<int> held_;
  unsigned long saved_cur_;
  bool lowered_;
};

// Sanitizer runtimes reserve huge address ranges: memory limits and
// allocation-failure tests cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

}  // namespace zorv::test
