// Helpers of the socket-layer tests: the module's socket entries and its
// system-call table, connection blocks from the host pool, local and TCP
// peers, and scripted reads and writes.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sock/sock_conn.h"
#include "sock/syscalls.h"

namespace ftptest {

struct Entries {
  int32_t (*yxsinit)(BreakRoutine*, BreakRoutine*, void*, int32_t*, int32_t*);
  int32_t (*yxscopn)(sock_conn*);
  int32_t (*yxscuop)(sock_conn*, const char*, int32_t);
  int32_t (*yxssopn)(sock_conn*);
  int32_t (*yxscsoc)(sock_conn*);
  int32_t (*yxslisn)(sock_conn*);
  int32_t (*yxsacc)(sock_conn*);
  int32_t (*yxsread)(sock_conn*);
  int32_t (*yxswrit)(sock_conn*);
  int32_t (*yxsclos)(sock_conn*);
  void (*yxsbrk)();
  int32_t (*yxtzsnb)(int32_t, uint32_t*, int32_t*, BreakRoutine, int32_t);
};
// The exported entries, found by name in the loaded module.
const Entries& sock();

// The module's system-call table, and the C library's routines it started
// with (for wrappers that pass calls on).
SockSyscalls& syscalls();
const SockSyscalls& original();

// A resolver of our own for the tests: names given answers with
// `answer_name` are answered with exactly those addresses (IPv4 or IPv6
// texts, in that order, the first with `canonical` as its canonical name,
// only those of the family the hints ask for); every other name goes to the
// C library. Install it with syscalls().getaddrinfo = known_names_resolver;
// forget_names() drops the answers.
void answer_name(const std::string& name, std::vector<std::string> addresses,
                 const std::string& canonical = "");
void forget_names();
int known_names_resolver(const char* name, const char* service, const struct addrinfo* hints,
                         struct addrinfo** result);

// Scripted transfers: each read (write) moves at most the next number of
// bytes of the script; -1 fails that call with EINTR. Past the end of the
// script calls go through unchanged. Installs the wrapper in the table.
void script_reads(std::vector<int> caps);
void script_writes(std::vector<int> caps);

// Descriptors now open in the process (0..4095).
int open_descriptors();

// A descriptor closed when it goes out of scope.
struct SocketFd {
  int fd = -1;
  SocketFd(int f = -1) : fd(f) {}
  ~SocketFd();
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  operator int() const { return fd; }
  void reset();
};

// A connection block, obtained cleared from the host memory pool like the
// module's own users do, with 128-byte host and service fields. The
// destructor closes it (yxsclos is idempotent) and gives it back.
class Block {
 public:
  Block();
  ~Block();
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  sock_conn* operator->() { return c_; }
  sock_conn* get() { return c_; }
  void set_host(const std::string& name);
  void set_service(const std::string& name);
  std::string record() const { return std::string(c_->record, size_t(c_->record_length)); }

 private:
  sock_conn* c_;
  char* host_;
  char* service_;
};

// A listening local (UNIX-domain) socket under an abstract name.
class LocalServer {
 public:
  LocalServer();
  ~LocalServer();
  const std::string& path() const { return path_; }
  int accept();  // the server's end of the next connection
 private:
  int fd_;
  std::string path_;
};

// A listening TCP socket on 127.0.0.1, port chosen by the system.
class TcpListener {
 public:
  TcpListener();
  ~TcpListener();
  int port() const { return port_; }
  int accept();
 private:
  int fd_;
  int port_;
};

// A TCP client connected to 127.0.0.1:port.
int connect_tcp(int port);

// Opens `block` as a local-socket client of `server` (after setting the given
// fields) and returns the server's end.
int open_local(Block& block, LocalServer& server, int32_t direction, int32_t read_mode,
               int32_t record_size, int32_t terminator_kind = TERM_LF, int32_t block_size = 0);

void write_all(int fd, const std::string& data);
// What the peer has sent up to end of file (or what is there now, when
// `until_eof` is false).
std::string read_peer(int fd, bool until_eof = true);

// Failure texts handed to the host since the last call.
std::vector<std::string> failure_texts();
// Times message `number` of group 566 was logged since the log was cleared.
int times_logged(int number);

// Checks that a test leaves no pool block and no descriptor behind and
// restores the system-call table, host options and host event state.
class SockTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  int blocks_before_ = 0;
  int descriptors_before_ = 0;
  SockSyscalls saved_{};
};

}  // namespace ftptest
