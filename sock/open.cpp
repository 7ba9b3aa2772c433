// Opening connections: TCP client (yxscopn), local-socket client (yxscuop),
// TCP server (yxssopn), the active-mode data socket (yxscsoc, yxslisn) and
// accepting on a listening block (yxsacc).
//
// Every open sets both socket fields to -1 before anything can fail. An open
// that fails after making its socket closes it and releases whatever buffers
// it obtained, so a failed open leaves no descriptor and no pool block behind
// and the block is idle again.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/un.h>

#include "module/status.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

constexpr int SERVER_BACKLOG = 128;
constexpr int DATA_BACKLOG = 5;
constexpr int32_t PORT_SHIFT = 16;  // data sockets keep their port in the upper half

// The wildcard address of `family` with `port` (network order).
socklen_t any_address(int family, uint16_t port, sockaddr_storage* out) {
  sock::Address any;
  std::memset(&any, 0, sizeof any);  // INADDR_ANY and in6addr_any are all zero
  any.family = family;
  return sock::socket_address(any, port, out);
}

bool local_name(int socket, sockaddr_storage* local) {
  socklen_t length = sizeof *local;
  return yxs_syscalls.getsockname(socket, reinterpret_cast<sockaddr*>(local), &length) == 0;
}

// The data-socket encoding of a port: the port number times 65536.
int32_t shifted_port(const sockaddr_storage& local) {
  return int32_t(uint32_t(ntohs(sock::port_of(local))) << PORT_SHIFT);
}

// The text of the address yxshost resolved.
void set_resolved_text(char* field, const sock_conn* block) {
  sock::Address resolved;
  std::memset(&resolved, 0, sizeof resolved);
  resolved.family = block->address_length == 16 ? AF_INET6 : AF_INET;
  std::memcpy(resolved.bytes, block->address, resolved.family == AF_INET6 ? 16 : 4);
  sock::set_address_text(field, resolved);
}

// A new socket: its descriptor, or -1 after the system's text has gone to the
// host.
int new_socket(int domain) {
  int s = yxs_syscalls.socket(domain, SOCK_STREAM, 0);
  if (s < 0) yxtzsub(st::FAILED);
  return s;
}

}  // namespace

namespace sock {

int32_t finish_open(sock_conn* block, int socket, bool watch) {
  int32_t status = prepare_buffers(block);
  if (status == st::OK && watch) status = ensure_bitmap(block);
  if (status != st::OK) return abandon_open(block, socket, status);
  if (watch) yxtzbit(block->fd_bitmap, socket, 1);
  block->main_socket = socket;
  return st::OK;
}

int accept_peer(int listener, sockaddr_storage* peer) {
  for (;;) {
    socklen_t length = sizeof *peer;
    int s = yxs_syscalls.accept(listener, reinterpret_cast<sockaddr*>(peer), &length);
    if (s >= 0 || errno != EINTR) return s;
  }
}

void note_accepted_peer(sock_conn* block, const sockaddr_storage& peer) {
  const Address address = address_of(peer);
  set_address_text(block->accepted_peer_ip, address);
  ypmlog(msg::GROUP, msg::CONNECTION_ACCEPTED, block->accepted_peer_ip);
  const socklen_t length = address.family == AF_INET6 ? 16 : 4;
  if (hostent* host = yxs_syscalls.gethostbyaddr(address.bytes, length, address.family))
    set_text(block->accepted_peer_name, host->h_name);
}

// Closes the accepted socket and listens again, as if no peer had come.
void drop_accepted(sock_conn* block) {
  if (block->accepted_socket == -1) return;
  yxs_syscalls.close(block->accepted_socket);
  yxtzbit(block->fd_bitmap, block->accepted_socket, 0);
  yxtzbit(block->fd_bitmap, block->main_socket, 1);
  block->accepted_socket = -1;
  block->accepted_peer_ip[0] = '\0';
}

}  // namespace sock

