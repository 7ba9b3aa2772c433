// The socket layer's system-call table, filled with the C library's routines.
#include <cerrno>
#include <netdb.h>
#include <unistd.h>

#include "sock/syscalls.h"

namespace {
// A peer that has gone away must give the writer an error, not a SIGPIPE that
// ends the whole host; descriptors that are not sockets fall back to write().
ssize_t write_no_sigpipe(int fd, const void* buffer, size_t length) {
  ssize_t n = ::send(fd, buffer, length, MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) n = ::write(fd, buffer, length);
  return n;
}
}  // namespace

extern "C" {
FTPAM_VISIBLE SockSyscalls yxs_syscalls = {
    ::socket,        ::connect,       ::bind,          ::listen,
    ::accept,        ::getsockname,   ::setsockopt,    ::poll,
    ::read,          write_no_sigpipe, ::close,        ::gethostname,
    ::gethostbyname, ::gethostbyaddr, ::getservbyname, ::recv,
    ::getaddrinfo,   ::freeaddrinfo,
};
}
