// Child processes of the end-to-end tests, on pipes or on a pseudo-terminal.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace ftptest {
namespace {

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The test's environment with the launch's changes.
std::vector<std::string> environment(const std::vector<std::string>& changes) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e, name = name_of(entry);
    bool changed = false;
    for (const auto& c : changes) changed = changed || name_of(c) == name;
    if (!changed) env.push_back(entry);
  }
  for (const auto& c : changes)
    if (c.find('=') != std::string::npos) env.push_back(c);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (auto& t : texts) p.push_back(t.data());
  p.push_back(nullptr);
  return p;
}

// A descriptor reading `text`: an unlinked temporary file.
int input_from(const std::string& text) {
  if (text.empty()) return open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::string path = std::filesystem::temp_directory_path() / "ftpam-input-XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  unlink(path.c_str());
  if (write(fd, text.data(), text.size()) != ssize_t(text.size()) || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

Child::~Child() {
  kill_and_reap();
  close_fd(&out_fd_);
  close_fd(&err_fd_);
  close_fd(&terminal_fd_);
}

bool Child::spawn(const Launch& launch, int in, int out, int err, int terminal,
                  std::string* error) {
  // Everything the child needs is made before fork: the test process has
  // threads, so the child may only make async-signal-safe calls.
  std::vector<std::string> argv = launch.argv, env = environment(launch.env);
  std::vector<char*> args = pointers(argv), vars = pointers(env);
  pid_ = fork();
  if (pid_ < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid_ == 0) {
    setsid();
    if (terminal >= 0) ioctl(terminal, TIOCSCTTY, 0);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    execve(args[0], args.data(), vars.data());
    _exit(127);
  }
  return true;
}

bool Child::start(const Launch& launch, std::string* error) {
  int in = input_from(launch.input);
  int out[2], err[2];
  if (in < 0 || pipe2(out, O_CLOEXEC) != 0) {
    *error = std::string("input or pipe: ") + std::strerror(errno);
    if (in >= 0) close(in);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(in), close(out[0]), close(out[1]);
    return false;
  }
  bool ok = spawn(launch, in, out[1], err[1], -1, error);
  close(in), close(out[1]), close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  return ok;
}

bool Child::start_on_terminal(const Launch& launch, std::string* error) {
  int master, slave;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  bool ok = spawn(launch, slave, slave, slave, slave, error);
  close(slave);
  terminal_fd_ = master;
  return ok;
}

template <typename Stop>
void Child::collect(long long deadline_ms, Stop stop) {
  for (;;) {
    struct Stream {
      int* fd;
      std::string* sink;
    } streams[] = {{&out_fd_, &out_}, {&err_fd_, &err_}, {&terminal_fd_, &out_}};
    pollfd fds[3];
    Stream* of[3];
    int n = 0;
    for (auto& s : streams)
      if (*s.fd >= 0) fds[n] = {*s.fd, POLLIN, 0}, of[n++] = &s;
    long long left = deadline_ms - now_ms();
    if (n == 0 || left <= 0 || stop()) return;
    if (poll(fds, nfds_t(n), int(left < 50 ? left : 50)) <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) of[i]->sink->append(buffer, size_t(got));
      else if (got == 0 || errno != EINTR) close_fd(of[i]->fd);  // a terminal ends with EIO
    }
  }
}

testing::AssertionResult Child::wait_for(const std::string& text, int timeout_ms) {
  auto seen = [&] {
    return out_.find(text) != std::string::npos || err_.find(text) != std::string::npos;
  };
  collect(now_ms() + timeout_ms, seen);
  if (seen()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "waited " << timeout_ms << " ms for \"" << text
                                     << "\" from the child; it printed:\n" << out_ << err_;
}

void Child::type(const std::string& text) {
  if (terminal_fd_ >= 0) (void)!write(terminal_fd_, text.data(), text.size());
}

void Child::signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

Outcome Child::finish(int timeout_ms) {
  long long deadline = now_ms() + timeout_ms;
  collect(deadline, [] { return false; });
  Outcome outcome;
  if (pid_ > 0 && !reaped_) {
    if (wait_for_end(pid_, int(std::max(0LL, deadline - now_ms())))) {
      reaped_ = waitpid(pid_, &status_, 0) == pid_;
    } else {
      outcome.timed_out = true;
      kill_and_reap();
    }
  }
  if (reaped_ && WIFEXITED(status_)) outcome.exit_status = WEXITSTATUS(status_);
  if (reaped_ && WIFSIGNALED(status_)) outcome.signal = WTERMSIG(status_);
  collect(now_ms() + 200, [] { return false; });  // what the ended child left in the streams
  outcome.out = out_;
  outcome.err = err_;
  return outcome;
}

void Child::kill_and_reap() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, &status_, 0);
  reaped_ = true;
}

Outcome run(const Launch& launch, int timeout_ms) {
  Child child;
  std::string error;
  if (!child.start(launch, &error)) {
    Outcome failed;
    failed.err = error;
    return failed;
  }
  return child.finish(timeout_ms);
}

bool wait_for_end(pid_t pid, int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  auto ended = [pid] {
    siginfo_t info{};
    if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid;
    return kill(pid, 0) != 0 && errno == ESRCH;  // not a child of ours
  };
  // By number: this glibc's <sys/pidfd.h> lacks C linkage for C++.
  int fd = int(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {  // gone already, or a kernel without pidfd_open: look now and then
    while (!ended() && now_ms() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ended();
  }
  pollfd end = {fd, POLLIN, 0};
  int n;
  do n = poll(&end, 1, int(std::max(0LL, deadline - now_ms())));
  while (n < 0 && errno == EINTR);
  close(fd);
  return n > 0;
}

}  // namespace ftptest
