// The system and resolver calls of the socket layer, reached through one
// table (yxs_syscalls) so that a test can swap an entry -- to inject EINTR,
// short reads and writes, resets or resolver answers -- and put the saved
// original back afterwards. Every entry starts as the C library's routine,
// except `write`, which sends without raising SIGPIPE on sockets.
//
// Tests reach the table as the module's exported data symbol "yxs_syscalls"
// (host::Module::symbol); the layout below is shared with them.
#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

struct hostent;
struct servent;
struct addrinfo;

struct SockSyscalls {
  int (*socket)(int domain, int type, int protocol);
  int (*connect)(int fd, const sockaddr* address, socklen_t length);
  int (*bind)(int fd, const sockaddr* address, socklen_t length);
  int (*listen)(int fd, int backlog);
  int (*accept)(int fd, sockaddr* address, socklen_t* length);
  int (*getsockname)(int fd, sockaddr* address, socklen_t* length);
  int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
  int (*poll)(pollfd* entries, nfds_t count, int timeout_ms);
  ssize_t (*read)(int fd, void* buffer, size_t length);
  ssize_t (*write)(int fd, const void* buffer, size_t length);
  int (*close)(int fd);
  int (*gethostname)(char* name, size_t length);
  hostent* (*gethostbyname)(const char* name);
  hostent* (*gethostbyaddr)(const void* address, socklen_t length, int type);
  servent* (*getservbyname)(const char* name, const char* protocol);
  ssize_t (*recv)(int fd, void* buffer, size_t length, int flags);
  int (*getaddrinfo)(const char* name, const char* service, const addrinfo* hints,
                     addrinfo** result);
  void (*freeaddrinfo)(addrinfo* list);
};

#ifdef FTPAM_MODULE
#include "module/export.h"
extern "C" FTPAM_VISIBLE SockSyscalls yxs_syscalls;
#endif
