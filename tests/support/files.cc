#include "support/files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace zorv::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zorv-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) std::abort();
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave unreadable directories behind; make them removable.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& rel, const Bytes& bytes) const {
  std::string full = *this / rel;
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream out(full, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return full;
}

std::string TempDir::mkdir(const std::string& rel) const {
  std::string full = *this / rel;
  fs::create_directories(full);
  return full;
}

ScopedFile::ScopedFile(const Bytes& bytes) : file_(dir_.write("archive.zip", bytes)) {}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

bool write_at(int fd, const Bytes& bytes, std::uint64_t offset) {
  const unsigned char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t put = pwrite(fd, p, left, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    left -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

}  // namespace

// Writing past the end leaves the skipped range a hole: it reads as zeros
// and takes no blocks.
bool write_sparse(const std::string& path, const ArchiveBytes& a, std::uint64_t hole) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  Bytes head = a.head();
  bool ok = write_at(fd, head, 0) && write_at(fd, a.tail(hole), head.size() + hole);
  return close(fd) == 0 && ok;
}

CaptureFd::CaptureFd(int fd) : fd_(fd) {
  char name[] = "/tmp/zorv-capture-XXXXXX";
  int tmp = mkstemp(name);
  file_ = name;
  std::fflush(fd == 1 ? stdout : stderr);
  saved_ = dup(fd);
  dup2(tmp, fd);
  close(tmp);
}

CaptureFd::~CaptureFd() {
  if (saved_ >= 0) text();
  unlink(file_.c_str());
}

std::string CaptureFd::text() {
  if (saved_ >= 0) {
    std::fflush(fd_ == 1 ? stdout : stderr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  Bytes bytes = read_file(file_);
  return std::string(bytes.begin(), bytes.end());
}

namespace {

// Reads both pipes until they close or the deadline passes.
bool drain(int out_fd, int err_fd, RunResult& result, int timeout_s) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      } else {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  return true;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv_words, const std::string& cwd,
                      int timeout_s, const std::vector<std::pair<std::string, std::string>>& env) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();
  std::vector<std::string> words = argv_words;
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : env)
      setenv(name.c_str(), value.c_str(), 1);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  bool finished = drain(out_pipe[0], err_pipe[0], result, timeout_s);
  close(out_pipe[0]);
  close(err_pipe[0]);
  if (!finished) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << argv_words[0] << " did not finish within " << timeout_s << " s";
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult run_zorv(const std::vector<std::string>& args, const std::string& cwd, int timeout_s) {
  std::vector<std::string> argv = {ZORV_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, cwd, timeout_s);
}

std::string report_block(std::uint32_t crc, const std::vector<std::string>& members) {
  char head[32];
  std::snprintf(head, sizeof head, "CRC32: 0x%08x\n", crc);
  std::string out = head;
  for (const std::string& m : members)
    out += "file: " + m + "\n";
  return out + "-------\n";
}

}  // namespace zorv::test

#include <sys/resource.h>

namespace zorv::test {

void limit_memory(std::size_t extra) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + extra;
  setrlimit(RLIMIT_AS, &limit);
}

}  // namespace zorv::test

namespace zorv::test {

void* volatile heap_hoard = nullptr;

// Chained through the blocks and published through a volatile, so the
// compiler cannot drop allocations whose results look unused.
void exhaust_heap(std::size_t size) {
  for (std::size_t s = 1 << 16; s >= size; s /= 2) {
    while (void* block = std::malloc(s)) {
      *static_cast<void**>(block) = heap_hoard;
      heap_hoard = block;
    }
  }
}

}  // namespace zorv::test

namespace zorv::test {

DescriptorSqueeze::DescriptorSqueeze(unsigned long limit) : saved_cur_(0), lowered_(false) {
  rlimit now{};
  if (getrlimit(RLIMIT_NOFILE, &now) == 0 && now.rlim_cur > limit) {
    saved_cur_ = now.rlim_cur;
    now.rlim_cur = limit;
    lowered_ = setrlimit(RLIMIT_NOFILE, &now) == 0;
  }
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
    held_.push_back(fd);
}

DescriptorSqueeze::~DescriptorSqueeze() {
  give_back(held_.size());
  if (lowered_) {
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    now.rlim_cur = saved_cur_;
    setrlimit(RLIMIT_NOFILE, &now);
  }
}

void DescriptorSqueeze::give_back(std::size_t n) {
  for (; n > 0 && !held_.empty(); --n) {
    close(held_.back());
    held_.pop_back();
  }
}

bool DescriptorSqueeze::none_free() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return errno == EMFILE;
}

void exhaust_heap_finely(std::size_t largest) {
  exhaust_heap(8);
  for (std::size_t s = largest; s >= 8; s -= 8) {
    while (void* block = std::malloc(s)) {
      *static_cast<void**>(block) = heap_hoard;
      heap_hoard = block;
    }
  }
}

}  // namespace zorv::test
