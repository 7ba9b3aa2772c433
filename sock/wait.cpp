// Waiting for a readable descriptor through the host's event services
// (yxtzsnb; sock::wait_readable for several descriptors at once), and ending
// such a wait from a break routine (yxsbrk).
//
// The task sleeps in the host's event wait, never in poll: poll only looks
// afterwards, with a zero time-out. The one exception is the gathering
// moment of a stream that reads first (sock::gather), a few milliseconds at
// most, after which the host's wait follows as usual. poll, not select: a
// select set cannot name descriptors from FD_SETSIZE (1024) on, and an
// emulator's select may abort the whole process on one; the bit sets of the
// exported entries are translated into poll entries here. A wait on a block with a break word
// publishes its break block in the current task's wait slot, where yxsbrk
// finds it when the host runs the pushed break routine.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
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

// Descriptors looked at by one poll call of yxtzsnb; a bit set naming more
// is looked at in several calls, which a zero time-out makes equivalent.
constexpr int POLL_BATCH = 32;

// poll for readability, as select would answer it: the number of
// descriptors readable (an end of stream or an error counts, as select
// reports them readable too), or -1 with errno set. A descriptor that is not
// open fails with EBADF, as it does in select.
int poll_in(pollfd* entries, int count, int timeout_ms) {
  for (int i = 0; i < count; ++i) entries[i].events = POLLIN, entries[i].revents = 0;
  const int found = yxs_syscalls.poll(entries, nfds_t(count), timeout_ms);
  if (found <= 0) return found;
  for (int i = 0; i < count; ++i)
    if (entries[i].revents & POLLNVAL) return errno = EBADF, -1;
  return found;
}

// The readable count of the descriptors below `descriptor_count` whose bits
// are on in `bitmap`, without waiting; -1 with errno set on failure.
int poll_bitmap(const uint32_t* bitmap, int32_t descriptor_count) {
  pollfd batch[POLL_BATCH];
  int pending = 0, ready = 0;
  for (int32_t fd = 0; fd <= descriptor_count; ++fd) {
    const bool past_last = fd == descriptor_count;
    if (!past_last && (bitmap[fd / 32] >> (fd % 32)) & 1) batch[pending++].fd = fd;
    if (pending == POLL_BATCH || (past_last && pending > 0)) {
      const int found = poll_in(batch, pending, 0);
      if (found < 0) return found;
      ready += found;
      pending = 0;
    }
  }
  return ready;
}

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
  if (descriptor < 0) return false;
  int low = std::min(bytes, GATHER_BYTES);
  if (low <= 1 || yxs_syscalls.setsockopt(descriptor, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low) != 0)
    return false;
  pollfd entry = {descriptor, POLLIN, 0};
  const int ready = poll_in(&entry, 1, GATHER_WAIT_MICROSECONDS / 1000);
  const int saved = errno;
  low = 1;
  yxs_syscalls.setsockopt(descriptor, SOL_SOCKET, SO_RCVLOWAT, &low, sizeof low);
  errno = saved;
  return ready > 0;
}

int32_t check_break(int32_t* break_word, BreakRoutine break_routine) {
  return break_word ? host_wait(nullptr, 0, break_word, break_routine) : st::OK;
}

int32_t poll_readable(const int32_t* descriptors, int count, uint32_t* ready) {
  *ready = 0;
  pollfd entries[32];
  if (count > 32) return fail_with_errno(EINVAL);
  for (int i = 0; i < count; ++i) {
    if (descriptors[i] < 0) return fail_with_errno(EBADF);
    entries[i].fd = descriptors[i];
  }
  for (;;) {
    const int found = poll_in(entries, count, 0);
    if (found < 0 && errno == EINTR) continue;
    if (found < 0) return yxtzsub(st::FAILED);
    for (int i = 0; i < count; ++i)
      if (entries[i].revents) *ready |= uint32_t(1) << i;
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

// Only the first descriptor_count bits of the bit set are looked at, each
// one that is on as a poll entry.
FTPAM_VISIBLE int32_t yxtzsnb(int32_t descriptor_count, uint32_t* bitmap, int32_t* break_word,
                              BreakRoutine break_routine, int32_t wait_value) {
  const int32_t descriptor = descriptor_count - 1;
  if (!bitmap || descriptor < 0 || descriptor >= FD_BITMAP_BITS)
    return sock::fail_with_errno(EBADF);
  for (;;) {
    int32_t status = sock::host_wait(&descriptor, 1, break_word, break_routine);
    if (status != st::OK) return status;

    int ready = poll_bitmap(bitmap, descriptor_count);
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