extern "C" {

// Each address of the server in the resolver's order, until one connects;
// XXAMWAIT bounds them all together, each taking an equal share of what is
// left, so that an address that never answers leaves time for the next.
// When none connects, the last one's failure is reported.
FTPAM_VISIBLE int32_t yxscopn(sock_conn* block) {
  block->main_socket = block->accepted_socket = -1;
  sock::identify_local_host(block, sock::OpenKind::CLIENT);
  sock::AddressList addresses;
  int32_t status = sock::resolve_host(block, sock::family_allowed(block), &addresses);
  if (status != st::OK) return status;
  int32_t port = 0;
  status = yxsserv(block, SOCK_TEXT, &port);
  block->service_portno = ntohs(uint16_t(port));
  if (status != st::OK) return status;

  const int64_t limit_ms = block->wait_value > 0 ? int64_t(block->wait_value) * 1000 : -1;
  int64_t waited_ms = 0;
  int s = -1, error = 0, tried = 0;
  for (; tried < addresses.count && s < 0; ++tried) {
    const int64_t left = addresses.count - tried;
    const int64_t share = limit_ms < 0 ? -1 : std::max<int64_t>(0, limit_ms - waited_ms) / left;
    status = sock::connect_once(block, addresses.entries[tried], uint16_t(port), share, true, &s,
                                &error, &waited_ms);
    if (status != st::OK && status != sock::CONNECT_NOT_MADE) return status;
  }
  if (s < 0) {
    if (error == sock::LIMIT_PASSED) return report_message(msg::WAIT_TIMED_OUT, block->wait_value);
    return sock::fail_with_errno(error);
  }
  // The address reached is the one the block keeps.
  const sock::Address& peer = addresses.entries[tried - 1];
  block->address_length = peer.family == AF_INET6 ? 16 : 4;
  std::memcpy(block->address, peer.bytes, size_t(block->address_length));
  if (block->address_type != 0) block->address_type = peer.family;
  block->address_family = peer.family;
  sock::set_address_text(block->service_ip, peer);
  if (!sock::record_local_end(block, s)) return sock::fail_and_close(s);
  return sock::finish_open(block, s, true);
}

// A path longer than the local socket address can hold is refused with the
// system's "File name too long" before any socket is made.
FTPAM_VISIBLE int32_t yxscuop(sock_conn* block, const char* path, int32_t path_length) {
  sock::identify_local_host(block, sock::OpenKind::OTHER);
  block->main_socket = block->accepted_socket = -1;
  if (path_length > LOCAL_PATH_MAX) return sock::fail_with_errno(ENAMETOOLONG);
  if (path_length < 0 || (!path && path_length > 0)) return sock::fail_with_errno(EINVAL);
  sockaddr_un address;
  static_assert(sizeof address == 2 + LOCAL_PATH_MAX);
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path_length > 0) std::memcpy(address.sun_path, path, size_t(path_length));

  int s = new_socket(AF_UNIX);
  if (s < 0) return st::FAILED;
  sock_option(s, block->write_buffer_size, block->read_buffer_size);
  if (yxs_syscalls.connect(s, reinterpret_cast<sockaddr*>(&address),
                           socklen_t(path_length + 2)) != 0)
    return sock::fail_and_close(s);
  sock::set_text(block->service_ip, path, path_length);
  return sock::finish_open(block, s, true);
}

// A failed service or host lookup closes the socket already made.
FTPAM_VISIBLE int32_t yxssopn(sock_conn* block) {
  sock::identify_local_host(block, sock::OpenKind::SERVER);
  block->main_socket = block->accepted_socket = -1;
  int s = new_socket(AF_INET);
  if (s < 0) return st::FAILED;
  int32_t port = 0;
  int32_t status = st::OK;
  if (block->service_name && block->service_name[0]) status = yxsserv(block, SOCK_TEXT, &port);
  if (status == st::OK && !block->local_only) status = yxshost(block);
  if (status != st::OK) {
    yxs_syscalls.close(s);
    return status;
  }
  sock_option(s, block->write_buffer_size, block->read_buffer_size);
  sockaddr_storage any;
  if (yxs_syscalls.bind(s, reinterpret_cast<sockaddr*>(&any),
                        any_address(AF_INET, uint16_t(port), &any)) != 0)
    return sock::fail_and_close(s);
  yxs_syscalls.listen(s, SERVER_BACKLOG);
  sockaddr_storage local;
  if (!local_name(s, &local)) return sock::fail_and_close(s);
  if (block->local_only) block->service_ip[0] = '\0';
  else set_resolved_text(block->service_ip, block);
  block->service_portno = ntohs(sock::port_of(local));
  block->address_family = AF_INET;
  ypmlog(msg::GROUP, msg::SERVER_SOCKET_BOUND, block->service_portno);
  block->server_mode = 1;
  return sock::finish_open(block, s, true);
}

