// Time-bounded TCP helpers of the test servers and the plain test client.
#include "tests/support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/loopback.h"

namespace ftptest {
namespace {

// Addresses tried before giving up when each is in use by a program that
// does not lease (the process's own servers, or, without a private
// namespace, something else on the machine).
constexpr int kOwnAddressAttempts = 16;

std::string failed(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

// An IPv4 or IPv6 address and port; its length, 0 when `address` is neither.
socklen_t make_address(const std::string& address, int port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof *v4;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) != 1) return 0;
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(static_cast<uint16_t>(port));
  return sizeof *v6;
}

void set_option(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

long remaining_ms(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : left.count();
}

// Like listen_tcp, and reports the errno of a failure in `errnum`.
Fd listen_keeping_errno(const std::string& address, int port, std::string* error, int* errnum) {
  *errnum = 0;
  sockaddr_storage sa;
  const socklen_t length = make_address(address, port, &sa);
  if (!length) {
    if (error) *error = "not an address: " + address;
    return Fd();
  }
  Fd fd(::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (error) *error = failed("socket");
    return Fd();
  }
  set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), length) != 0) {
    *errnum = errno;
    if (error) *error = failed("bind") + " (" + address + ":" + std::to_string(port) + ")";
    return Fd();
  }
  if (::listen(fd.get(), 8) != 0) {
    if (error) *error = failed("listen");
    return Fd();
  }
  return fd;
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int Fd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void Fd::reset_connection() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  reset();
}

Wait wait_for(int fd, short events, int timeout_ms, int stop_fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    int n = ::poll(fds, stop_fd >= 0 ? 2 : 1, static_cast<int>(remaining_ms(deadline)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Wait::Failed;
    if (stop_fd >= 0 && fds[1].revents) return Wait::Stopped;
    if (n == 0) return Wait::Timeout;
    return Wait::Ready;  // also on POLLHUP / POLLERR: the next call reports it
  }
}

bool pause_unless_stopped(int ms, int stop_fd) {
  if (ms <= 0) return true;
  if (stop_fd < 0) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
    return true;
  }
  return wait_for(stop_fd, POLLIN, ms) == Wait::Timeout;
}

bool send_all(int fd, std::string_view bytes, int timeout_ms, int stop_fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!bytes.empty()) {
    if (wait_for(fd, POLLOUT, static_cast<int>(remaining_ms(deadline)), stop_fd) != Wait::Ready)
      return false;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

long receive_some(int fd, std::string& out, int timeout_ms, int stop_fd, std::size_t max) {
  if (wait_for(fd, POLLIN, timeout_ms, stop_fd) != Wait::Ready) return -1;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, std::min(max, sizeof buffer), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    out.append(buffer, static_cast<std::size_t>(n));
    return n;
  }
}

Fd listen_tcp(const std::string& address, int port, std::string* error) {
  int ignored;
  return listen_keeping_errno(address, port, error, &ignored);
}

Fd listen_on_own_loopback(int port, std::string* address, std::string* error) {
  for (int attempt = 0; attempt < kOwnAddressAttempts; ++attempt) {
    std::string candidate = claim_loopback_address(error);
    if (candidate.empty()) return Fd();
    int errnum = 0;
    Fd fd = listen_keeping_errno(candidate, port, error, &errnum);
    if (fd) {
      *address = candidate;
      return fd;
    }
    if (errnum != EADDRINUSE) return Fd();  // e.g. no right to bind a low port
  }
  return Fd();
}

Fd connect_tcp(const std::string& address, int port, int timeout_ms, std::string* error,
               const std::string& source) {
  sockaddr_storage to, from;
  const socklen_t to_length = make_address(address, port, &to);
  const socklen_t from_length = source.empty() ? 0 : make_address(source, 0, &from);
  if (!to_length || (!source.empty() && !from_length)) {
    if (error) *error = "not an address: " + address + " / " + source;
    return Fd();
  }
  Fd fd(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    if (error) *error = failed("socket");
    return Fd();
  }
  set_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
  if (from_length && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&from), from_length) != 0) {
    if (error) *error = failed("bind");
    return Fd();
  }
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), to_length) != 0) {
    if (errno != EINPROGRESS) {
      if (error) *error = failed("connect");
      return Fd();
    }
    if (wait_for(fd.get(), POLLOUT, timeout_ms) != Wait::Ready) {
      if (error) *error = "connect: no connection within " + std::to_string(timeout_ms) + " ms";
      return Fd();
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      errno = so_error;
      if (error) *error = failed("connect");
      return Fd();
    }
  }
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

Fd accept_within(int listen_fd, int timeout_ms, int stop_fd) {
  if (wait_for(listen_fd, POLLIN, timeout_ms, stop_fd) != Wait::Ready) return Fd();
  Fd fd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
  if (fd) set_option(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);
  return fd;
}

std::string host_value(const std::string& address, int port, int usual_port) {
  if (address.find(':') != std::string::npos) return "[" + address + "]:" + std::to_string(port);
  return port == usual_port ? address : address + ":" + std::to_string(port);
}

std::string local_address(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  char text[INET6_ADDRSTRLEN] = "";
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return text;
  if (sa.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr, text, sizeof text);
  else
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr, text, sizeof text);
  return text;
}

int local_port(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
}

}  // namespace ftptest
