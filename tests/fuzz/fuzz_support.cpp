#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "host/events.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "tests/support/loaded_module.h"
#include "tests/support/loopback.h"
#include "tests/support/net.h"

namespace fuzz {

void start() {
  static bool started = false;
  if (started) return;
  // Fuzz targets running at the same time (and the test suite) never meet on
  // an address; where that cannot be had, the peer's address is leased.
  std::string error;
  ftptest::isolate_loopback(&error);
  if (!ftptest::load_module(&error)) {
    std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
    std::abort();
  }
  // A wait with nothing to wake it would stall the fuzzer: end it instead.
  host::events::set_idle_limit(10);
  started = true;
}

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

std::string private_home() {
  static std::string home;
  char pattern[] = "/tmp/ftpam-fuzz-home-XXXXXX";
  require(mkdtemp(pattern) != nullptr, "mkdtemp");
  home = pattern;
  setenv("HOME", pattern, 1);
  std::atexit([] {
    unlink((home + "/.netrc").c_str());
    rmdir(home.c_str());
  });
  return home;
}

void release_options(FtpOptions* block) {
  if (block)
    ftptest::module().call(host::slot::RELEASE_OPTIONS, "        ",
                                              static_cast<void*>(nullptr), block);
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

Baseline::Baseline()
    : blocks_(host::memory::live_blocks()), descriptors_(open_descriptors()) {}

void Baseline::check() const {
  host::messages::clear_log();
  host::messages::take_failure_texts();
  require(host::memory::live_blocks() == blocks_, "pool blocks left behind");
  require(open_descriptors() == descriptors_, "descriptors left behind");
  require(host::events::registered_descriptors() == 0, "descriptors left registered");
  require(host::events::pushed_states() == 0, "wait states left pushed");
}

uint8_t Input::byte() { return p_ < end_ ? *p_++ : 0; }

uint16_t Input::word() {
  uint16_t high = byte();
  return uint16_t(high << 8 | byte());
}

std::string Input::rest() {
  std::string s(reinterpret_cast<const char*>(p_), size_t(end_ - p_));
  p_ = end_;
  return s;
}

std::string Input::line(size_t limit) {
  std::string s;
  while (p_ < end_ && s.size() < limit) {
    char c = char(*p_++);
    if (c == '\n') break;
    s += c;
  }
  return s;
}

// ------------------------------------------------------------ the peer

struct ControlPeer::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool planned = false;  // a session is waiting for its connection
  bool taken = false;    // a connection took it
  bool ended = false;    // and has ended
  std::string bytes;
  std::function<std::string(const std::string&)> answer;
  ftptest::Fd listener;
  int stop[2] = {-1, -1};
  std::thread thread;
};

namespace {
constexpr int SESSION_MS = 15000;

// Reads and drops what the module sends until it closes its end.
void drain(int fd, int stop) {
  std::string ignored;
  while (ftptest::receive_some(fd, ignored, SESSION_MS, stop) > 0) ignored.clear();
}

void converse(int fd, int stop, const std::function<std::string(const std::string&)>& answer) {
  if (!ftptest::send_all(fd, answer(""), SESSION_MS, stop)) return;
  std::string pending;
  while (ftptest::receive_some(fd, pending, SESSION_MS, stop) > 0) {
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!ftptest::send_all(fd, answer(line), SESSION_MS, stop)) return;
    }
  }
}
}  // namespace

ControlPeer::ControlPeer() : state_(new State) {
  std::string error;
  state_->listener = ftptest::listen_on_own_loopback(21, &address_, &error);
  if (!state_->listener) std::fprintf(stderr, "%s\n", error.c_str());
  require(bool(state_->listener), "no loopback address of our own with port 21");
  require(pipe2(state_->stop, O_CLOEXEC) == 0, "pipe");
  state_->thread = std::thread([this] { run(); });
}

ControlPeer::~ControlPeer() {
  (void)!write(state_->stop[1], "x", 1);
  state_->thread.join();
  close(state_->stop[0]);
  close(state_->stop[1]);
  delete state_;
}

void ControlPeer::run() {
  State& s = *state_;
  for (;;) {
    ftptest::Fd connection = ftptest::accept_within(s.listener.get(), 60000, s.stop[0]);
    if (ftptest::wait_for(s.stop[0], POLLIN, 0) == ftptest::Wait::Ready) return;
    if (!connection) continue;
    std::unique_lock lock(s.mutex);
    if (!s.planned || s.taken) continue;  // nobody expects this one
    s.taken = true;
    std::string bytes = std::move(s.bytes);
    auto answer = std::move(s.answer);
    lock.unlock();
    if (answer) {
      converse(connection.get(), s.stop[0], answer);
    } else {
      ftptest::send_all(connection.get(), bytes, SESSION_MS, s.stop[0]);
      shutdown(connection.get(), SHUT_WR);
    }
    drain(connection.get(), s.stop[0]);
    connection.reset();
    lock.lock();
    s.ended = true;
    s.changed.notify_all();
  }
}

void ControlPeer::send_all(std::string bytes) {
  std::lock_guard lock(state_->mutex);
  state_->planned = true;
  state_->taken = state_->ended = false;
  state_->bytes = std::move(bytes);
  state_->answer = nullptr;
}

void ControlPeer::answer(std::function<std::string(const std::string&)> answer) {
  std::lock_guard lock(state_->mutex);
  state_->planned = true;
  state_->taken = state_->ended = false;
  state_->bytes.clear();
  state_->answer = std::move(answer);
}

void ControlPeer::finish() {
  std::unique_lock lock(state_->mutex);
  if (state_->taken)
    require(state_->changed.wait_for(lock, std::chrono::milliseconds(2 * SESSION_MS),
                                     [&] { return state_->ended; }),
            "the module kept its control connection open");
  state_->planned = false;
}

}  // namespace fuzz