// The socket is IPv6 when family_wanted asks for it, else IPv4.
FTPAM_VISIBLE int32_t yxscsoc(sock_conn* block) {
  sock::identify_local_host(block, sock::OpenKind::OTHER);
  block->main_socket = block->accepted_socket = -1;
  const int family = block->family_wanted == FAMILY_IPV6 ? AF_INET6 : AF_INET;
  int s = new_socket(family);
  if (s < 0) return st::FAILED;
  const uint16_t port = uint16_t(block->data_port);  // already in network byte order
  // A host that cannot be resolved does not stop the open; it only leaves
  // service_ip empty. An IPv6 socket takes the name's address of either
  // family: a machine's name often has none of IPv6.
  const bool named =
      !block->local_only &&
      sock::resolve_host(block, family == AF_INET ? AF_INET : AF_UNSPEC, nullptr) == st::OK;
  sock_option(s, block->write_buffer_size, block->read_buffer_size);
  // A fixed port serves one transfer after another: the last connection on
  // it may still be in TIME_WAIT (our side closes an upload first).
  const int reuse = 1;
  if (port != 0)
    yxs_syscalls.setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_storage any;
  if (yxs_syscalls.bind(s, reinterpret_cast<sockaddr*>(&any), any_address(family, port, &any)) !=
      0)
    return sock::fail_and_close(s);
  sockaddr_storage local;
  if (!local_name(s, &local)) return sock::fail_and_close(s);
  if (named) set_resolved_text(block->service_ip, block);
  else block->service_ip[0] = '\0';
  block->service_portno = shifted_port(local);
  block->address_family = family;
  return sock::finish_open(block, s, false);
}

FTPAM_VISIBLE int32_t yxslisn(sock_conn* block) {
  const int s = block->main_socket;
  sockaddr_storage local;
  if (yxs_syscalls.listen(s, DATA_BACKLOG) != 0 ||
      (block->service_portno == 0 && !local_name(s, &local))) {
    int32_t status = yxtzsub(st::FAILED);
    if (s >= 0) yxs_syscalls.close(s);
    block->main_socket = -1;
    return status;
  }
  if (block->service_portno == 0) {
    if (block->local_only) block->service_ip[0] = '\0';
    else set_resolved_text(block->service_ip, block);
    block->service_portno = shifted_port(local);
  }
  // Without a bit set the block cannot wait; the socket stays recorded for
  // yxsclos to close.
  if (sock::ensure_bitmap(block) != st::OK) return st::NO_MEMORY;
  yxtzbit(block->fd_bitmap, s, 1);
  return st::OK;
}

FTPAM_VISIBLE int32_t yxsacc(sock_conn* block) {
  const int listener = block->main_socket;
  int32_t status = yxtzsnb(listener + 1, block->fd_bitmap, block->break_word,
                           block->break_routine, block->wait_value);
  if (status != st::OK) return status;
  sockaddr_storage peer;
  int s = sock::accept_peer(listener, &peer);
  if (s < 0) {
    status = yxtzsub(st::FAILED);
    if (listener >= 0) yxs_syscalls.close(listener);
    block->main_socket = -1;
    return status;
  }
  block->accepted_socket = s;
  // Every accepted peer's address is kept, so that a caller can check who
  // connected (the FTP data connection must come from the server).
  sock::set_address_text(block->accepted_peer_ip, sock::address_of(peer));
  if (block->server_mode == 1 && !block->local_only) sock::note_accepted_peer(block, peer);
  yxtzbit(block->fd_bitmap, listener, 0);
  yxtzbit(block->fd_bitmap, s, 1);
  return st::OK;
}

}  // extern "C"
