#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace zorv::test {

namespace {

// A pseudo-terminal's controller and the name of its other end.
int open_terminal(std::string* name) {
  int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) std::abort();
  *name = ptsname(fd);
  winsize size{};
  size.ws_row = 30;
  size.ws_col = 120;
  ioctl(fd, TIOCSWINSZ, &size);
  return fd;
}

}  // namespace

Child::Child(const std::vector<std::string>& args, const std::string& cwd,
             const ChildSetup& setup) {
  int out_pipe[2];
  int err_pipe[2] = {-1, -1};
  std::string terminal;
  if (pipe(out_pipe) != 0) std::abort();
  if (setup.terminal) {
    err_fd_ = open_terminal(&terminal);
  } else if (pipe(err_pipe) != 0) {
    std::abort();
  } else if (setup.err_full) {
    fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'f');
    while (write(err_pipe[1], filler.data(), filler.size()) > 0) {
    }
    // A last page may take less than a page: bytes one at a time.
    while (write(err_pipe[1], "f", 1) > 0) {
    }
    fcntl(err_pipe[1], F_SETFL, 0);
  }
  std::vector<std::string> words = {ZORV_BIN};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // A group of its own, still in the test's session: a group with no
    // parent in its session (setsid) would not stop on SIGTSTP.
    setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out_pipe[1], 1);
    if (setup.terminal) {
      int tty = open(terminal.c_str(), O_RDWR);
      dup2(tty, 2);
    } else {
      dup2(err_pipe[1], 2);
    }
    for (int sig : setup.ignored)
      ::signal(sig, SIG_IGN);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  out_fd_ = out_pipe[0];
  if (!setup.terminal) {
    close(err_pipe[1]);
    err_fd_ = err_pipe[0];
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool Child::step(int ms, bool with_out) {
  pollfd fds[2] = {{err_fd_, POLLIN, 0}, {with_out ? out_fd_ : -1, POLLIN, 0}};
  if (poll(fds, 2, ms) <= 0) return true;
  bool open = false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0) continue;
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      open = true;
      continue;
    }
    char buf[65536];
    ssize_t n = read(fds[i].fd, buf, sizeof buf);
    if (n > 0) {
      (i == 0 ? err_ : out_).append(buf, static_cast<std::size_t>(n));
      open = true;
    }
    // A terminal whose other end closed reads as EIO, a pipe as 0.
    if (n <= 0 && i == 0) err_fd_ = (close(err_fd_), -1);
    if (n <= 0 && i == 1) out_fd_ = (close(out_fd_), -1);
  }
  return open || err_fd_ >= 0 || out_fd_ >= 0;
}

void Child::read_out(std::size_t n) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out_.size() < n && out_fd_ >= 0 && std::chrono::steady_clock::now() < end)
    step(100, true);
}

void Child::pump(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end && err_fd_ >= 0)
    step(10, false);
  if (err_fd_ < 0) usleep(static_cast<useconds_t>(ms) * 1000);
}

void Child::signal(int sig) {
  kill(pid_, sig);
}

bool Child::wait_writing() {
  std::string wchan_path = "/proc/" + std::to_string(pid_) + "/wchan";
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(wchan_path);
    std::string wchan;
    in >> wchan;
    if (wchan.find("pipe_write") != std::string::npos) return true;
    usleep(10000);
  }
  return false;
}

bool Child::wait_stopped() {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    pid_t got = waitpid(pid_, &status, WUNTRACED | WNOHANG);
    if (got == pid_ && WIFSTOPPED(status)) {
      pump(100);  // what it wrote before it stopped
      return true;
    }
    if (got == pid_) {  // it ended instead
      pid_ = -1;
      return false;
    }
    step(10, false);
  }
  return false;
}

int Child::finish() {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < end)
    step(100, true);
  if (out_fd_ >= 0 || err_fd_ >= 0) {
    ADD_FAILURE() << "the run did not end within 60 s";
    kill(pid_, SIGKILL);
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zorv::test
