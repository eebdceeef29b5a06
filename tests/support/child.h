// A zorv run the test drives while it runs: standard output a pipe read at
// the test's pace (a full pipe stops the run in a write), standard error a
// pipe or a terminal (a pseudo-terminal of 30 rows by 120 columns), signals
// sent at chosen moments, and signals ignored from the start as nohup or a
// script's `&` leaves them.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace zorv::test {

struct ChildSetup {
  bool terminal = false;          // standard error a terminal, else a pipe
  std::vector<int> ignored = {};  // signals set to SIG_IGN before the exec
  // Standard error a pipe that is full when the run starts: its first line
  // waits until the test reads (err() then begins with the filler, 'f's).
  bool err_full = false;
};

class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& cwd, const ChildSetup& setup);
  ~Child();  // kills a run still going
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads standard output until it holds at least n bytes or ends.
  void read_out(std::size_t n);
  // Keeps reading (not standard output) for `ms` milliseconds.
  void pump(int ms);
  void signal(int sig);
  // Waits (reading nothing) until the run's main thread waits in a write
  // to a full pipe; false after 10 s.
  bool wait_writing();
  // Reads standard error until the run stops (true) or ends, or 10 s pass.
  bool wait_stopped();
  // Reads everything to the end; the exit status, or 128 + the signal.
  int finish();

  const std::string& out() const { return out_; }
  // What standard error received (from a terminal: "\r\n" as it came).
  const std::string& err() const { return err_; }

 private:
  // Reads what is there, waiting up to `ms`; standard output only when
  // `with_out`. False when nothing more can come.
  bool step(int ms, bool with_out);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
};

}  // namespace zorv::test
