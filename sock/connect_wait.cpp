// TCP client connections made without blocking the task: the control
// connection (yxscopn, each address of the server in turn) and the
// passive-mode data connection, to the port an FTP server names. A connect
// is started non-blocking and then watched in short slices; between slices the host
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
// the other (OK), `limit_ms` passes (CONNECT_NOT_MADE), or a break is
// confirmed or the poll fails (reported).
int32_t wait_for_connect(sock_conn* block, int socket, int64_t limit_ms, int64_t* waited_ms) {
  for (;; *waited_ms += SLICE_MS) {
    pollfd watch = {socket, POLLOUT, 0};
    int found = yxs_syscalls.poll(&watch, 1, SLICE_MS);
    if (found > 0) return st::OK;
    if (found < 0 && errno != EINTR) return yxtzsub(st::FAILED);
    int32_t status = sock::check_break(block->break_word, block->break_routine);
    if (status != st::OK) return status;
    if (limit_ms >= 0 && *waited_ms + SLICE_MS >= limit_ms) {
      *waited_ms += SLICE_MS;
      return sock::CONNECT_NOT_MADE;
    }
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

int32_t connect_once(sock_conn* block, const Address& address, uint16_t port, int64_t limit_ms,
                     bool reset_is_connected, int* socket_out, int* error, int64_t* waited_ms) {
  *socket_out = -1;
  sockaddr_storage peer;
  const socklen_t length = socket_address(address, port, &peer);
  int s = yxs_syscalls.socket(address.family, SOCK_STREAM, 0);
  if (s < 0) {
    *error = errno;
    return CONNECT_NOT_MADE;
  }
  sock_option(s, block->write_buffer_size, block->read_buffer_size);
  if (!set_blocking(s, false)) return fail_and_close(s);
  if (yxs_syscalls.connect(s, reinterpret_cast<sockaddr*>(&peer), length) != 0) {
    // A connect interrupted by a signal goes on in the background, like one
    // in progress.
    if (errno != EINPROGRESS && errno != EINTR) {
      *error = errno;
      yxs_syscalls.close(s);
      return CONNECT_NOT_MADE;
    }
    int32_t status = wait_for_connect(block, s, limit_ms, waited_ms);
    if (status == CONNECT_NOT_MADE) *error = LIMIT_PASSED;
    if (status == st::OK) {
      int ended_with = connect_error(s);
      if (ended_with == ECONNRESET && reset_is_connected) ended_with = 0;
      if (ended_with != 0) {
        *error = ended_with;
        status = CONNECT_NOT_MADE;
      }
    }
    if (status != st::OK) {
      yxs_syscalls.close(s);
      return status;
    }
  }
  // Reads and writes on the connection block in the system call once the
  // host's wait has found the socket ready.
  if (!set_blocking(s, true)) return fail_and_close(s);
  *socket_out = s;
  return st::OK;
}

int32_t connect_within_wait(sock_conn* block, int32_t family, const void* address,
                            int32_t port) {
  block->main_socket = block->accepted_socket = -1;
  Address to;
  std::memset(&to, 0, sizeof to);
  to.family = family == AF_INET6 ? AF_INET6 : AF_INET;
  std::memcpy(to.bytes, address, to.family == AF_INET6 ? 16 : 4);
  const int64_t limit_ms = block->wait_value > 0 ? int64_t(block->wait_value) * 1000 : -1;
  int s = -1, error = 0;
  int64_t waited_ms = 0;
  int32_t status =
      connect_once(block, to, htons(uint16_t(port)), limit_ms, false, &s, &error, &waited_ms);
  if (status == CONNECT_NOT_MADE && error == LIMIT_PASSED)
    return report_message(msg::WAIT_TIMED_OUT, block->wait_value);
  if (status == CONNECT_NOT_MADE) return fail_with_errno(error);
  if (status != st::OK) return status;

  if (!record_local_end(block, s)) return fail_and_close(s);
  set_address_text(block->service_ip, to);
  block->service_portno = port;
  block->address_family = to.family;
  return finish_open(block, s, true);
}

}  // namespace sock
