// Writing and closing: yxswrit sends the staging buffer (with the terminator
// in terminated-line mode) straight to the socket or through the write
// buffer of a write-only block; send_placed does the same for a record laid
// out in the write buffer itself; send_all is the one place bytes leave, by
// TLS (sock/tls.cpp) or mywrite; yxsclos flushes, ends TLS, closes and
// releases the block's buffers.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "module/status.h"
#include "sock/in_place.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"

extern "C" {

// Partial writes are continued and interrupted ones repeated. A write that
// moves nothing is a failure (reported as an I/O error).
int32_t mywrite(int32_t descriptor, const char* data, int32_t length) {
  while (length > 0) {
    ssize_t n = yxs_syscalls.write(descriptor, data, size_t(length));
    if (n > 0) {
      data += n;
      length -= int32_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0) errno = EIO;
      return 1;
    }
  }
  return 0;
}

// Sends all of `data` on the block's connection: through TLS when the
// connection is TLS, else with mywrite. A plain write that failed hands the
// system's text over, except that on a block that takes a reset for the end
// of the stream a peer that has gone (reset, or the pipe broken by it) ends
// the stream here too: no text, at_eof set, END_OF_DATA, as a read would say.
static int32_t send_all(sock_conn* block, int32_t descriptor, const char* data, int32_t length) {
  block->write_count += 1;
  if (block->tls) return sock::tls_send(block, data, length);
  if (!mywrite(descriptor, data, length)) return st::OK;
  if (block->reset_is_end && (errno == ECONNRESET || errno == EPIPE)) {
    block->at_eof = 1;
    return st::END_OF_DATA;
  }
  return yxtzsub(st::FAILED);
}

// The staging buffer holds record_size bytes plus room for the terminator; a
// staging_length outside 0..record_size is refused rather than written past
// that buffer.
FTPAM_VISIBLE int32_t yxswrit(sock_conn* block) {
  const int32_t fd = sock::data_socket(block);
  if (!block->staging || block->staging_length < 0 ||
      block->staging_length > block->record_size)
    return sock::fail_with_errno(block->staging ? EINVAL : EBADF);
  int32_t total = block->staging_length;
  if ((block->read_mode & READ_TERMINATED) && block->terminator) {
    std::memcpy(block->staging + total, block->terminator, size_t(block->terminator_length));
    total += block->terminator_length;
  }
  if (!block->write_buffer || block->write_buffer_size <= 0 || (block->direction & SOCK_READS))
    return send_all(block, fd, block->staging, total);
  // A full buffer's worth of staging while the buffer is empty goes out
  // straight from staging: the same write, without copying it first.
  for (int32_t moved = 0; moved < total;) {
    if (block->write_fill == 0 && total - moved >= block->write_buffer_size) {
      int32_t status = send_all(block, fd, block->staging + moved, block->write_buffer_size);
      if (status != st::OK) return status;
      moved += block->write_buffer_size;
      continue;
    }
    int32_t n = std::min(block->write_buffer_size - block->write_fill, total - moved);
    std::memcpy(block->write_buffer + block->write_fill, block->staging + moved, size_t(n));
    block->write_fill += n;
    moved += n;
    if (block->write_fill == block->write_buffer_size) {
      int32_t status = send_all(block, fd, block->write_buffer, block->write_fill);
      if (status != st::OK) return status;
      block->write_fill = 0;
    }
  }
  return st::OK;
}

FTPAM_VISIBLE int32_t yxsclos(sock_conn* block) {
  int32_t status = st::OK;
  if (block->write_fill > 0) {
    status = send_all(block, sock::data_socket(block), block->write_buffer, block->write_fill);
    block->write_fill = 0;
  }
  sock::tls_close(block);
  if (block->accepted_socket != -1) yxs_syscalls.close(block->accepted_socket);
  if (block->main_socket != -1) yxs_syscalls.close(block->main_socket);
  block->accepted_socket = block->main_socket = -1;
  sock::release_buffers(block);
  return status;
}

}  // extern "C"

int32_t sock::send_placed(sock_conn* block, char* place, int32_t n) {
  block->staging_length = n;
  if (place != block->write_buffer + block->write_fill) return yxswrit(block);
  if ((block->read_mode & READ_TERMINATED) && block->terminator)
    for (int32_t i = 0; i < block->terminator_length; ++i) place[n++] = block->terminator[i];
  block->write_fill += n;
  if (block->write_fill < block->write_buffer_size) return st::OK;
  int32_t status = send_all(block, sock::data_socket(block), block->write_buffer, block->write_fill);
  if (status == st::OK) block->write_fill = 0;
  return status;
}
