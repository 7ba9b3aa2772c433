// A program run as a child process for end-to-end tests, with every wait
// bounded: either with pipes (standard input from a text, standard output and
// error collected apart, in a session of its own without a controlling
// terminal), or on a new pseudo-terminal that is its controlling terminal and
// its standard input, output and error (what a user at a terminal sees, in
// one stream). A child still running when its time is up, or when the object
// goes, is killed by its process id.
//
//   ftptest::Child child;
//   ASSERT_TRUE(child.start_on_terminal({{"/path/ftpam", "get", ...}}, &error)) << error;
//   ASSERT_TRUE(child.wait_for("Password:", 5000)) << child.out();
//   child.type("secret\n");
//   ftptest::Outcome end = child.finish(5000);
//   EXPECT_EQ(end.exit_status, 0);
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace ftptest {

struct Launch {
  std::vector<std::string> argv;  // argv[0] is the program's path
  // NAME=VALUE sets a variable of the child's environment (the rest is the
  // test's); a bare NAME removes it.
  std::vector<std::string> env;
  std::string input;  // standard input with pipes (ignored on a terminal)
};

struct Outcome {
  int exit_status = -1;  // -1 when it did not exit by itself
  int signal = 0;        // the signal that ended it, if one did
  bool timed_out = false;
  std::string out;  // standard output (on a terminal: everything shown)
  std::string err;  // standard error (with pipes)
};

class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start(const Launch& launch, std::string* error);
  bool start_on_terminal(const Launch& launch, std::string* error);

  // Collects output until `text` has appeared in standard output or error,
  // at most `timeout_ms`; a failure (it did not, or the child ended first)
  // names the text and shows what the child printed.
  testing::AssertionResult wait_for(const std::string& text, int timeout_ms);
  // Types on the terminal.
  void type(const std::string& text);
  void signal(int sig);
  // Collects the rest of the output and the exit; kills the child when that
  // takes longer than `timeout_ms`.
  Outcome finish(int timeout_ms);

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool spawn(const Launch& launch, int in, int out, int err, int terminal, std::string* error);
  // Reads what is there until `deadline_ms` (steady clock) or until every
  // stream has ended; returns early when `stop` says so.
  template <typename Stop>
  void collect(long long deadline_ms, Stop stop);
  void kill_and_reap();

  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  int out_fd_ = -1, err_fd_ = -1, terminal_fd_ = -1;
  std::string out_, err_;
};

// Runs to the end with pipes; killed after `timeout_ms`.
Outcome run(const Launch& launch, int timeout_ms);

// Waits until process `pid` has ended (a child: until it can be reaped, which
// this leaves to the caller), at most `timeout_ms`; false when it still runs.
bool wait_for_end(pid_t pid, int timeout_ms);

}  // namespace ftptest
