// Socket layer start-up and shared pieces: yxsinit / yxsterm, the descriptor
// bit set, socket options, buffer preparation, and the failures that close a
// socket or name an error number (through module/failure.h).
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

#include "hostsvc/gcb.h"
#include "hostsvc/lookups.h"
#include "module/allocation.h"
#include "module/status.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

constexpr int OPTION_VALUE_MAX = 30;   // characters of an option value converted
constexpr int32_t SOCKET_BUFFER_EXTRA = 256;
constexpr int32_t READ_BUFFER_MAX = 8192;
constexpr int32_t DEFAULT_RECORD_SIZE = 256;
constexpr int32_t TERMINATOR_BUFFER = 4;

// The positive number a host option holds, or 0 when it is absent, not a
// number, zero or negative.
int32_t option_number(void* handle, const char* key) {
  char text[OPTION_VALUE_MAX + 1];
  int32_t n = hostsvc::option_text(handle, key, text, OPTION_VALUE_MAX);
  int32_t converted = 0, number = 0;
  if (n > 0 && wzrlchr(text, n, 0, &converted, &number) == 0 && number > 0) return number;
  return 0;
}

}  // namespace

extern "C" {

FTPAM_VISIBLE int32_t yxsinit(BreakRoutine* routine, BreakRoutine* break_routine_out,
                              void* fileref, int32_t* wait_value_out, int32_t* data_port_out) {
  int32_t wait_value = 0, data_port = 0;
  if (hostsvc::options_offered()) {
    if (void* handle = ytrakcp(fileref)) {
      wait_value = option_number(handle, "XXAMWAIT");
      data_port = option_number(handle, "XXAMTPRT");
      ytrakdp(handle);
    }
  }
  if (wait_value_out) *wait_value_out = wait_value;
  if (data_port_out) *data_port_out = data_port;
  if (break_routine_out && !*break_routine_out && routine) *break_routine_out = *routine;
  return st::OK;
}

FTPAM_VISIBLE int32_t yxsterm(BreakRoutine) { return st::OK; }

// Bit n is bit (n mod 32) of word n / 32; descriptors the set cannot name are
// ignored (the waits refuse them).
void yxtzbit(uint32_t* bitmap, int32_t descriptor, int32_t on) {
  if (!bitmap || descriptor < 0 || descriptor >= FD_BITMAP_BITS) return;
  uint32_t mask = uint32_t(1) << (descriptor % 32);
  if (on) bitmap[descriptor / 32] |= mask;
  else bitmap[descriptor / 32] &= ~mask;
}

void sock_option(int32_t socket, int32_t send_size, int32_t receive_size) {
  if (send_size) {
    int size = send_size + SOCKET_BUFFER_EXTRA;
    yxs_syscalls.setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  if (receive_size) {
    int size = receive_size + SOCKET_BUFFER_EXTRA;
    yxs_syscalls.setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
}

}  // extern "C"

namespace sock {

int32_t fail_with_errno(int error) {
  errno = error;
  return yxtzsub(st::FAILED);
}

int32_t fail_and_close(int socket) {
  int32_t status = yxtzsub(st::FAILED);
  yxs_syscalls.close(socket);
  return status;
}

void set_text(char* field, const char* text, int length) {
  int n = text && length > 0 ? int(strnlen(text, size_t(min(length, SOCK_TEXT - 1)))) : 0;
  if (n > 0) std::memcpy(field, text, size_t(n));
  field[n] = '\0';
}

void set_text(char* field, const char* text) { set_text(field, text, SOCK_TEXT - 1); }

void set_dotted(char* field, const void* address) {
  in_addr a;
  std::memcpy(&a, address, sizeof a);
  set_text(field, inet_ntoa(a));
}

socklen_t socket_address(const Address& address, uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (address.family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(out);
    a->sin6_family = AF_INET6;
    a->sin6_port = port;
    std::memcpy(&a->sin6_addr, address.bytes, sizeof a->sin6_addr);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(out);
  a->sin_family = AF_INET;
  a->sin_port = port;
  std::memcpy(&a->sin_addr, address.bytes, sizeof a->sin_addr);
  return sizeof *a;
}

Address address_of(const sockaddr_storage& socket_address) {
  Address address;
  std::memset(&address, 0, sizeof address);
  if (socket_address.ss_family == AF_INET6) {
    address.family = AF_INET6;
    std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in6&>(socket_address).sin6_addr,
                16);
  } else {
    address.family = AF_INET;
    std::memcpy(address.bytes, &reinterpret_cast<const sockaddr_in&>(socket_address).sin_addr, 4);
  }
  return address;
}

uint16_t port_of(const sockaddr_storage& socket_address) {
  if (socket_address.ss_family == AF_INET6)
    return reinterpret_cast<const sockaddr_in6&>(socket_address).sin6_port;
  return reinterpret_cast<const sockaddr_in&>(socket_address).sin_port;
}

void set_address_text(char* field, const Address& address) {
  char text[INET6_ADDRSTRLEN];
  if (address.family == AF_INET6 && inet_ntop(AF_INET6, address.bytes, text, sizeof text))
    set_text(field, text);
  else
    set_dotted(field, address.bytes);
}

bool record_local_end(sock_conn* block, int socket) {
  sockaddr_storage local;
  socklen_t length = sizeof local;
  if (yxs_syscalls.getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return false;
  std::memset(block->local_sockaddr, 0, sizeof block->local_sockaddr);
  if (local.ss_family == AF_INET6) {
    // Family and port stand where a sockaddr_in has them; the address
    // does not fit and is kept only as text.
    const uint16_t family = AF_INET6, port = port_of(local);
    std::memcpy(block->local_sockaddr, &family, 2);
    std::memcpy(block->local_sockaddr + 2, &port, 2);
  } else {
    std::memcpy(block->local_sockaddr, &local, sizeof block->local_sockaddr);
  }
  set_address_text(block->local_host_ip, address_of(local));
  return true;
}

int32_t ensure_bitmap(sock_conn* block) {
  if (!block->fd_bitmap)
    block->fd_bitmap = static_cast<uint32_t*>(mem::alloc_clear(FD_BITMAP_BYTES));
  return block->fd_bitmap ? st::OK : st::NO_MEMORY;
}

// The read buffer is at least big enough for the largest carry and one new
// byte, so that a refill behind a carry always has room to read into. A
// block that reads first (a data connection) starts with the usual size too
// and grows from there towards its block size as its stream goes on
// (sock::grow_read_buffer). Nothing that an earlier open of the block read
// is left to be read again.
int32_t prepare_buffers(sock_conn* block) {
  block->read_pos = block->read_avail = block->read_end = 0;
  block->at_eof = block->reaccept_pending = 0;
  block->read_buffer_size = READ_BUFFER_MAX;
  block->write_buffer_size = 0;
  const int32_t size = block->block_size;
  if (size != 0) {
    const bool sizes_read = block->direction != SOCK_WRITES;
    const bool sizes_write = block->direction != SOCK_READS;
    if (sizes_read && size > 0 && size < READ_BUFFER_MAX)
      block->read_buffer_size = std::max(size, MAX_CARRY + 1);
    if (sizes_write && size > 0) block->write_buffer_size = size;
  }
  if (block->direction & SOCK_READS) {
    block->read_buffer = static_cast<char*>(mem::alloc_text(block->read_buffer_size));
    if (!block->read_buffer) return st::NO_MEMORY;
  }
  if (block->direction & SOCK_WRITES) {
    block->write_buffer = static_cast<char*>(mem::alloc_text(block->write_buffer_size));
    if (!block->write_buffer) return st::NO_MEMORY;
  }
  block->terminator = static_cast<char*>(mem::alloc_text(TERMINATOR_BUFFER));
  if (!block->terminator) return st::NO_MEMORY;
  switch (block->terminator_kind) {
    case TERM_CRLF:
      block->terminator[0] = '\r';
      block->terminator[1] = '\n';
      block->terminator_length = 2;
      break;
    case TERM_NUL:
      block->terminator[0] = '\0';
      block->terminator_length = 1;
      break;
    default:
      block->terminator[0] = '\n';
      block->terminator_length = 1;
      break;
  }
  if (block->record_size == 0) block->record_size = DEFAULT_RECORD_SIZE;
  if (block->record_size < 0) return st::BAD_RECORD_SIZE;
  block->record = static_cast<char*>(mem::alloc_text(block->record_size));
  if (!block->record) return st::NO_MEMORY;
  if (block->direction & SOCK_WRITES) {
    if (block->record_size > INT32_MAX - TERMINATOR_BUFFER) return st::NO_MEMORY;
    block->staging =
        static_cast<char*>(mem::alloc_text(block->record_size + block->terminator_length));
    if (!block->staging) return st::NO_MEMORY;
  }
  return st::OK;
}

template <typename T>
void release(T*& buffer) {
  mem::release(buffer);
  buffer = nullptr;
}

void release_buffers(sock_conn* block) {
  release(block->read_buffer);
  release(block->write_buffer);
  release(block->record);
  release(block->staging);
  release(block->terminator);
  release(block->fd_bitmap);
}

int32_t abandon_open(sock_conn* block, int socket, int32_t status) {
  yxs_syscalls.close(socket);
  release_buffers(block);
  block->main_socket = block->accepted_socket = -1;
  return status;
}

}  // namespace sock
