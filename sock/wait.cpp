// Waiting for a readable descriptor through the host's event services
// (yxtzsnb; sock::wait_readable for several descriptors at once), and ending
// such a wait from a break routine (yxsbrk).
//
// The task sleeps in the host's event wait, never in select: select only
// polls afterwards, with a zero time-out. The one exception is the gathering
// moment of a stream that reads first (sock::gather), a few milliseconds at
// most, after which the host's wait follows as usual. A wait on a block with a break word
// publishes its break block in the current task's wait slot, where yxsbrk
// finds it when the host runs the pushed break routine.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>

#include "hostsvc/gcb.h"
#include "module/status.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"

namespace {

constexpr int EVENT_WORDS = 5;

struct BreakBlock {
  int32_t* event;   // the wait's event block
  int32_t broken;   // set by yxsbrk
};
static_assert(sizeof(BreakBlock) == 8);

void** wait_slot() { return v_global_gcb_anchor ? gcb::wait_slot(v_global_gcb_anchor) : nullptr; }

}  // namespace

namespace sock {

int32_t host_wait(const int32_t* descriptors, int count, int32_t* break_word,
                  BreakRoutine break_routine) {
  int32_t event[EVENT_WORDS] = {};
  BreakBlock breaker{event, 0};
  void** slot = nullptr;
  if (break_word) {
    *break_word = 0;
    wtspush(1, 1, reinterpret_cast<void*>(break_routine));
    slot = wait_slot();
    if (slot) *slot = &breaker;
  }
  wtgclr(event);
  if (count > 0) {
    for (int i = 0; i < count; ++i) vtfdreg(descriptors[i], event, 1);
    void* events[1] = {event};
    wtgwait(0, 1, 1, events);
  }
  if (break_word) {
    wtpoll();
    wtspop(1, 1);
    if (slot) *slot = nullptr;
  }
  for (int i = 0; i < count; ++i) vtfdclr(descriptors[i]);
  if (break_word && breaker.broken) return report_message(msg::WAIT_BROKEN);
  return st::OK;
}

bool gather(int descriptor, int32_t bytes) {
  if (descriptor < 0 || descriptor >= FD_BITMAP_BITS) return false;
  int low = std::min(bytes, GATHER_BYTES);
  if (low <= 1 || yxs_syscalls.setsockopt(descriptor, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low) != 0)
    return false;
  uint32_t polled[FD_BITMAP_WORDS];
  std::memset(polled, 0, sizeof(uint32_t) * size_t(descriptor / 32 + 1));
  yxtzbit(polled, descriptor, 1);
  timeval moment = {0, GATHER_WAIT_MICROSECONDS};
  const int ready = yxs_syscalls.select(descriptor + 1, reinterpret_cast<fd_set*>(polled), nullptr,
                                        nullptr, &moment);
  const int saved = errno;
  low = 1;
  yxs_syscalls.setsockopt(descriptor, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low);
  errno = saved;
  return ready > 0;
}

int32_t check_break(int32_t* break_word, BreakRoutine break_routine) {
  return break_word ? host_wait(nullptr, 0, break_word, break_routine) : st::OK;
}

// The set handed to select is a bit set as large as the descriptors need
// (the layout yxtzsnb uses), not an fd_set, which cannot name descriptors
// from FD_SETSIZE (1024) on.
int32_t poll_readable(const int32_t* descriptors, int count, uint32_t* ready) {
  *ready = 0;
  int highest = -1;
  for (int i = 0; i < count; ++i) {
    if (descriptors[i] < 0 || descriptors[i] >= FD_BITMAP_BITS) return fail_with_errno(EBADF);
    highest = std::max(highest, int(descriptors[i]));
  }
  const size_t words = size_t(highest / 32 + 1);
  uint32_t polled[FD_BITMAP_WORDS];
  for (;;) {
    std::memset(polled, 0, sizeof(uint32_t) * words);
    for (int i = 0; i < count; ++i) yxtzbit(polled, descriptors[i], 1);
    timeval no_wait = {0, 0};
    int found = yxs_syscalls.select(highest + 1, reinterpret_cast<fd_set*>(polled), nullptr,
                                    nullptr, &no_wait);
    if (found < 0 && errno == EINTR) continue;
    if (found < 0) return yxtzsub(st::FAILED);
    for (int i = 0; i < count; ++i)
      if (polled[descriptors[i] / 32] & (uint32_t(1) << (descriptors[i] % 32)))
        *ready |= uint32_t(1) << i;
    return st::OK;
  }
}

int32_t wait_readable(const int32_t* descriptors, int count, int32_t* break_word,
                      BreakRoutine break_routine, int32_t wait_value, uint32_t* ready) {
  int32_t status = poll_readable(descriptors, count, ready);
  while (status == st::OK && !*ready) {
    status = host_wait(descriptors, count, break_word, break_routine);
    if (status != st::OK) return status;
    status = poll_readable(descriptors, count, ready);
    // The host's idle limit passed with nothing readable.
    if (status == st::OK && !*ready && wait_value > 0)
      return report_message(msg::WAIT_TIMED_OUT, wait_value);
  }
  return status;
}

}  // namespace sock

extern "C" {

// The poll looks at the first descriptor_count bits only, so only the words
// holding them are copied; select sees the same bits either way.
FTPAM_VISIBLE int32_t yxtzsnb(int32_t descriptor_count, uint32_t* bitmap, int32_t* break_word,
                              BreakRoutine break_routine, int32_t wait_value) {
  const int32_t descriptor = descriptor_count - 1;
  if (!bitmap || descriptor < 0 || descriptor >= FD_BITMAP_BITS)
    return sock::fail_with_errno(EBADF);
  const int words = descriptor / 32 + 1;
  for (;;) {
    uint32_t polled[FD_BITMAP_WORDS];
    std::memcpy(polled, bitmap, sizeof(uint32_t) * size_t(words));
    int32_t status = sock::host_wait(&descriptor, 1, break_word, break_routine);
    if (status != st::OK) return status;

    timeval no_wait = {0, 0};
    int ready = yxs_syscalls.select(descriptor_count, reinterpret_cast<fd_set*>(polled), nullptr,
                                    nullptr, &no_wait);
    status = st::OK;
    if (ready < 0) {
      if (errno == EINTR) continue;
      if (errno != 0) status = yxtzsub(st::FAILED);
      ready = 0;
    }
    if (ready == 0 && wait_value > 0)
      status = report_message(msg::WAIT_TIMED_OUT, wait_value);
    return status;
  }
}

FTPAM_VISIBLE void yxsbrk(void) {
  void** slot = wait_slot();
  auto* breaker = slot ? static_cast<BreakBlock*>(*slot) : nullptr;
  if (!breaker || !breaker->event) return;
  wtgpost(breaker->event, 0);
  breaker->broken = 1;
}

}  // extern "C"
