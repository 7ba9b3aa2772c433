// Event services of the reference host: vtfdreg / vtfdclr, wtgclr / wtgpost
// / wtgwait, wtspush / wtspop / wtpoll, and break delivery through a
// self-pipe so that a break can be requested from a signal handler or
// another thread while the task sleeps in poll().
#include "host/events.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "host/options.h"
#include "module/status.h"

namespace host::events {
namespace {

// The module's 5-word event block; the host uses the first two words.
struct Event {
  std::atomic<int32_t> posted;
  int32_t code;
  int32_t spare[3];
};
static_assert(sizeof(Event) == 20);

constexpr int32_t WAIT_POSTED = 0;
constexpr int32_t WAIT_IDLE = 1;   // the idle limit passed with nothing posted

struct Registration {
  int fd;
  Event* event;
};

int g_wake[2] = {-1, -1};
std::atomic<int> g_break_requested{0};
int g_breaks_delivered = 0;
long g_waits = 0;
int g_idle_limit = 0;
std::vector<Registration> g_registered;
std::vector<void*> g_states;  // break routine of each pushed task state

// Made before main, so that request_break never has to create it.
struct WakePipe {
  WakePipe() {
    if (pipe2(g_wake, O_NONBLOCK | O_CLOEXEC) != 0) g_wake[0] = g_wake[1] = -1;
  }
} g_wake_pipe;

void wake() {
  if (g_wake[1] >= 0) {
    char byte = 1;
    ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
  }
}

void drain_wake_pipe() {
  char bytes[64];
  while (g_wake[0] >= 0 && read(g_wake[0], bytes, sizeof bytes) > 0) {
  }
}

// Runs the break routine of the innermost pushed state when a break is
// pending. True when a routine ran.
bool deliver_break() {
  if (g_states.empty() || !g_states.back()) return false;
  if (!g_break_requested.exchange(0)) return false;
  ++g_breaks_delivered;
  reinterpret_cast<int32_t (*)()>(g_states.back())();
  return true;
}

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool any_posted(int32_t count, void** events) {
  for (int32_t i = 0; i < count; ++i)
    if (events[i] && static_cast<Event*>(events[i])->posted.load()) return true;
  return false;
}

void post(Event* event, int32_t code) {
  event->code = code;
  event->posted.store(1);
}

}  // namespace

void request_break() {
  g_break_requested.store(1);
  wake();
}
void cancel_break() { g_break_requested.store(0); }
bool break_pending() { return g_break_requested.load() != 0; }
int breaks_delivered() { return g_breaks_delivered; }
long waits() { return g_waits; }

void set_idle_limit(int seconds) { g_idle_limit = seconds; }

int idle_limit() {
  if (g_idle_limit != 0) return g_idle_limit > 0 ? g_idle_limit : 0;
  std::string wait = options::get("XXAMWAIT");
  char* end = nullptr;
  long seconds = wait.empty() ? 0 : std::strtol(wait.c_str(), &end, 10);
  return end && *end == '\0' && seconds > 0 && seconds < 86400 * 366 ? int(seconds) : 0;
}

namespace {
void on_interrupt(int) { request_break(); }
}  // namespace

void install_interrupt_handler() {
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

int registered_descriptors() { return int(g_registered.size()); }
int pushed_states() { return int(g_states.size()); }

}  // namespace host::events

using namespace host::events;

// (descriptor, event, 1): the event is posted when the descriptor becomes
// readable (or reports an error or hang-up) during a wait.
extern "C" int32_t hs_vtfdreg(int32_t fd, void* event, int32_t) {
  if (fd < 0 || !event) return st::FAILED;
  for (auto& r : g_registered)
    if (r.fd == fd) {
      r.event = static_cast<Event*>(event);
      return st::OK;
    }
  g_registered.push_back({fd, static_cast<Event*>(event)});
  return st::OK;
}

extern "C" int32_t hs_vtfdclr(int32_t fd) {
  for (auto it = g_registered.begin(); it != g_registered.end(); ++it)
    if (it->fd == fd) {
      g_registered.erase(it);
      return st::OK;
    }
  return st::OK;
}

extern "C" int32_t hs_wtgclr(void* event) {
  if (!event) return st::FAILED;
  auto* e = static_cast<Event*>(event);
  e->posted.store(0);
  e->code = 0;
  return st::OK;
}

// Safe from a break routine, another thread or a signal handler.
extern "C" int32_t hs_wtgpost(void* event, int32_t code) {
  if (!event) return st::FAILED;
  post(static_cast<Event*>(event), code);
  wake();
  return st::OK;
}

// (0, 1, count, events): 0 when one of the events was posted, 1 when the idle
// limit passed first.
extern "C" int32_t hs_wtgwait(int32_t, int32_t, int32_t count, void** events) {
  ++g_waits;
  const int limit = idle_limit();
  const int64_t deadline = limit > 0 ? now_ms() + int64_t(limit) * 1000 : 0;
  std::vector<pollfd> fds;
  for (;;) {
    if (any_posted(count, events)) return WAIT_POSTED;
    if (deliver_break()) continue;
    int timeout = -1;
    if (deadline) {
      int64_t left = deadline - now_ms();
      if (left <= 0) return WAIT_IDLE;
      timeout = int(left);
    }
    fds.assign(1, pollfd{g_wake[0], POLLIN, 0});
    for (const auto& r : g_registered)
      if (!r.event->posted.load()) fds.push_back(pollfd{r.fd, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return st::FAILED;
    }
    if (fds[0].revents) drain_wake_pipe();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      for (auto& r : g_registered)
        if (r.fd == fds[i].fd) post(r.event, 0);
    }
  }
}

// (1, 1, routine): pushes a task state whose break routine the host runs when
// a break is requested during the wait that follows.
extern "C" int32_t hs_wtspush(int32_t, int32_t, void* routine) {
  g_states.push_back(routine);
  return st::OK;
}

extern "C" int32_t hs_wtspop(int32_t, int32_t) {
  if (g_states.empty()) return st::FAILED;
  g_states.pop_back();
  return st::OK;
}

// Delivers a break that is pending for the innermost pushed state.
extern "C" int32_t hs_wtpoll() {
  deliver_break();
  return st::OK;
}
