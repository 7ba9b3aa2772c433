// A TCP client connection made without blocking the task: the passive-mode
// data connection, to the port an FTP server names. The connect is started
// non-blocking and then watched in short slices; between slices the host
// gets the chance to deliver a break, so a confirmed break ends the connect,
// and the host option XXAMWAIT bounds it like every other wait of the layer.
//
// The host's waits wake on readable descriptors only, while a connecting
// socket becomes writable, not readable, when its connect completes; so the
// slices poll for writability themselves. Only system calls of the oldest C
// libraries are used (poll, ioctl), which keeps the module loadable there.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "module/msgno.h"
#include "module/status.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"

namespace {

constexpr int SLICE_MS = 100;

bool set_blocking(int socket, bool blocking) {
  int non_blocking = blocking ? 0 : 1;
  return ioctl(socket, FIONBIO, &non_blocking) == 0;
}

// Watches the connect in progress on `socket` until it has ended one way or
// the other, the wait limit passes or a break is confirmed.
int32_t wait_for_connect(sock_conn* block, int socket) {
  const int64_t limit_ms = block->wait_value > 0 ? int64_t(block->wait_value) * 1000 : -1;
  for (int64_t waited_ms = 0;; waited_ms += SLICE_MS) {
    pollfd watch = {socket, POLLOUT, 0};
    int found = yxs_syscalls.poll(&watch, 1, SLICE_MS);
    if (found > 0) return st::OK;
    if (found < 0 && errno != EINTR) return yxtzsub(st::FAILED);
    int32_t status = sock::check_break(block->break_word, block->break_routine);
    if (status != st::OK) return status;
    if (limit_ms >= 0 && waited_ms + SLICE_MS >= limit_ms)
      return report_message(msg::WAIT_TIMED_OUT, block->wait_value);
  }
}

// The outcome of a connect that was in progress: 0, or the error it ended with.
int connect_error(int socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

namespace sock {

int32_t connect_within_wait(sock_conn* block, const void* address, int32_t port) {
  block->main_socket = block->accepted_socket = -1;
  int s = yxs_syscalls.socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return yxtzsub(st::FAILED);
  sock_option(s, block->write_buffer_size, block->read_buffer_size);
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(uint16_t(port));
  std::memcpy(&peer.sin_addr, address, 4);

  if (!set_blocking(s, false)) return fail_and_close(s);
  if (yxs_syscalls.connect(s, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    // A connect interrupted by a signal goes on in the background, like one
    // in progress.
    if (errno != EINPROGRESS && errno != EINTR) return fail_and_close(s);
    int32_t status = wait_for_connect(block, s);
    if (status != st::OK) {
      yxs_syscalls.close(s);
      return status;
    }
    if (int error = connect_error(s)) {
      errno = error;
      return fail_and_close(s);
    }
  }
  // Reads and writes on the connection block in the system call once the
  // host's wait has found the socket ready.
  if (!set_blocking(s, true)) return fail_and_close(s);

  sockaddr_in local;
  socklen_t length = sizeof local;
  if (yxs_syscalls.getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return fail_and_close(s);
  std::memcpy(block->local_sockaddr, &local, sizeof block->local_sockaddr);
  set_dotted(block->local_host_ip, &local.sin_addr);
  set_dotted(block->service_ip, &peer.sin_addr);
  block->service_portno = port;

  return finish_open(block, s, true);
}

}  // namespace sock
